#include <glib.h>
#include <gtest/gtest.h>

#include "core/CWaitNDispatch.h"
#include "core/Clock.h"
#include "core/Errors.h"
#include "core/FastString.h"
#include "core/Folder.h"
#include "core/Paths.h"
#include "core/StopWatch.h"
#include "core/Text.h"
#include "core/Timer.h"
#include "tests/TestSupport.h"

namespace sablewick {
namespace {

TEST(FastString, GrowsInStepsOfAHundredAndKeepsOrder) {
  FastString s;
  EXPECT_EQ(s.Value(), "");
  EXPECT_EQ(s.Slots(), 100);
  std::string expected;
  for (int i = 0; i < 250; ++i) {
    s.Add(std::to_string(i) + ",");
    expected += std::to_string(i) + ",";
  }
  EXPECT_EQ(s.Slots(), 300);
  EXPECT_EQ(s.Value(), expected);
  EXPECT_EQ(s.Value(), expected);  // reading does not change it
  s.Reset();
  EXPECT_EQ(s.Value(), "");
  EXPECT_EQ(s.Slots(), 100);
}

TEST(StopWatch, Statistics) {
  testing::FakeClock clock;
  StopWatch w(clock);
  EXPECT_EQ(w.Report(), "Count=0, Last=0, Avg=0, Max=0, Min=0");
  for (uint32_t d : {100u, 120u, 130u}) {
    w.StartTime();
    clock.ticks += d;
    w.StopTime();
  }
  EXPECT_EQ(w.Average(), 117);
  EXPECT_EQ(w.Report(), "Count=3, Last=130, Avg=117, Max=130, Min=100");
}

TEST(StopWatch, IntervalAcrossTheTickWrapAndHalvesToEven) {
  testing::FakeClock clock;
  StopWatch w(clock);
  clock.ticks = 0xFFFFFFF0u;
  w.StartTime();
  clock.ticks = 0x10;  // wrapped
  w.StopTime();
  EXPECT_EQ(w.Last(), 32);
  w.StartTime();
  clock.ticks += 33;
  w.StopTime();  // (32 + 33) / 2 = 32.5 -> 32
  EXPECT_EQ(w.Average(), 32);
}

TEST(CWaitNDispatch, ZeroReturnsAtOnceWithoutTheEvent) {
  CWaitNDispatch w;
  int events = 0;
  w.OnTimer = [&] { ++events; };
  w.Wait(0);
  EXPECT_EQ(events, 0);
  EXPECT_FALSE(w.IsWaiting());
}

TEST(CWaitNDispatch, HoldsTheThreadAgainstLoopTimers) {
  int ticks = 0;
  Timer timer([&] { ++ticks; });
  timer.Start(5);
  CWaitNDispatch w;
  int events = 0;
  w.OnTimer = [&] { ++events; };
  const gint64 start = g_get_monotonic_time();
  w.Wait(120);
  const gint64 elapsedMs = (g_get_monotonic_time() - start) / 1000;
  EXPECT_GE(elapsedMs, 120);
  EXPECT_EQ(ticks, 0);  // nothing of the loop ran during the wait
  EXPECT_EQ(events, 1);
  // Afterwards the timer runs as usual.
  for (int i = 0; i < 200 && ticks == 0; ++i) g_main_context_iteration(nullptr, TRUE);
  EXPECT_GT(ticks, 0);
}

TEST(CWaitNDispatch, ReentryRaisesTheNotReentrantError) {
  CWaitNDispatch w;
  bool raised = false;
  w.OnTimer = [&] {
    try {
      w.Wait(10);
    } catch (const Failure& f) {
      raised = f.Number() == CWaitNDispatch::kNotReentrant &&
               std::string(f.what()).starts_with("This function is not reentrant.") &&
               f.Source() == "CWaitNDispatch";
    }
  };
  w.Wait(1);
  EXPECT_TRUE(raised);
}

TEST(GeneralDate, Formats) {
  struct Case {
    double date;
    const char* text;
  } cases[] = {
      {DateFromParts(2026, 12, 10, 0, 0, 0), "12/10/2026"},
      {DateFromParts(2026, 1, 2, 13, 4, 5), "1/2/2026 1:04:05 PM"},
      {DateFromParts(2026, 1, 2, 0, 0, 1), "1/2/2026 12:00:01 AM"},
      {DateFromParts(2026, 1, 2, 12, 0, 0), "1/2/2026 12:00:00 PM"},
      {0.5, "12:00:00 PM"},
      {0, "12:00:00 AM"},
      {1, "12/31/1899"},
      {-1, "12/29/1899"},
  };
  for (const Case& c : cases) EXPECT_EQ(FormatGeneralDate(c.date), c.text) << c.date;
}

TEST(Paths, Rules) {
  EXPECT_EQ(ResolveAppPath("/home/u/vb/Tool"), kInstalledAppPath);
  EXPECT_EQ(ResolveAppPath("/home/u/VB/Tool"), kInstalledAppPath);
  EXPECT_EQ(ResolveAppPath("/home/u/VBX/Tool"), "/home/u/VBX/Tool");
  EXPECT_EQ(NetworkPathRule("\\\\host\\d\\apps\\p.exe"), "d:\\apps\\p.exe");
  EXPECT_EQ(NetworkPathRule("\\\\host"), "\\\\host");
  EXPECT_EQ(NetworkPathRule("/opt/x/p"), "/opt/x/p");
  EXPECT_EQ(JoinRelative("/a/Config", "x.ini"), "/a/Config/x.ini");
  EXPECT_EQ(JoinRelative("/a/Config", "\\sub\\x.ini"), "/a/Config/sub/x.ini");
  EXPECT_EQ(JoinRelative("/a/Config/", "/x.ini"), "/a/Config/x.ini");
}

// A relative name may wander about inside its folder but never above it; backslashes count as
// separators, as JoinRelative reads them.
TEST(Paths, RelativeNamesStayInsideTheirFolder) {
  struct Case {
    const char* name;
    const char* joined;  // nullptr: refused
  } cases[] = {
      {"a.vbs", "/n/Scripts/a.vbs"},
      {"sub/a.vbs", "/n/Scripts/sub/a.vbs"},
      {"sub/../a.vbs", "/n/Scripts/sub/../a.vbs"},
      {"./sub/./../a.vbs", "/n/Scripts/./sub/./../a.vbs"},
      {"sub\\..\\a.vbs", "/n/Scripts/sub/../a.vbs"},
      {"..a.vbs", "/n/Scripts/..a.vbs"},  // a name that starts with dots climbs nowhere
      {"a../b.vbs", "/n/Scripts/a../b.vbs"},
      {"sub//..//x/../a.vbs", "/n/Scripts/sub//..//x/../a.vbs"},
      {"../a.vbs", nullptr},
      {"..", nullptr},
      {"sub/../../a.vbs", nullptr},
      {"..\\a.vbs", nullptr},
      {"sub\\..\\..\\a.vbs", nullptr},
      {"./../a.vbs", nullptr},
      {"sub/x/../../../Config/Sablewick.ini", nullptr},
      {"\\..\\a.vbs", nullptr},  // leading separators are dropped, the ".." still climbs
      {"/../a.vbs", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(StaysInside(c.name), c.joined != nullptr);
    if (c.joined != nullptr) {
      EXPECT_EQ(JoinInside("/n/Scripts", c.name), c.joined);
      continue;
    }
    try {
      JoinInside("/n/Scripts/", c.name);
      ADD_FAILURE() << "not refused";
    } catch (const Failure& f) {
      EXPECT_EQ(f.Number(), kPathLeavesFolder);
      EXPECT_EQ(f.what(), "the path \"" + std::string(c.name) +
                              "\" leaves Scripts/ (\"..\" climbs above it)");
    }
  }
}

TEST(Text, EscapeForLogKeepsOneLineAndSeparatorsVisible) {
  struct Case {
    std::string text, shown;
  } cases[] = {
      {"plain text | ok", "plain text | ok"},
      {std::string("state\1on\0level\1"
                   "5",
                   16),
       "state\\x01on\\x00level\\x015"},
      {"a\r\nforged line", "a\\r\\nforged line"},
      {"tab\there", "tab\\there"},
      {"C:\\x00 typed", "C:\\\\x00 typed"},  // a typed backslash cannot pass for an escape
      {"del\x7f esc\x1b", "del\\x7f esc\\x1b"},
      {"caf\xc3\xa9", "caf\xc3\xa9"},  // UTF-8 stays as it is
  };
  for (const Case& c : cases) EXPECT_EQ(EscapeForLog(c.text), c.shown) << c.shown;
}

TEST(InstanceFolder, ChosenByOptionThenVariableThenTheProgramsFolderThenTheUsersData) {
  testing::TempDir dir;
  const std::string portable = dir.Path() + "/Sablewick";  // a portable install
  const std::string shared = dir.Path() + "/usr/bin";        // a folder of programs
  const std::string installed = dir.Path() + "/opt/bin";     // an install that made Config/
  for (const std::string& f : {portable, shared, installed + "/Config"})
    std::filesystem::create_directories(f);
  const std::string cwd = std::filesystem::current_path().string();
  const FolderEnv none;
  const FolderEnv xdg{"", "/x/data", "/home/u"};
  const FolderEnv home{"", "", "/home/u"};
  const FolderEnv relativeXdg{"", "data", "/home/u/"};
  const FolderEnv variable{"/v/", "/x/data", "/home/u"};
  struct Case {
    std::string program, given;
    FolderEnv env;
    std::string path;
    bool portable;
  };
  const Case cases[] = {
      {portable, "", xdg, portable, true},
      {installed, "", xdg, installed, true},
      {shared, "", xdg, "/x/data/sablewick", false},
      {shared, "", home, "/home/u/.local/share/sablewick", false},
      {shared, "", relativeXdg, "/home/u/.local/share/sablewick", false},
      {dir.Path() + "/missing", "", home, "/home/u/.local/share/sablewick", false},
      {shared, "", none, "", false},  // nowhere to go: the caller says so
      {portable, "", variable, "/v", false},
      {portable, "/given/./f/", variable, "/given/f", false},
      {shared, "rel", xdg, cwd + "/rel", false},
  };
  for (const Case& c : cases) {
    const FolderChoice got = ChooseInstanceFolder(c.program, c.given, c.env);
    EXPECT_EQ(got.path, c.path) << c.program << " " << c.given;
    EXPECT_EQ(got.portable, c.portable) << c.program << " " << c.given;
  }
}

TEST(InstanceFolder, IsMadeWithTheFoldersAboveItOrRefusedWithTheReason) {
  testing::TempDir dir;
  const std::string deep = dir.Path() + "/home/.local/share/sablewick";
  EXPECT_EQ(MakeInstanceFolder(deep), "");
  EXPECT_TRUE(std::filesystem::is_directory(deep));
  EXPECT_EQ(std::filesystem::status(deep).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_all);
  EXPECT_EQ(MakeInstanceFolder(deep), "") << "an existing folder is fine";
  testing::WriteFile(dir.Path() + "/file", "x");
  EXPECT_EQ(MakeInstanceFolder(dir.Path() + "/file/sablewick"),
            "cannot use folder " + dir.Path() + "/file/sablewick: " + dir.Path() +
                "/file is a file");
  EXPECT_NE(MakeInstanceFolder("").find("set HOME"), std::string::npos);
}

}  // namespace
}  // namespace sablewick
