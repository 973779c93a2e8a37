#include "script/RunJournal.h"

#include <algorithm>
#include <vector>

namespace sablewick {

std::string ScriptRun::Outcome() const {
  if (running) return "running";
  std::string s = signal != 0 ? "signal " + std::to_string(signal)
                              : "exit " + std::to_string(exitStatus);
  if (timedOut) s += " (time limit)";
  if (shutdown) s += " (shutdown)";
  if (gaveUp > 0) s += "; gave up on " + std::to_string(gaveUp) + " message(s)";
  return s;
}

RunJournal::RunJournal() {
  // Once, while the node is idle: the records of a busy period then fill these pages rather
  // than take small blocks among the busy period's own.
  ring_.reserve(kCapacity);
}

namespace {

// A text kept once in `kept` for every record that uses it: the stored copy.
template <class Map>
const typename Map::key_type* Keep(Map& kept, const typename Map::key_type& text) {
  auto it = kept.try_emplace(text, 0).first;
  ++it->second;
  return &it->first;
}

template <class Map>
void Drop(Map& kept, const typename Map::key_type* text) {
  if (text == nullptr) return;
  auto it = kept.find(*text);
  if (it != kept.end() && --it->second == 0) kept.erase(it);
}

}  // namespace

void RunJournal::Store(Record& record, const ScriptRun& run) {
  // The new texts are kept before the old ones are let go, so texts both share stay put.
  const Texts* oldTexts = record.texts;
  const std::string* oldTail = record.stderrTail;
  record.texts = Keep(texts_, Texts{run.target, run.schema, run.section, run.source, run.script});
  record.stderrTail = run.stderrTail.empty() ? nullptr : Keep(tails_, run.stderrTail);
  Drop(texts_, oldTexts);
  Drop(tails_, oldTail);
  record.id = run.id;
  record.startTime = run.startTime;
  record.endTime = run.endTime;
  record.position = run.position;
  record.pid = run.pid;
  record.queuedAtStart = run.queuedAtStart;
  record.fetched = run.fetched;
  record.exitStatus = run.exitStatus;
  record.signal = run.signal;
  record.gaveUp = run.gaveUp;
  record.running = run.running;
  record.timedOut = run.timedOut;
  record.shutdown = run.shutdown;
}

ScriptRun RunJournal::Expand(const Record& record) const {
  ScriptRun run;
  run.id = record.id;
  run.startTime = record.startTime;
  run.endTime = record.endTime;
  run.position = record.position;
  if (record.texts != nullptr) {
    const Texts& t = *record.texts;
    run.target = t[0];
    run.schema = t[1];
    run.section = t[2];
    run.source = t[3];
    run.script = t[4];
  }
  run.pid = record.pid;
  run.queuedAtStart = record.queuedAtStart;
  run.fetched = record.fetched;
  run.running = record.running;
  run.exitStatus = record.exitStatus;
  run.signal = record.signal;
  run.timedOut = record.timedOut;
  run.shutdown = record.shutdown;
  if (record.stderrTail != nullptr) run.stderrTail = *record.stderrTail;
  run.gaveUp = record.gaveUp;
  return run;
}

uint64_t RunJournal::Begin(ScriptRun run) {
  run.id = nextId_++;
  run.running = true;
  ++started_;
  ++running_;
  Record* slot;
  if (ring_.size() < kCapacity) {
    slot = &ring_.emplace_back();
  } else {
    slot = &ring_[oldest_];
    oldest_ = (oldest_ + 1) % ring_.size();
  }
  Store(*slot, run);
  Notify(run, Change::Started);
  return run.id;
}

RunJournal::Record* RunJournal::FindRecord(uint64_t id) {
  // Ids rise from the oldest record on, so the record is found by bisection.
  size_t lo = 0, hi = ring_.size();
  while (lo < hi) {
    const size_t mid = lo + (hi - lo) / 2;
    if (At(mid).id < id)
      lo = mid + 1;
    else
      hi = mid;
  }
  if (lo == ring_.size()) return nullptr;
  Record& r = ring_[(oldest_ + lo) % ring_.size()];
  return r.id == id ? &r : nullptr;
}

void RunJournal::End(const ScriptRun& run) {
  if (running_ > 0) --running_;
  if (run.Failed()) ++failed_;
  if (Record* kept = FindRecord(run.id)) Store(*kept, run);
  Notify(run, Change::Ended);
}

std::vector<ScriptRun> RunJournal::Runs() const {
  std::vector<ScriptRun> runs;
  runs.reserve(ring_.size());
  for (size_t i = 0; i < ring_.size(); ++i) runs.push_back(Expand(At(i)));
  return runs;
}

std::optional<ScriptRun> RunJournal::Find(uint64_t id) const {
  const Record* kept = const_cast<RunJournal*>(this)->FindRecord(id);
  if (kept == nullptr) return std::nullopt;
  return Expand(*kept);
}

uint64_t RunJournal::Watch(Observer observer) {
  const uint64_t handle = nextObserver_++;
  observers_.emplace(handle, std::move(observer));
  return handle;
}

void RunJournal::Unwatch(uint64_t handle) { observers_.erase(handle); }

void RunJournal::Notify(const ScriptRun& run, Change change) {
  if (observers_.empty()) return;
  // A copy: an observer may add or remove observers, and the caller's run may change meanwhile.
  const ScriptRun copy = run;
  std::vector<uint64_t> handles;
  for (const auto& [handle, observer] : observers_) handles.push_back(handle);
  for (uint64_t handle : handles) {
    auto it = observers_.find(handle);
    if (it == observers_.end()) continue;
    Observer observer = it->second;  // it may unwatch itself while it runs
    observer(copy, change);
  }
}

}  // namespace sablewick
