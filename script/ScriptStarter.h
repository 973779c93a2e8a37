// Starts the scripts of subscriptions (and the start-up script) and follows each run to its
// end: standard output and error are read through pipes on the loop and written to the log,
// an optional wall-clock limit ends a run that takes too long, and every run goes into the
// journal. A run that ends while its subscription's queue still holds messages is started
// again, at once when it fetched something, otherwise after a pause that doubles from 1 s to
// 60 s, so a handler that crashes before fetching neither loses the queue nor spins. After
// three runs in a row that fetched nothing the messages they were started for are dropped:
// a handler that always fails cannot hold a message until it expires.
#pragma once

#include <glib.h>
#include <sys/types.h>

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/App.h"
#include "script/RunJournal.h"
#include "script/Subscriptions.h"

namespace sablewick {

class ChildReaper;
struct ProcessState;

class ScriptStarter {
 public:
  // Output of one run written to the log at most; the rest is counted, read and dropped.
  static constexpr size_t kMaxLogged = 64 * 1024;
  // A line longer than this is logged in pieces.
  static constexpr size_t kMaxLine = 4096;
  // Lines of standard error the journal keeps per run, and bytes per line.
  static constexpr size_t kTailLines = 10;
  static constexpr size_t kTailLineBytes = 512;
  // Runs in a row that fetched nothing (crashed, ended by the limit, or just exited) before
  // the messages they were started for are given up.
  static constexpr int kGiveUpAfter = 3;
  static constexpr unsigned kFirstRetryMs = 1000;
  static constexpr unsigned kLastRetryMs = 60000;
  // Between SIGTERM and SIGKILL when a run passes the limit.
  static constexpr unsigned kKillGraceMs = 5000;
  // Between SIGTERM and SIGKILL for what a run left in its process group when it ended.
  static constexpr unsigned kGroupGraceMs = 2000;

  ScriptStarter(App& app, RunJournal& journal);
  ~ScriptStarter();
  ScriptStarter(const ScriptStarter&) = delete;
  ScriptStarter& operator=(const ScriptStarter&) = delete;

  // Starts the script of the subscription at position (from 1) with the position as its one
  // argument. Throws a Failure when the file cannot be started.
  void StartSubscription(const std::string& script, int position);
  // Starts the handler of the subscription at position for its queued messages. A file that
  // cannot be started is logged in words and tried again after the pause (and by the next
  // message once the pause is over); nothing is thrown.
  void StartForMessages(const std::string& script, int position);
  // No run of the subscription is going and no restart is waiting for its pause to end.
  bool Idle(int position) const;
  // Starts a script that belongs to no subscription, without arguments.
  pid_t StartScript(const std::string& script);

  // A message was fetched for the subscription at position: counted for its newest run.
  void NoteFetch(int position);

  // Output of all scripts together written to the log per minute; past it lines are counted
  // and one line at the minute's end says how much was left out. 0: no bound.
  static constexpr size_t kDefaultOutputPerMinute = 512 * 1024;
  void SetMaxOutputPerMinute(size_t bytes) { maxOutputPerMinute_ = bytes; }

  // 0 for none.
  void SetMaxRunSeconds(unsigned seconds) { maxRunSeconds_ = seconds; }
  unsigned MaxRunSeconds() const { return maxRunSeconds_; }

  // Ends every run still going: SIGTERM to its process group, SIGKILL to the groups left
  // after graceMs, and reaps them; then the same for every other process that scripts left
  // behind and that came to the node (it is their reaper). Holds the thread for at most
  // about four times graceMs.
  void EndAll(unsigned graceMs = 3000);

  size_t Running() const { return children_.size(); }

  // A process started elsewhere (a Spawn job) that shutdown ends with the scripts; the reaper
  // keeps reaping it.
  void Adopt(const std::shared_ptr<ProcessState>& process);

 private:
  struct Child;
  struct Stream;
  struct Retry {
    guint timer = 0;
    unsigned delayMs = 0;
    std::string script;
    int failedRuns = 0;  // runs in a row that ended fetching nothing with messages queued
  };

  pid_t Launch(const std::string& script, const std::vector<std::string>& argv, int position);
  static gboolean OnOutput(gint fd, GIOCondition condition, gpointer data);
  static void OnExit(Child& child, int waitStatus);
  static gboolean OnLimit(gpointer data);
  static gboolean OnKill(gpointer data);
  static gboolean OnRetry(gpointer data);
  // Reads what the stream holds now; false once it is closed.
  bool Drain(Child& child, Stream& stream);
  void LogLine(Child& child, Stream& stream, std::string_view line);
  void CloseStream(Child& child, Stream& stream);
  void Ended(Child& child, int waitStatus);
  void Restart(const ScriptRun& run);
  // The subscription a run was started for, when the list still holds it unchanged.
  ScriptVBS* SubscriptionOf(const ScriptRun& run);
  // Counts a run that fetched nothing; the third in a row drops what it was started for.
  void GiveUpIfStuck(Child& child);
  void ScheduleRetry(int position, const std::string& script);
  void Forget(pid_t pid);
  void ArmSweep(unsigned ms);
  static gboolean OnSweep(gpointer data);
  static std::vector<pid_t> OwnChildren();
  void EndLeftovers(unsigned graceMs);
  // The minute's count of script output: true when the line may be logged.
  bool WithinMinute(size_t bytes);
  void SayLeftOut();
  static gboolean OnMinuteEnd(gpointer data);

  App& app_;
  RunJournal& journal_;
  ChildReaper& reaper_;
  unsigned maxRunSeconds_ = 0;
  // Runs whose process or output is still open, by process id.
  std::map<pid_t, std::unique_ptr<Child>> children_;
  // Pending restarts, by subscription position.
  std::map<int, Retry> retries_;
  std::vector<std::weak_ptr<ProcessState>> adopted_;
  // Process groups of ended runs that got SIGTERM and get SIGKILL at the next sweep.
  std::vector<pid_t> lingering_;
  guint sweepTimer_ = 0;
  size_t maxOutputPerMinute_ = kDefaultOutputPerMinute;
  uint32_t minuteStart_ = 0;
  size_t minuteBytes_ = 0, minuteLeftOut_ = 0;
  bool minuteStarted_ = false;
  guint minuteTimer_ = 0;
};

}  // namespace sablewick
