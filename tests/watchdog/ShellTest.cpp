// Real child processes, all short and local: true, false, sleep, printenv, test, printf, head.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <optional>

#include "core/ChildReaper.h"
#include "core/Errors.h"
#include "tests/watchdog/WatchdogSupport.h"
#include "watchdog/Shell.h"

namespace sablewick {
namespace {

using testing::RunLoopUntil;

// Starts argv and waits on the loop (bounded) for its end; the wait status, or nullopt.
std::optional<int> RunToEnd(Shell& shell, const std::vector<std::string>& argv) {
  std::optional<int> status;
  shell.Run(argv, [&](pid_t, int waitStatus) { status = waitStatus; });
  RunLoopUntil([&] { return status.has_value(); });
  return status;
}

// A descriptor the daemon might hold without close-on-exec, numbered high so that it cannot
// be mistaken for one the child opens itself; closed again on scope exit.
struct LeakyDescriptor {
  LeakyDescriptor() {
    const int low = ::open("/dev/null", O_RDONLY);
    fd = ::fcntl(low, F_DUPFD, 100);
    ::close(low);
  }
  ~LeakyDescriptor() { ::close(fd); }
  int fd;
};

TEST(Shell, StartsWithoutWaitingAndReapsOnTheLoop) {
  ChildReaper reaper;
  Shell shell(reaper);
  std::optional<int> status;
  pid_t reaped = 0;
  const pid_t pid = shell.Run({"/bin/true"}, [&](pid_t p, int s) {
    reaped = p;
    status = s;
  });
  ASSERT_GT(pid, 0);
  EXPECT_EQ(shell.Running(), 1u);
  ASSERT_TRUE(RunLoopUntil([&] { return status.has_value(); }));
  EXPECT_EQ(reaped, pid);
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
  EXPECT_EQ(shell.Running(), 0u);
  // Reaped: no zombie is left behind under that id.
  EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), -1);
}

TEST(Shell, ArgumentsAreNotShellSyntax) {
  ChildReaper reaper;
  Shell shell(reaper);
  // Through a shell this would be true; as argv, `test` gets four words and fails.
  const auto status = RunToEnd(shell, {"test", "a", "=", "a;false"});
  ASSERT_TRUE(status);
  EXPECT_EQ(WEXITSTATUS(*status), 1);
  const auto same = RunToEnd(shell, {"test", "a b", "=", "a b"});
  ASSERT_TRUE(same);
  EXPECT_EQ(WEXITSTATUS(*same), 0);
}

TEST(Shell, ChildHasASessionOfItsOwn) {
  ChildReaper reaper;
  Shell shell(reaper);
  std::optional<int> status;
  const pid_t pid = shell.Run({"sleep", "5"}, [&](pid_t, int s) { status = s; });
  // The child calls setsid before exec; give it a bounded moment to get there.
  for (int i = 0; i < 500 && ::getsid(pid) != pid; ++i) ::usleep(2000);
  EXPECT_EQ(::getsid(pid), pid);
  EXPECT_NE(::getsid(pid), ::getsid(0));
  ::kill(pid, SIGTERM);  // our own child, by its id
  ASSERT_TRUE(RunLoopUntil([&] { return status.has_value(); }));
  EXPECT_TRUE(WIFSIGNALED(*status));
}

TEST(Shell, ChildInheritsNoDescriptorsAndGetsTheEnvironment) {
  LeakyDescriptor leaky;
  ASSERT_GE(leaky.fd, 100);
  ChildReaper reaper;
  Shell shell(reaper);
  const auto open = RunToEnd(shell, {"test", "-e", "/proc/self/fd/" + std::to_string(leaky.fd)});
  ASSERT_TRUE(open);
  EXPECT_EQ(WEXITSTATUS(*open), 1) << "descriptor " << leaky.fd << " reached the child";

  const auto unset = RunToEnd(shell, {"printenv", "SABLEWICK_TEST_ADDRESS"});
  ASSERT_TRUE(unset);
  EXPECT_EQ(WEXITSTATUS(*unset), 1);
  shell.SetEnvironment("SABLEWICK_TEST_ADDRESS", "unix:path=/nowhere");
  const auto set = RunToEnd(shell, {"printenv", "SABLEWICK_TEST_ADDRESS"});
  ASSERT_TRUE(set);
  EXPECT_EQ(WEXITSTATUS(*set), 0);
}

