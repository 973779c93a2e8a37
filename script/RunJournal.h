// The journal of script runs: what the node started, for which subscription, and how each run
// ended. The last kCapacity runs are kept in memory, nothing on disk. Observers hear of every
// run as it starts and as it ends (a control client following the runs).
//
// The kept runs live in a ring of their own, reserved once, and their texts (script paths and
// filters, the same for every run of a subscription) are kept once each: a busy period with
// thousands of runs leaves no small blocks of the journal scattered through the heap, where
// each would hold a whole page of freed memory resident after the busy period is over.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace sablewick {

struct ScriptRun {
  uint64_t id = 0;         // rising from 1 over the node's run
  double startTime = 0;    // seconds since the Unix epoch
  double endTime = 0;      // 0 while it runs
  int position = 0;        // the subscription's position; 0 for a script started on its own
  std::string target, schema, section, source;  // the subscription's filters at start
  std::string script;      // the script file
  pid_t pid = 0;
  int queuedAtStart = 0;   // handles in the subscription's queue when it started
  int fetched = 0;         // messages it fetched
  bool running = true;
  int exitStatus = 0;      // its exit code, when it exited
  int signal = 0;          // the signal that ended it, 0 when it exited
  bool timedOut = false;   // ended by the wall-clock limit
  bool shutdown = false;   // ended by the node's shutdown
  std::string stderrTail;  // the last lines of its standard error
  int gaveUp = 0;          // messages dropped after it: the last of the runs that fetched none

  double Duration() const { return running ? 0 : endTime - startTime; }
  bool Failed() const { return !running && (signal != 0 || exitStatus != 0); }
  // "exit 0", "exit 3", "signal 9 (time limit)", "exit 1; gave up on 2 messages": how it
  // ended, for logs and listings.
  std::string Outcome() const;
};

class RunJournal {
 public:
  static constexpr size_t kCapacity = 1000;

  enum class Change { Started, Ended };
  using Observer = std::function<void(const ScriptRun&, Change)>;

  RunJournal();
  RunJournal(const RunJournal&) = delete;
  RunJournal& operator=(const RunJournal&) = delete;

  // Records a run that has just started; returns its id.
  uint64_t Begin(ScriptRun run);
  // Records how a run ended (the record with run.id, when still kept, is replaced).
  void End(const ScriptRun& run);

  // The runs kept, oldest first.
  std::vector<ScriptRun> Runs() const;
  size_t Kept() const { return ring_.size(); }
  std::optional<ScriptRun> Find(uint64_t id) const;

  uint64_t Started() const { return started_; }
  uint64_t Failed() const { return failed_; }
  size_t Running() const { return running_; }

  // An observer is called after each change; it may add or remove observers.
  uint64_t Watch(Observer observer);
  void Unwatch(uint64_t handle);

 private:
  // What every run of a subscription repeats: target, schema, section, source, script.
  using Texts = std::array<std::string, 5>;
  // A kept run: ScriptRun with its texts kept once each, in texts_ and tails_ (72 bytes).
  struct Record {
    uint64_t id = 0;
    double startTime = 0, endTime = 0;
    int position = 0;
    pid_t pid = 0;
    int queuedAtStart = 0, fetched = 0, exitStatus = 0, signal = 0, gaveUp = 0;
    bool running = true, timedOut = false, shutdown = false;
    const Texts* texts = nullptr;
    const std::string* stderrTail = nullptr;  // none for most runs
  };

  void Store(Record& record, const ScriptRun& run);
  ScriptRun Expand(const Record& record) const;
  // The record of the i-th kept run, oldest first.
  const Record& At(size_t i) const { return ring_[(oldest_ + i) % ring_.size()]; }
  Record* FindRecord(uint64_t id);
  void Notify(const ScriptRun& run, Change change);

  std::vector<Record> ring_;  // capacity kCapacity from the start; a ring once full
  size_t oldest_ = 0;
  // Each kept text, and how many records use it.
  std::map<Texts, size_t> texts_;
  std::map<std::string, size_t> tails_;
  uint64_t nextId_ = 1;
  uint64_t started_ = 0;
  uint64_t failed_ = 0;
  size_t running_ = 0;
  std::map<uint64_t, Observer> observers_;
  uint64_t nextObserver_ = 1;
};

}  // namespace sablewick
