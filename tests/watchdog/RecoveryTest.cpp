#include <gtest/gtest.h>

#include <memory>

#include "app/TollkeepForm.h"
#include "tests/watchdog/WatchdogSupport.h"
#include "watchdog/Recovery.h"
#include "watchdog/Shell.h"
#include "watchdog/WatchedDevices.h"

namespace sablewick {
namespace {

using testing::Gists;
using testing::TestApp;

// Route listings as `ip route show default` prints them.
constexpr const char* kHome =
    "default via 192.168.0.1 dev eth0 proto dhcp src 192.168.0.23 metric 100 \n";
constexpr const char* kOffice = "default via 10.20.0.254 dev wlan0 proto dhcp metric 600 \n";

// Hands out a captured listing instead of running anything, and remembers what it was asked.
class CapturedListing : public CommandRunner {
 public:
  explicit CapturedListing(std::string listing) : listing_(std::move(listing)) {}
  std::string Run(const std::vector<std::string>& argv) override {
    calls.push_back(argv);
    if (fails) throw Failure(kGenericFailure, "ip: cannot open netlink socket");
    return listing_;
  }
  std::vector<std::vector<std::string>> calls;
  bool fails = false;

 private:
  std::string listing_;
};

TEST(DefaultGateway, TokenAfterVia) {
  struct Case {
    const char* listing;
    const char* gateway;
  } cases[] = {
      {kHome, "192.168.0.1"},
      {"default via 10.0.0.1\n", "10.0.0.1"},  // the token ends at the line end
      {"default via 10.0.0.1\r\n", "10.0.0.1"},
      {"default via 10.0.0.1", "10.0.0.1"},  // and at the end of the text
      {"default via   10.0.0.1  dev eth0\n", "10.0.0.1"},
      {"default via\n10.0.0.1\n", ""},  // a line end is not skipped like a blank
      {"default dev ppp0 scope link \n", ""},
      {"", ""},
      {"default dev via0 proto static \ndefault via 10.1.1.1 dev eth1 \n", "10.1.1.1"},
      {"default via 10.0.0.1 dev eth0 metric 100 \ndefault via 10.0.0.2 dev eth1 metric 200 \n",
       "10.0.0.1"},
      {"default proto static metric 100 \n\tnexthop via 10.0.0.1 dev eth0 weight 1 \n"
       "\tnexthop via 10.0.0.2 dev eth1 weight 1 \n",
       "10.0.0.1"},
      {"default via fe80::1 dev eth0 proto ra metric 1024 pref medium\n", "fe80::1"},
  };
  for (const Case& c : cases) EXPECT_EQ(DefaultGateway(c.listing), c.gateway) << c.listing;
}

TEST(RouteCheck, ComparesTheListedGateway) {
  struct Case {
    const char* listing;
    const char* gateway;
    bool differs;
  } cases[] = {
      {kHome, "192.168.0.1", false},
      {kOffice, "192.168.0.1", true},
      {"", "192.168.0.1", true},                                // no default route at all
      {"default dev ppp0 scope link \n", "192.168.0.1", true},  // one without a gateway
      {"default via 192.168.0.1\n", "192.168.0.1", false},      // token ending at a line end
      {"default via 192.168.0.10 dev eth0\n", "192.168.0.1", true},
      {"default via 192.168.0.1 dev eth0\n", "192.168.0.10", true},
  };
  for (const Case& c : cases) {
    TestApp t;
    Recovery recovery(t.app);
    auto listing = std::make_shared<CapturedListing>(c.listing);
    recovery.commandRunner = listing;
    EXPECT_EQ(recovery.RouteCheck(c.gateway), c.differs) << c.listing << " / " << c.gateway;
    ASSERT_EQ(listing->calls.size(), 1u);
    const auto& argv = listing->calls[0];
    ASSERT_EQ(argv.size(), 4u);
    EXPECT_TRUE(argv[0] == "ip" || argv[0].ends_with("/ip")) << argv[0];
    EXPECT_EQ(argv[1], "route");
    EXPECT_EQ(argv[2], "show");
    EXPECT_EQ(argv[3], "default");
    EXPECT_TRUE(t.sink.sent.empty());
  }
}

TEST(RouteCheck, EmptyGatewayRunsNothing) {
  TestApp t;
  Recovery recovery(t.app);
  auto listing = std::make_shared<CapturedListing>(kHome);
  recovery.commandRunner = listing;
  EXPECT_FALSE(recovery.RouteCheck(""));
  EXPECT_TRUE(listing->calls.empty());
}

TEST(RouteCheck, FailureIsReportedAndCountsAsDifferent) {
  TestApp t;
  Recovery recovery(t.app);
  auto listing = std::make_shared<CapturedListing>(kHome);
  listing->fails = true;
  recovery.commandRunner = listing;
  EXPECT_TRUE(recovery.RouteCheck("192.168.0.1"));
  ASSERT_EQ(t.sink.sent.size(), 1u);
  EXPECT_EQ(testing::ItemOf(t.sink.sent[0], "Type"), "Sablewick");
  EXPECT_EQ(testing::ItemOf(t.sink.sent[0], "Data"),
            "ReRouted Line 0 ip: cannot open netlink socket");
  EXPECT_FALSE(t.app.Err.IsSet());

  recovery.commandRunner = nullptr;
  EXPECT_TRUE(recovery.RouteCheck("192.168.0.1"));
  EXPECT_EQ(t.sink.sent.size(), 2u);
}

// A recovery with a captured listing and a pause that only records.
struct RecoveryRig {
  explicit RecoveryRig(const char* listing) : recovery(t.app) {
    route = std::make_shared<CapturedListing>(listing);
    recovery.commandRunner = route;
    recovery.wait = [this](int32_t ms) {
      pauses.push_back(ms);
      sentBeforePause = t.sink.sent.size();
      logBeforePause = t.Log();
      if (pauseFails) throw Failure(kGenericFailure, "eventfd: Too many open files");
    };
    recovery.ExpectedGateway = "192.168.0.1";
    recovery.X10Device = "B12";
    recovery.CheckInterval = 10;
    t.app.StartupTime = DateFromParts(2026, 3, 4, 10, 0, 30);
  }
  void TickAt(int hour, int minute, int second) {
    t.clock.now = DateFromParts(2026, 3, 4, hour, minute, second);
    recovery.Timer2_Timer();
  }

