// The node's reaper with real child processes: forked children that end at once or a moment
// later, orphans that come to the test as their subreaper.
#include "core/ChildReaper.h"

#include <glib.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace sablewick {
namespace {

// Turns the loop until done, at most timeoutMs.
bool RunLoopUntil(const std::function<bool()>& done, unsigned timeoutMs = 5000) {
  bool timedOut = false;
  const guint guard = g_timeout_add(
      timeoutMs,
      [](gpointer flag) -> gboolean {
        *static_cast<bool*>(flag) = true;
        return G_SOURCE_REMOVE;
      },
      &timedOut);
  for (int i = 0; i < 100000 && !done() && !timedOut; ++i) g_main_context_iteration(nullptr, TRUE);
  if (!timedOut) g_source_remove(guard);
  return done();
}

// A child that runs body and exits with what it returns.
pid_t Child(const std::function<int()>& body) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(body());
  return pid;
}

// Holds until pid has ended, leaving it a zombie for whoever reaps it.
void AwaitEnd(pid_t pid) {
  siginfo_t info{};
  while (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
  }
}

bool Unreaped(pid_t pid) {
  errno = 0;
  return ::waitpid(pid, nullptr, WNOHANG) >= 0 || errno != ECHILD;
}

// The children of this process that are zombies now, on every thread.
std::vector<pid_t> Zombies() {
  std::vector<pid_t> out;
  std::ifstream task("/proc/self/task/" + std::to_string(::getpid()) + "/children");
  for (long pid; task >> pid;) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(stat, text);
    const size_t close = text.rfind(')');
    if (close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'Z')
      out.push_back(static_cast<pid_t>(pid));
  }
  return out;
}

bool ChildSignalBlocked() {
  sigset_t now;
  ::pthread_sigmask(SIG_BLOCK, nullptr, &now);
  return sigismember(&now, SIGCHLD) == 1;
}

TEST(ChildReaper, EachWatcherGetsItsOwnChildsStatusOnTheLoop) {
  ChildReaper reaper;
  struct Case {
    const char* what;
    std::function<int()> body;
    std::function<bool(int)> expected;
  };
  const Case cases[] = {
      {"exit 0", [] { return 0; }, [](int s) { return WIFEXITED(s) && WEXITSTATUS(s) == 0; }},
      {"exit 3", [] { return 3; }, [](int s) { return WIFEXITED(s) && WEXITSTATUS(s) == 3; }},
      {"SIGTERM",
       [] {
         ::raise(SIGTERM);
         return 0;
       },
       [](int s) { return WIFSIGNALED(s) && WTERMSIG(s) == SIGTERM; }},
      {"SIGKILL after a while",
       [] {
         ::usleep(100000);
         ::raise(SIGKILL);
         return 0;
       },
       [](int s) { return WIFSIGNALED(s) && WTERMSIG(s) == SIGKILL; }},
  };
  std::map<pid_t, const Case*> byPid;
  std::map<pid_t, int> got;
  for (const Case& c : cases) {
    const pid_t pid = Child(c.body);
    ASSERT_GT(pid, 0);
    byPid[pid] = &c;
    reaper.Watch(pid, [&got](pid_t ended, int status) { got[ended] = status; });
  }
  // A watcher that throws keeps nobody else's child unreaped.
  const pid_t thrower = Child([] { return 0; });
  reaper.Watch(thrower, [](pid_t, int) { throw std::runtime_error("watcher failed"); });
  EXPECT_EQ(reaper.Watching(), 5u);

  ASSERT_TRUE(RunLoopUntil([&] { return got.size() == byPid.size() && reaper.Watching() == 0; }))
      << got.size() << " of " << byPid.size();
  for (const auto& [pid, c] : byPid) {
    EXPECT_TRUE(c->expected(got[pid])) << c->what << ": status " << got[pid];
    EXPECT_FALSE(Unreaped(pid)) << c->what;
  }
  EXPECT_FALSE(Unreaped(thrower));
  EXPECT_EQ(reaper.Unwatched(), 0u);
  EXPECT_EQ(reaper.Reaped(), 5u);
}

// What a child leaves behind comes to a subreaper, which nobody told of it: reaped as soon as
// it ends all the same, whether it stayed in the child's session or made one of its own.
TEST(ChildReaper, ReapsOrphansThatComeToTheSubreaper) {
  int wasSubreaper = 0;
  ::prctl(PR_GET_CHILD_SUBREAPER, &wasSubreaper);
  ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  ChildReaper reaper;
  const pid_t parent = Child([] {
    for (bool ownSession : {false, true, false}) {
      if (::fork() == 0) {
        if (ownSession) ::setsid();
        ::usleep(100000);
        ::_exit(0);
      }
    }
    return 0;  // without waiting: its three children come to the test
  });
  ASSERT_GT(parent, 0);
  bool parentEnded = false;
  reaper.Watch(parent, [&](pid_t, int) { parentEnded = true; });
  EXPECT_TRUE(RunLoopUntil([&] { return parentEnded && reaper.Unwatched() == 3; }))
      << reaper.Unwatched();
  EXPECT_TRUE(Zombies().empty());
  ::prctl(PR_SET_CHILD_SUBREAPER, wasSubreaper);
}

