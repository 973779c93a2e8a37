#include <glib.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "core/ChildReaper.h"
#include "script/RunJournal.h"
#include "script/ScriptStarter.h"
#include "tests/TestSupport.h"

namespace sablewick {
namespace {

using testing::ReadFile;
using testing::TestApp;
using testing::WriteFile;

// The children of this process (the starter makes it their subreaper) that are zombies now.
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

bool RunLoopUntil(const std::function<bool()>& done, int timeoutMs) {
  const gint64 end = g_get_monotonic_time() + timeoutMs * 1000;
  while (!done() && g_get_monotonic_time() < end)
    g_main_context_iteration(nullptr, FALSE), ::usleep(1000);
  return done();
}

// A run whose end is found outside the loop (here by shutdown, which reaps the runs itself;
// in the node also by the exit watcher when the pipe's end shows first on reading) must take
// its output watches with it: the loop turns on afterwards, and a watch left on a closed
// descriptor is called for it, with the run already freed.
TEST(ScriptStarter, ARunEndedOutsideTheLoopLeavesNoWatchBehind) {
  TestApp t;
  RunJournal journal;
  const std::string script = t.dir.Path() + "/Scripts/wait.sh";
  std::filesystem::create_directories(t.dir.Path() + "/Scripts");
  WriteFile(script, "#!/bin/sh\nexec sleep 30\n");
  ASSERT_EQ(::chmod(script.c_str(), 0755), 0);

  auto starter = std::make_unique<ScriptStarter>(t.app, journal);
  const pid_t pid = starter->StartScript(script);
  ASSERT_GT(pid, 0);
  // The script has replaced itself with sleep: that process holds the pipes alone.
  for (int i = 0; i < 200; ++i) {
    std::string cmd;
    std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
    std::getline(in, cmd);
    if (cmd == "sleep") break;
    ::usleep(10000);
  }
  starter->EndAll(2000);
  EXPECT_EQ(starter->Running(), 0u);
  ASSERT_EQ(journal.Runs().size(), 1u);
  EXPECT_EQ(journal.Runs().back().signal, SIGTERM);

  // What the loop still holds for the run would run now (under AddressSanitizer a use after
  // free; without it a callback on a closed descriptor).
  int turns = 0;
  while (turns < 100 && g_main_context_iteration(nullptr, FALSE)) ++turns;
  EXPECT_LT(turns, 100) << "something on the loop keeps firing after the run ended";
  starter.reset();
}

// What a script leaves behind comes to the node when the script ends: a background job of its
// shell, and a process that made a session of its own (as WScript.Shell starts them). Both
// are reaped as soon as they end, and the script started with SIGCHLD unblocked.
TEST(ScriptStarter, WhatAScriptLeavesBehindIsReapedAsItEnds) {
  TestApp t;
  RunJournal journal;
  const std::string script = t.dir.Path() + "/Scripts/leave.sh";
  WriteFile(script,
            "#!/bin/sh\n"
            "d=\"$(dirname \"$0\")\"\n"
            "grep '^SigBlk:' /proc/self/status > \"$d/mask\"\n"
            "sleep 0.2 & echo $! > \"$d/left\"\n"
            // In a session of its own before the script ends, as WScript.Shell starts them.
            "setsid sh -c 'echo $$ >> \"$1\"; exec sleep 0.3' sh \"$d/left\" &\n"
            "i=0; while [ \"$(wc -l < \"$d/left\")\" -lt 2 ] && [ $i -lt 300 ]; do\n"
            "  sleep 0.01; i=$((i+1))\n"
            "done\n");
  ASSERT_EQ(::chmod(script.c_str(), 0755), 0);
  auto starter = std::make_unique<ScriptStarter>(t.app, journal);
  ASSERT_NE(t.app.reaper, nullptr);
  const ChildReaper& reaper = *t.app.reaper;
  starter->StartScript(script);
  EXPECT_TRUE(RunLoopUntil(
      [&] { return !journal.Runs().empty() && !journal.Runs().back().running; }, 5000));
  std::vector<pid_t> left;
  std::istringstream pids(ReadFile(t.dir.Path() + "/Scripts/left"));
  for (long pid; pids >> pid;) left.push_back(static_cast<pid_t>(pid));
  ASSERT_EQ(left.size(), 2u);
  // A zombie still takes signals: a pid is gone once it has been reaped. (The group's end
  // after the script's may take the shell's job earlier; the other ends by itself.)
  EXPECT_TRUE(RunLoopUntil(
      [&] {
        return std::all_of(left.begin(), left.end(),
                           [](pid_t pid) { return ::kill(pid, 0) != 0 && errno == ESRCH; });
      },
      5000));
  EXPECT_GE(reaper.Unwatched(), 2u);
  EXPECT_TRUE(Zombies().empty());
  const std::string mask = ReadFile(t.dir.Path() + "/Scripts/mask");
  ASSERT_EQ(mask.rfind("SigBlk:", 0), 0u) << mask;
  EXPECT_EQ(std::stoull(mask.substr(7), nullptr, 16) & (1ull << (SIGCHLD - 1)), 0u) << mask;
  starter.reset();
}

}  // namespace
}  // namespace sablewick