  TestApp t;
  Recovery recovery;
  std::shared_ptr<CapturedListing> route;
  std::vector<int32_t> pauses;
  size_t sentBeforePause = 0;
  std::string logBeforePause;
  bool pauseFails = false;
};

TEST(Timer2, ChecksOnlyAfterMoreThanCheckIntervalMinuteBoundaries) {
  struct Case {
    int16_t checkInterval;
    int startMinute, startSecond;  // StartupTime, 10:mm:ss
    int hour, minute, second;      // the tick
    bool checks;
  } cases[] = {
      {10, 0, 30, 10, 10, 59, false},  // ten boundaries
      {10, 0, 30, 10, 11, 0, true},    // the eleventh
      {10, 0, 59, 10, 11, 0, true},    // boundaries count, not elapsed minutes (10 min 1 s)
      {10, 0, 0, 10, 10, 59, false},  {10, 0, 0, 10, 11, 0, true},
      {0, 0, 30, 10, 0, 59, false},  // same minute
      {0, 0, 59, 10, 1, 0, true},    // one second, one boundary
      {10, 0, 30, 9, 30, 0, false},  // the clock went back
      {-1, 0, 30, 10, 0, 30, true},
  };
  for (const Case& c : cases) {
    RecoveryRig rig(kOffice);  // a different gateway: a check sends nothing
    rig.recovery.CheckInterval = c.checkInterval;
    const double start = DateFromParts(2026, 3, 4, 10, c.startMinute, c.startSecond);
    rig.t.app.StartupTime = start;
    rig.TickAt(c.hour, c.minute, c.second);
    const std::string label = std::to_string(c.checkInterval) + " " +
                              std::to_string(c.startMinute) + ":" + std::to_string(c.startSecond) +
                              " -> " + std::to_string(c.minute) + ":" + std::to_string(c.second);
    EXPECT_EQ(rig.route->calls.size(), c.checks ? 1u : 0u) << label;
    EXPECT_EQ(rig.t.app.StartupTime, c.checks ? rig.t.clock.now : start) << label;
    EXPECT_TRUE(rig.t.sink.sent.empty()) << label;
  }
}

TEST(Timer2, SameGatewayRestartsTheDevice) {
  RecoveryRig rig(kHome);
  rig.TickAt(10, 5, 0);  // too early
  EXPECT_TRUE(rig.t.sink.sent.empty());

  rig.TickAt(10, 11, 0);
  EXPECT_EQ(Gists(rig.t.sink.sent), (std::vector<std::string>{"x10 on", "x10 off"}));
  EXPECT_EQ(rig.pauses, std::vector<int32_t>{10000});
  // The pause comes between "on" and "off", and "Restarted" is logged after it.
  EXPECT_EQ(rig.sentBeforePause, 1u);
  EXPECT_EQ(rig.logBeforePause, "");
  EXPECT_EQ(rig.t.Log(), "3/4/2026 10:11:00 AM | Restarted  0 \r\n");
  for (const auto& m : rig.t.sink.sent) {
    EXPECT_EQ(testing::ItemOf(m, "Device"), "B12");
    EXPECT_EQ(m.uid, "FF00E800");
    EXPECT_EQ(m.target, "");
    EXPECT_EQ(m.subaddress, "");
  }

  // The check moved StartupTime: the next tick inside the interval does nothing.
  rig.TickAt(10, 21, 59);
  EXPECT_EQ(rig.t.sink.sent.size(), 2u);
  rig.TickAt(10, 22, 0);
  EXPECT_EQ(rig.t.sink.sent.size(), 4u);
}

TEST(Timer2, OtherOrUnreadableGatewayLeavesTheDeviceAlone) {
  for (bool unreadable : {false, true}) {
    RecoveryRig rig(kOffice);
    rig.route->fails = unreadable;
    rig.TickAt(10, 11, 0);
    EXPECT_EQ(rig.route->calls.size(), 1u);
    EXPECT_TRUE(rig.pauses.empty());
    EXPECT_EQ(Gists(rig.t.sink.sent), unreadable ? std::vector<std::string>{"event Sablewick"}
                                                 : std::vector<std::string>{});
    EXPECT_EQ(rig.t.Log(), "");
  }
}

TEST(Timer2, EmptyExpectedGatewayRestartsAtEveryCheck) {
  RecoveryRig rig(kOffice);
  rig.recovery.ExpectedGateway = "";
  rig.recovery.CheckInterval = 0;
  rig.TickAt(10, 1, 0);
  rig.TickAt(10, 1, 30);  // same minute: no check
  rig.TickAt(10, 2, 0);
  EXPECT_TRUE(rig.route->calls.empty());
  EXPECT_EQ(Gists(rig.t.sink.sent),
            (std::vector<std::string>{"x10 on", "x10 off", "x10 on", "x10 off"}));
}

TEST(Timer2, AFailedPauseIsLoggedAndTheDeviceStillSwitchedOff) {
  RecoveryRig rig(kHome);
  rig.pauseFails = true;
  rig.TickAt(10, 11, 0);
  EXPECT_EQ(Gists(rig.t.sink.sent), (std::vector<std::string>{"x10 on", "x10 off"}));
  EXPECT_EQ(rig.t.Log(),
            "3/4/2026 10:11:00 AM | Sablewick Timer2_Timer 1 eventfd: Too many open files\r\n");
}

TEST(Timer2, RestartRequestsMatchGoldenText) {
  RecoveryRig rig(kHome);
  rig.TickAt(10, 11, 0);
  const std::string text = testing::WireTexts(rig.t.sink.sent);
  const std::string path = testing::GoldenPath("x10-restart.xap");
  if (testing::Rebaseline()) testing::WriteFile(path, text);
  EXPECT_EQ(text, testing::ReadFile(path));
}

// The real timer of the main loop runs the tick; nothing else is faked but the route and the
// pause.
TEST(Timer2, TheTimerRunsTheTick) {
  RecoveryRig rig(kHome);
  rig.recovery.CheckInterval = -1;
  EXPECT_FALSE(rig.recovery.Timer2().Enabled());
  rig.recovery.Timer2().Start(1);
  EXPECT_TRUE(testing::RunLoopUntil([&] { return rig.t.sink.sent.size() >= 2; }));
  rig.recovery.Timer2().Stop();
  EXPECT_EQ(Gists(rig.t.sink.sent, 0).front(), "x10 on");
}

TEST(MinuteBoundaries, CountsBoundariesNotMinutes) {
  const double ten = DateFromParts(2026, 3, 4, 10, 0, 0);
  const double s = 1.0 / 86400.0;
  EXPECT_EQ(MinuteBoundaries(ten, ten + 59 * s), 0);
  EXPECT_EQ(MinuteBoundaries(ten + 59 * s, ten + 60 * s), 1);
  EXPECT_EQ(MinuteBoundaries(ten, ten + 600 * s), 10);  // 10:10:00 is not 10:09:59.999
  EXPECT_EQ(MinuteBoundaries(ten + 61 * s, ten), -1);
  // Across midnight.
  EXPECT_EQ(
      MinuteBoundaries(DateFromParts(2026, 3, 4, 23, 59, 30), DateFromParts(2026, 3, 5, 0, 0, 10)),
      1);
}

TEST(InitHW, PreparesTheRecoveryAndLeavesItIdle) {
  TestApp t;
  TollkeepForm form(t.app);
  form.InitHW();
  ASSERT_NE(t.app.shell, nullptr);
  ASSERT_NE(t.app.recovery, nullptr);
  const Recovery& recovery = *t.app.recovery;
  EXPECT_EQ(recovery.IniKeys,
            (std::vector<std::string>{"Computer", "X10Address", "Timeout", "Gateway"}));
  EXPECT_EQ(recovery.IniSections, std::vector<std::string>{"General"});
  EXPECT_EQ(recovery.IniDefaults, (std::vector<std::string>{"ORBEL6", "B12", "10", "192.168.0.1"}));
  EXPECT_FALSE(t.app.recovery->Timer2().Enabled());
  EXPECT_EQ(recovery.CheckInterval, 0);
  EXPECT_EQ(recovery.ExpectedGateway, "");
  EXPECT_EQ(recovery.X10Device, "");
  ASSERT_NE(t.app.WatchedDevices, nullptr);
  EXPECT_EQ(t.app.WatchedDevices->Count(), 0u);
  EXPECT_EQ(t.app.StartupTime, t.clock.now);
  for (const auto& m : t.sink.sent) {
    EXPECT_NE(testing::ItemOf(m, "Data").rfind(" InitHW: ", 0), 0u) << "InitHW reported a failure";
  }
}

}  // namespace
}  // namespace sablewick