// The shutdown holds the thread: ReapNow reaps and runs the watcher without the loop, and a
// wait for the same pid afterwards learns that it is gone (ECHILD), not that it still runs.
TEST(ChildReaper, ReapNowServesCodeThatHoldsTheThread) {
  ChildReaper reaper;
  const pid_t pid = Child([] { return 7; });
  std::optional<int> status;
  reaper.Watch(pid, [&](pid_t, int s) { status = s; });
  AwaitEnd(pid);
  EXPECT_EQ(reaper.ReapNow(), 1u);
  ASSERT_TRUE(status.has_value());
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 7);
  errno = 0;
  EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
  EXPECT_EQ(reaper.ReapNow(), 0u);

  // A pid forgotten before it ends is reaped quietly.
  const pid_t forgotten = Child([] { return 0; });
  reaper.Watch(forgotten, [&](pid_t, int) { ADD_FAILURE() << "forgotten watcher ran"; });
  reaper.Forget(forgotten);
  AwaitEnd(forgotten);
  EXPECT_EQ(reaper.ReapNow(), 1u);
  EXPECT_EQ(reaper.Unwatched(), 1u);
}

// SIGCHLD does not come again for children that had ended already: more ended children than
// one turn reaps are all reaped on the turns after.
TEST(ChildReaper, MoreEndedChildrenThanOneBatchAreAllReaped) {
  ChildReaper reaper;
  // Nothing ended before: what the reaper armed for that is done with.
  for (int i = 0; i < 10 && g_main_context_iteration(nullptr, FALSE); ++i) {
  }
  const size_t count = ChildReaper::kBatch + 44;
  size_t delivered = 0;
  std::vector<pid_t> pids;
  for (size_t i = 0; i < count; ++i) {
    const pid_t pid = Child([] { return 0; });
    ASSERT_GT(pid, 0);
    pids.push_back(pid);
    reaper.Watch(pid, [&](pid_t, int) { ++delivered; });
  }
  for (pid_t pid : pids) AwaitEnd(pid);
  EXPECT_TRUE(RunLoopUntil([&] { return delivered == count; })) << delivered << " of " << count;
  EXPECT_TRUE(Zombies().empty());
}

// A watcher may start the next child and watch it (a script run that restarts its handler).
TEST(ChildReaper, AWatcherMayStartAndWatchTheNextChild) {
  ChildReaper reaper;
  std::vector<int> codes;
  std::function<void(int)> start = [&](int n) {
    const pid_t pid = Child([n] { return n; });
    reaper.Watch(pid, [&, n](pid_t, int status) {
      codes.push_back(WEXITSTATUS(status));
      if (n < 5) start(n + 1);
    });
  };
  start(1);
  EXPECT_TRUE(RunLoopUntil([&] { return codes.size() == 5; }));
  EXPECT_EQ(codes, (std::vector<int>{1, 2, 3, 4, 5}));
  EXPECT_EQ(reaper.Watching(), 0u);
}

// The reaper blocks SIGCHLD for as long as it lives (where nobody had before), so that the
// signal waits in its descriptor; its children are not to inherit that.
TEST(ChildReaper, BlocksTheSignalWhileItLives) {
  ASSERT_FALSE(ChildSignalBlocked()) << "the test program blocks SIGCHLD itself";
  {
    ChildReaper reaper;
    EXPECT_TRUE(ChildSignalBlocked());
    int pipe[2];
    ASSERT_EQ(::pipe(pipe), 0);
    const pid_t pid = Child([&] {
      ChildReaper::UnblockInChild();
      const char blocked = ChildSignalBlocked() ? 'y' : 'n';
      return ::write(pipe[1], &blocked, 1) == 1 ? 0 : 1;
    });
    ::close(pipe[1]);
    char blocked = '?';
    EXPECT_EQ(::read(pipe[0], &blocked, 1), 1);
    ::close(pipe[0]);
    EXPECT_EQ(blocked, 'n');
    bool ended = false;
    reaper.Watch(pid, [&](pid_t, int) { ended = true; });
    EXPECT_TRUE(RunLoopUntil([&] { return ended; }));
  }
  EXPECT_FALSE(ChildSignalBlocked());
  // Blocked before (as main does), it stays blocked after.
  ChildReaper::BlockChildSignal();
  { ChildReaper reaper; }
  EXPECT_TRUE(ChildSignalBlocked());
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGCHLD);
  ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

}  // namespace
}  // namespace sablewick