TEST(Shell, UnstartableProgramIsAFailure) {
  ChildReaper reaper;
  Shell shell(reaper);
  EXPECT_THROW(shell.Run({"/nonexistent/sablewick-no-such-program"}), Failure);
  EXPECT_THROW(shell.Run({}), Failure);
  EXPECT_THROW(shell.Run({""}), Failure);
  EXPECT_EQ(shell.Running(), 0u);
}

TEST(Shell, ReapingOutlivesTheShell) {
  ChildReaper reaper;
  std::optional<int> status;
  {
    Shell shell(reaper);
    shell.Run({"/bin/true"}, [&](pid_t, int s) { status = s; });
  }
  EXPECT_TRUE(RunLoopUntil([&] { return status.has_value(); }));
}

TEST(SpawnCommandRunner, CapturesStandardOutput) {
  SpawnCommandRunner runner;
  EXPECT_EQ(runner.Run({"printf", "default via 10.9.8.7 dev lo \\n"}),
            "default via 10.9.8.7 dev lo \n");
  EXPECT_EQ(runner.Run({"/bin/true"}), "");
  // More than a pipe holds at once, read while the child still writes.
  EXPECT_EQ(runner.Run({"head", "-c", "200000", "/dev/zero"}).size(), 200000u);
}

TEST(SpawnCommandRunner, Failures) {
  struct Case {
    std::vector<std::string> argv;
    int timeoutMs;
    size_t maxOutput;
    const char* says;
  } cases[] = {
      {{"false"}, 5000, 1024, "ended with status 1"},
      {{"/nonexistent/sablewick-no-such-program"}, 5000, 1024, "No such file"},
      {{"sleep", "5"}, 200, 1024, "did not end within 200 ms"},
      {{"head", "-c", "100000", "/dev/zero"}, 5000, 1000, "printed more than 1000 bytes"},
  };
  for (const Case& c : cases) {
    SpawnCommandRunner runner(c.timeoutMs, c.maxOutput);
    const auto start = std::chrono::steady_clock::now();
    try {
      runner.Run(c.argv);
      ADD_FAILURE() << c.argv[0] << " did not fail";
    } catch (const Failure& f) {
      EXPECT_NE(std::string(f.what()).find(c.says), std::string::npos) << f.what();
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3)) << c.argv[0];
  }
  // Every child was reaped, killed ones included.
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
}

TEST(SpawnCommandRunner, ChildInheritsNoDescriptors) {
  LeakyDescriptor leaky;
  ASSERT_GE(leaky.fd, 100);
  SpawnCommandRunner runner;
  const std::string listing = runner.Run({"ls", "/proc/self/fd"});
  EXPECT_NE(listing.find("0\n"), std::string::npos) << listing;
  EXPECT_EQ(listing.find("\n" + std::to_string(leaky.fd) + "\n"), std::string::npos) << listing;
}

// Beside the node's reaper (SIGCHLD blocked, ended children reaped on the loop): a command
// run to its end still gets its own status, the reaper finds nothing of it left to reap, and
// no child starts with SIGCHLD blocked (it would never hear of children of its own).
TEST(SpawnCommandRunner, WorksBesideTheReaper) {
  ChildReaper reaper;
  SpawnCommandRunner runner;
  const std::string line = runner.Run({"grep", "^SigBlk:", "/proc/self/status"});
  ASSERT_EQ(line.rfind("SigBlk:", 0), 0u) << line;
  const unsigned long long blocked = std::stoull(line.substr(7), nullptr, 16);
  EXPECT_EQ(blocked & (1ull << (SIGCHLD - 1)), 0u) << line;
  try {
    runner.Run({"false"});
    ADD_FAILURE() << "false did not fail";
  } catch (const Failure& f) {
    EXPECT_NE(std::string(f.what()).find("ended with status 1"), std::string::npos) << f.what();
  }
  for (int i = 0; i < 10 && g_main_context_iteration(nullptr, FALSE); ++i) {
  }
  EXPECT_EQ(reaper.Reaped(), 0u);

  Shell shell(reaper);
  const auto status =
      RunToEnd(shell, {"sh", "-c", "grep -q '^SigBlk:.*[13579bdf]....$' /proc/self/status"});
  ASSERT_TRUE(status);
  EXPECT_EQ(WEXITSTATUS(*status), 1) << "SIGCHLD blocked in the shell's child";
}

}  // namespace
}  // namespace sablewick
