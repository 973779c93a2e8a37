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

uint64_t RunJournal::Begin(ScriptRun run) {
  run.id = nextId_++;
  run.running = true;
  ++started_;
  ++running_;
  if (runs_.size() >= kCapacity) runs_.pop_front();
  runs_.push_back(std::move(run));
  const ScriptRun& kept = runs_.back();
  const uint64_t id = kept.id;
  Notify(kept, Change::Started);
  return id;
}

void RunJournal::End(const ScriptRun& run) {
  if (running_ > 0) --running_;
  if (run.Failed()) ++failed_;
  // Ids rise with the deque, so the record is found by bisection.
  auto it = std::lower_bound(runs_.begin(), runs_.end(), run.id,
                             [](const ScriptRun& r, uint64_t id) { return r.id < id; });
  if (it != runs_.end() && it->id == run.id) {
    *it = run;
    Notify(*it, Change::Ended);
  } else {
    Notify(run, Change::Ended);
  }
}

const ScriptRun* RunJournal::Find(uint64_t id) const {
  auto it = std::lower_bound(runs_.begin(), runs_.end(), id,
                             [](const ScriptRun& r, uint64_t want) { return r.id < want; });
  return it != runs_.end() && it->id == id ? &*it : nullptr;
}

uint64_t RunJournal::Watch(Observer observer) {
  const uint64_t handle = nextObserver_++;
  observers_.emplace(handle, std::move(observer));
  return handle;
}

void RunJournal::Unwatch(uint64_t handle) { observers_.erase(handle); }

void RunJournal::Notify(const ScriptRun& run, Change change) {
  if (observers_.empty()) return;
  // A copy: an observer may add or remove observers, and the record may move meanwhile.
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
