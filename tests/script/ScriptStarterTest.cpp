#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "script/RunJournal.h"
#include "script/ScriptStarter.h"
#include "tests/TestSupport.h"

namespace sablewick {
namespace {

using testing::TestApp;
using testing::WriteFile;

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

}  // namespace
}  // namespace sablewick
