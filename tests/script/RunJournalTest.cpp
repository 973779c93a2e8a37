// The journal of script runs: what it keeps, its counters, and observers that come and go
// while it tells them of a change.
#include <gtest/gtest.h>

#include "script/RunJournal.h"

namespace sablewick {
namespace {

ScriptRun Ended(uint64_t id, int exitStatus, int signal = 0) {
  ScriptRun r;
  r.id = id;
  r.running = false;
  r.exitStatus = exitStatus;
  r.signal = signal;
  return r;
}

TEST(RunJournal, KeepsTheLastRunsAndCountsEveryEndEvenOfARunNoLongerKept) {
  RunJournal journal;
  ScriptRun first;
  first.script = "/x/Scripts/long.vbs";
  const uint64_t longRun = journal.Begin(first);
  for (size_t i = 0; i < RunJournal::kCapacity; ++i) journal.End(Ended(journal.Begin({}), 0));
  ASSERT_EQ(journal.Runs().size(), RunJournal::kCapacity);
  EXPECT_EQ(journal.Find(longRun), nullptr) << "the oldest went first";
  EXPECT_EQ(journal.Runs().front().id, longRun + 1);
  EXPECT_EQ(journal.Running(), 1u);
  journal.End(Ended(longRun, 0, 9));
  EXPECT_EQ(journal.Running(), 0u);
  EXPECT_EQ(journal.Started(), RunJournal::kCapacity + 1);
  EXPECT_EQ(journal.Failed(), 1u);
}

TEST(RunJournal, AnEndReplacesTheRecordAndSaysHowTheRunEnded) {
  struct Case {
    ScriptRun run;
    bool failed;
    const char* outcome;
  };
  ScriptRun limit = Ended(0, 0, 15);
  limit.timedOut = true;
  const Case cases[] = {
      {Ended(0, 0), false, "exit 0"},
      {Ended(0, 3), true, "exit 3"},
      {Ended(0, 0, 11), true, "signal 11"},
      {limit, true, "signal 15 (time limit)"},
  };
  for (const Case& c : cases) {
    RunJournal journal;
    ScriptRun start;
    start.pid = 42;
    ScriptRun end = c.run;
    end.id = journal.Begin(start);
    end.pid = 42;
    end.startTime = 10;
    end.endTime = 12.5;
    EXPECT_TRUE(journal.Find(end.id)->running);
    journal.End(end);
    const ScriptRun* kept = journal.Find(end.id);
    ASSERT_NE(kept, nullptr);
    EXPECT_FALSE(kept->running);
    EXPECT_EQ(kept->Failed(), c.failed) << c.outcome;
    EXPECT_EQ(kept->Outcome(), c.outcome);
    EXPECT_DOUBLE_EQ(kept->Duration(), 2.5);
    EXPECT_EQ(journal.Failed(), c.failed ? 1u : 0u);
  }
}

TEST(RunJournal, ObserversHearStartsAndEndsAndMayLeaveOrJoinWhileTold) {
  RunJournal journal;
  std::vector<std::string> heard;
  uint64_t once = 0;
  once = journal.Watch([&](const ScriptRun& r, RunJournal::Change c) {
    heard.push_back("once " + std::to_string(r.id));
    journal.Unwatch(once);
    journal.Watch([&](const ScriptRun& r2, RunJournal::Change c2) {
      heard.push_back(std::string("late ") + (c2 == RunJournal::Change::Ended ? "end " : "start ") +
                      std::to_string(r2.id));
    });
  });
  const uint64_t all = journal.Watch([&](const ScriptRun& r, RunJournal::Change c) {
    heard.push_back(std::string("all ") + (c == RunJournal::Change::Ended ? "end " : "start ") +
                    std::to_string(r.id));
  });
  const uint64_t id = journal.Begin({});
  journal.Unwatch(all);
  journal.End(Ended(id, 0));
  EXPECT_EQ(heard, (std::vector<std::string>{"once 1", "all start 1", "late end 1"}));
}

}  // namespace
}  // namespace sablewick
