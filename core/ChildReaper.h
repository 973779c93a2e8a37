// The one reaper of the node's child processes. Every child that ends is reaped as soon as
// the loop sees SIGCHLD: those the node started itself (its watcher gets the wait status on
// the loop) and those that come to it as the child subreaper of the scripts (what a script
// left behind: a background job, a process a script started without waiting), which are
// reaped quietly and counted.
//
// Why its own reaper and not GLib's child watch: GLib waits only for the pids it was given, so
// an orphan that comes to the node stays a zombie; and chaining a handler of our own onto
// GLib's SIGCHLD handler breaks when GLib resets SIGCHLD with its last watch. Here SIGCHLD is
// blocked in every thread (main blocks it before any thread exists) and read from a signalfd
// that the loop watches; each wake reaps with waitpid(-1, WNOHANG) until nothing more has
// ended. Nothing else in the node may wait for a child by pid while the loop runs (code that
// holds the thread until its child ends, as a synchronous command runner does, is fine: the
// reaper only reaps on the loop or when asked).
//
// One reaper per process: a second one would take signals and children from the first.
#pragma once

#include <glib.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <unordered_map>

namespace sablewick {

class ChildReaper {
 public:
  // Runs once the child has ended, with the status waitpid gave.
  using ExitHandler = std::function<void(pid_t pid, int waitStatus)>;
  // Children reaped in one turn of the loop at most; the rest on the next turn.
  static constexpr size_t kBatch = 256;

  // Blocks SIGCHLD in the calling thread. main calls it first, before any thread exists:
  // threads inherit the mask, and a thread that had SIGCHLD unblocked would take the signal
  // (and, the action being the default, drop it) before the reaper's descriptor saw it.
  static void BlockChildSignal();
  // In a child between fork and exec (async-signal-safe): the mask outlives exec, and a
  // program started with SIGCHLD blocked would never hear of its own children.
  static void UnblockInChild();

  // Blocks SIGCHLD in the calling thread when it is not blocked yet (and unblocks it again
  // when it goes) and watches the signal on the default main context. Throws a Failure when
  // the kernel gives no signalfd.
  ChildReaper();
  ~ChildReaper();
  ChildReaper(const ChildReaper&) = delete;
  ChildReaper& operator=(const ChildReaper&) = delete;

  // onExit runs once pid has ended and is reaped (on the loop, or within ReapNow). pid must be
  // an unreaped child: register it right after starting it, before the loop turns again. A
  // second registration of the same pid replaces the first.
  void Watch(pid_t pid, ExitHandler onExit);
  // pid has no watcher from now on; it is reaped quietly when it ends.
  void Forget(pid_t pid);
  bool Watched(pid_t pid) const { return watchers_.count(pid) != 0; }
  size_t Watching() const { return watchers_.size(); }

  // Reaps what has ended by now, up to kBatch children, without waiting; the watchers of the
  // ones reaped run within the call. For code that holds the thread (the shutdown) and must
  // see ends without the loop. Returns the number reaped.
  size_t ReapNow();

  // Children reaped that nobody watched: what scripts left behind, or a run given up on.
  uint64_t Unwatched() const { return unwatched_; }
  // Every child reaped since the reaper was made.
  uint64_t Reaped() const { return reaped_; }

 private:
  static gboolean OnSignal(gint fd, GIOCondition condition, gpointer data);
  static gboolean OnMore(gpointer data);
  // Reads the queued signals off the descriptor, so that it stops being readable.
  void Drain();
  // Arms one more turn when a batch was full: the signal does not come again for children
  // that had already ended.
  void ReapOnLoop();

  int fd_ = -1;
  guint watch_ = 0;
  guint more_ = 0;
  bool blockedHere_ = false;
  std::unordered_map<pid_t, ExitHandler> watchers_;
  uint64_t unwatched_ = 0;
  uint64_t reaped_ = 0;
};

}  // namespace sablewick
