// The journal of script runs: what it keeps, its counters, and observers that come and go
// while it tells them of a change.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

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
  EXPECT_EQ(journal.Find(longRun), std::nullopt) << "the oldest went first";
  EXPECT_EQ(journal.Runs().front().id, longRun + 1);
  EXPECT_EQ(journal.Running(), 1u);
  journal.End(Ended(longRun, 0, 9));
  EXPECT_EQ(journal.Running(), 0u);
  EXPECT_EQ(journal.Started(), RunJournal::kCapacity + 1);
  EXPECT_EQ(journal.Failed(), 1u);
}

// Runs of a few subscriptions share their texts in the journal: every kept run must still
// read its own after the ring has gone round, and after an end that changed them.
TEST(RunJournal, KeptRunsKeepTheirOwnTextsAsTheRingGoesRound) {
  RunJournal journal;
  const auto scriptOf = [](uint64_t id) {
    return "/x/Scripts/h" + std::to_string(id % 3) + ".vbs";
  };
  for (size_t i = 0; i < RunJournal::kCapacity * 5 / 2; ++i) {
    ScriptRun run;
    run.script = scriptOf(journal.Started() + 1);
    run.schema = i % 2 == 0 ? "soak.c" + std::to_string(i % 7) : "";
    run.stderrTail =
        i % 5 == 0 ? "a line of standard error that is longer than a short text\n" : "";
    ScriptRun end = run;
    end.id = journal.Begin(run);
    end.running = false;
    if (i % 4 == 0) end.source = "acme.lamp." + std::to_string(i % 11);
    journal.End(end);
  }
  const std::vector<ScriptRun> runs = journal.Runs();
  ASSERT_EQ(runs.size(), RunJournal::kCapacity);
  for (size_t k = 0; k < runs.size(); ++k) {
    const ScriptRun& run = runs[k];
    const size_t i = run.id - 1;
    ASSERT_EQ(run.id, runs.front().id + k) << "oldest first, none missing";
    EXPECT_EQ(run.script, scriptOf(run.id));
    EXPECT_EQ(run.schema, i % 2 == 0 ? "soak.c" + std::to_string(i % 7) : "");
    EXPECT_EQ(run.source, i % 4 == 0 ? "acme.lamp." + std::to_string(i % 11) : "");
    EXPECT_EQ(run.stderrTail.empty(), i % 5 != 0);
    EXPECT_FALSE(run.running);
  }
  EXPECT_EQ(journal.Find(runs.back().id)->script, scriptOf(runs.back().id));
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
    const std::optional<ScriptRun> kept = journal.Find(end.id);
    ASSERT_TRUE(kept.has_value());
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
