#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <set>

#include "regex/Regex.h"
#include "tests/watchdog/WatchdogSupport.h"
#include "watchdog/WDT.h"
#include "watchdog/WatchedDevices.h"

namespace sablewick {
namespace {

using testing::Gists;
using testing::ItemOf;
using testing::TestApp;

constexpr double kSecond = 1.0 / 86400.0;

// One watched device in a table, a clock that moves only when told, and a recording sender.
struct DeviceRig {
  DeviceRig() {
    t.app.random.seed(7);
    t.app.WatchedDevices = std::make_shared<WatchedDeviceTable>();
    device = std::make_shared<WDT>(t.app);
    device->Source = "acme.sensor.hall";
    device->Interval = 60;
    device->index = 10;
    t.app.WatchedDevices->Add("hall", device);
  }

  void Heartbeat() {
    t.clock.now += device->Interval * kSecond;
    t.clock.ticks += 1000;
    device->Received_Heartbeat();
  }
  // Answers as a device does: with the value of the last query it was sent.
  void Answer(uint32_t afterMs = 120) {
    t.clock.ticks += afterMs;
    device->Received_Echo(LastQuery());
  }
  std::string LastQuery() const {
    for (auto it = t.sink.sent.rbegin(); it != t.sink.sent.rend(); ++it) {
      if (it->cls == "wdt.echo") return ItemOf(*it, "Query");
    }
    return {};
  }
  std::vector<std::string> SentSince(size_t from) const { return Gists(t.sink.sent, from); }

  TestApp t;
  std::shared_ptr<WDT> device;
};

class WatchedDevice : public ::testing::Test, protected DeviceRig {};

enum class Event { Heartbeat, Answer, WrongAnswer, Scan, Silence };

struct Step {
  Event event;
  int16_t stateAfter;
  std::vector<std::string> sent;
};

struct Scenario {
  const char* name;
  std::vector<Step> steps;
};

TEST(WatchedDeviceState, Changes) {
  using E = Event;
  const std::vector<std::string> none;
  const std::vector<std::string> query = {"query"};
  const std::vector<Scenario> scenarios = {
      {"answered in time",
       {{E::Heartbeat, 0, query}, {E::Answer, 1, none}, {E::Heartbeat, 1, none}}},
      {"answered late, after the next heartbeat",
       {{E::Heartbeat, 0, query},
        {E::Heartbeat, 2, {"event WDT Echo Fail", "status OFF"}},
        // The value changed at the heartbeat in between, so the late answer is also wrong.
        {E::Answer, 1, {"event WDT Recover", "status ON", "event WDT Echo Value Fail"}}}},
      {"wrong value",
       {{E::Heartbeat, 0, query}, {E::WrongAnswer, 1, {"event WDT Echo Value Fail"}}}},
      {"silent device found by the scan once and only once",
       {{E::Heartbeat, 0, query},
        {E::Answer, 1, none},
        {E::Scan, 1, none},
        {E::Silence, 2, {"event WDT No Heartbeat", "status OFF"}},
        {E::Scan, 2, none},
        {E::Silence, 2, none}}},
      {"silent while a query is outstanding",
       {{E::Heartbeat, 0, query}, {E::Silence, 2, {"event WDT No Heartbeat", "status OFF"}}}},
      {"an unanswered failed device stays failed through heartbeats",
       {{E::Heartbeat, 0, query},
        {E::Heartbeat, 2, {"event WDT Echo Fail", "status OFF"}},
        {E::Heartbeat, 2, none},
        {E::Scan, 2, none}}},
  };

  for (const Scenario& scenario : scenarios) {
    SCOPED_TRACE(scenario.name);
    DeviceRig rig;
    WDT& device = *rig.device;
    int n = 0;
    for (const Step& step : scenario.steps) {
      SCOPED_TRACE("step " + std::to_string(++n));
      const size_t before = rig.t.sink.sent.size();
      switch (step.event) {
        case E::Heartbeat:
          rig.Heartbeat();
          break;
        case E::Answer:
          rig.Answer();
          break;
        case E::WrongAnswer:
          device.Received_Echo("0.5");
          break;
        case E::Scan:
          CheckWatchdogs(rig.t.app);
          break;
        case E::Silence:
          rig.t.clock.now += (2 * device.Interval + 1) * kSecond;
          CheckWatchdogs(rig.t.app);
          break;
      }
      EXPECT_EQ(device.State, step.stateAfter);
      EXPECT_EQ(rig.SentSince(before), step.sent);
    }
  }
}

TEST_F(WatchedDevice, RecoversOnlyThroughAnEchoAnswer) {
  Heartbeat();
  Answer();
  t.clock.now += 200 * kSecond;
  CheckWatchdogs(t.app);
  ASSERT_EQ(device->State, WDT::kFailed);

  // Heartbeats resume: counts 2..9 and 0 send nothing and leave the device failed.
  const size_t before = t.sink.sent.size();
  for (int i = 0; i < 9; ++i) Heartbeat();
  EXPECT_EQ(device->State, WDT::kFailed);
  EXPECT_TRUE(SentSince(before).empty());
  CheckWatchdogs(t.app);
  EXPECT_TRUE(SentSince(before).empty());

  // The tenth heartbeat queries again; the device stays failed until it answers.
  Heartbeat();
  EXPECT_EQ(device->State, WDT::kFailed);
  EXPECT_EQ(SentSince(before), std::vector<std::string>{"query"});
  Answer(80);
  EXPECT_EQ(device->State, WDT::kHealthy);
  EXPECT_EQ(SentSince(before + 1), (std::vector<std::string>{"event WDT Recover", "status ON"}));
  // The status text carries the turnaround just measured.
  EXPECT_EQ(ItemOf(t.sink.sent.back(), "DisplayText"),
            "Count=2, Last=80, Avg=100, Max=120, Min=80");
}

TEST_F(WatchedDevice, OneQueryPerTenHeartbeatsWhenAnswered) {
  std::vector<int> queriedAt;
  for (int beat = 1; beat <= 31; ++beat) {
    const size_t before = t.sink.sent.size();
    Heartbeat();
    for (const std::string& gist : SentSince(before)) {
      EXPECT_EQ(gist, "query") << "heartbeat " << beat;
      queriedAt.push_back(beat);
    }
    if (device->State == WDT::kQueryOutstanding) Answer();
    CheckWatchdogs(t.app);
  }
  EXPECT_EQ(queriedAt, (std::vector<int>{1, 11, 21, 31}));
  EXPECT_EQ(device->Report(), "Count=4, Last=120, Avg=120, Max=120, Min=120");
  EXPECT_EQ(device->ElapsedTime(), 120);
}

TEST_F(WatchedDevice, ReportTexts) {
  Heartbeat();
  const std::string sent = LastQuery();
  t.clock.ticks += 250;
  device->Received_Echo("1.23456");
  const auto& event = t.sink.sent.back();
  EXPECT_EQ(event.cls, "Homeseer.Event");
  EXPECT_EQ(ItemOf(event, "Type"), "WDT Echo Value Fail");
  EXPECT_EQ(ItemOf(event, "Data"),
            "acme.sensor.hall = Count=1, Last=250, Avg=250, Max=250, Min=250, Sent=" + sent +
                ", Received=1.23456");

  t.clock.now += 121 * kSecond;
  CheckWatchdogs(t.app);
  const auto& silent = t.sink.sent[t.sink.sent.size() - 2];
  EXPECT_EQ(ItemOf(silent, "Type"), "WDT No Heartbeat");
  EXPECT_EQ(ItemOf(silent, "Data"),
            "acme.sensor.hall = Count=1, Last=250, Avg=250, Max=250, Min=250");
}

TEST_F(WatchedDevice, EchoValueComparisonIsExact) {
  Heartbeat();
  const std::string value = LastQuery();
  // What a device's own answering side might do to the text: none of it is a match.
  for (const std::string& other : {value + " ", " " + value, value + "0", value.substr(1)}) {
    const size_t before = t.sink.sent.size();
    device->Received_Echo(other);
    EXPECT_EQ(SentSince(before), std::vector<std::string>{"event WDT Echo Value Fail"}) << other;
  }
  const size_t before = t.sink.sent.size();
  device->Received_Echo(value);
  EXPECT_TRUE(SentSince(before).empty());
}

// The scan's deadline is 2 x Interval seconds after the last heartbeat, exclusive.
TEST(CheckWatchdogs, DeadlineBoundary) {
  struct Case {
    int16_t interval;
    int secondsSilent;
    bool reported;
  } cases[] = {
      {0, 0, false},  // a new record in its creation second
      {0, 1, true},   // and one second later, when Interval is left at 0
      {60, 120, false},      {60, 121, true},
      {30000, 60000, false},  // twice the interval does not fit in 16 bits
      {30000, 60001, true},  {-5, 0, true},
  };
  for (const Case& c : cases) {
    TestApp t;
    t.app.WatchedDevices = std::make_shared<WatchedDeviceTable>();
    auto device = std::make_shared<WDT>(t.app);
    device->Source = "acme.x.y";
    device->Interval = c.interval;
    t.app.WatchedDevices->Add("d", device);
    t.clock.now += c.secondsSilent * kSecond;
    CheckWatchdogs(t.app);
    EXPECT_EQ(device->State == WDT::kFailed, c.reported)
        << "interval " << c.interval << ", silent " << c.secondsSilent;
    EXPECT_EQ(t.sink.sent.size(), c.reported ? 2u : 0u);
  }
}

TEST(CheckWatchdogs, ScansInTheOrderDevicesWereAdded) {
  TestApp t;
  t.app.WatchedDevices = std::make_shared<WatchedDeviceTable>();
  for (const char* key : {"kitchen", "attic", "porch"}) {
    auto device = std::make_shared<WDT>(t.app);
    device->Source = std::string("acme.sensor.") + key;
    device->Interval = 10;
    t.app.WatchedDevices->Add(key, device);
  }
  t.clock.now += 30 * kSecond;
  CheckWatchdogs(t.app);
  std::vector<std::string> order;
  for (const auto& m : t.sink.sent) {
    if (m.cls == "xAPBSC.event") order.push_back(m.subaddress);
  }
  EXPECT_EQ(order, (std::vector<std::string>{"acme.sensor.kitchen", "acme.sensor.attic",
                                             "acme.sensor.porch"}));
}

TEST(CheckWatchdogs, NoTableOrEmptyTableSendsNothing) {
  TestApp t;
  CheckWatchdogs(t.app);
  t.app.WatchedDevices = std::make_shared<WatchedDeviceTable>();
  CheckWatchdogs(t.app);
  EXPECT_TRUE(t.sink.sent.empty());
}

TEST(WatchedDeviceTable, KeyedInInsertionOrder) {
  TestApp t;
  WatchedDeviceTable table;
  auto a = std::make_shared<WDT>(t.app);
  auto b = std::make_shared<WDT>(t.app);
  auto c = std::make_shared<WDT>(t.app);
  table.Add("b", b);
  table.Add("a", a);
  table.Add("c", c);
  EXPECT_EQ(table.Keys(), (std::vector<std::string>{"b", "a", "c"}));
  EXPECT_EQ(table.Item("a"), a);
  EXPECT_EQ(table.Item("A"), nullptr);  // keys compare exactly
  EXPECT_THROW(table.Add("a", c), Failure);
  EXPECT_THROW(table.Add("d", nullptr), Failure);
  EXPECT_EQ(table.Count(), 3u);
  EXPECT_TRUE(table.Remove("a"));
  EXPECT_FALSE(table.Remove("a"));
  table.Add("a", a);
  EXPECT_EQ(table.Keys(), (std::vector<std::string>{"b", "c", "a"}));
}

TEST(ToHex, Digits) {
  struct Case {
    int16_t n;
    const char* hex;
    const char* report;  // the Data of the event report, or null for none
  } cases[] = {
      {0, "00", nullptr},
      {7, "07", nullptr},
      {10, "0A", nullptr},
      {255, "FF", nullptr},
      {256, "00", "Attempting to send 256 to Rain8, which is too large"},
      {300, "00", "Attempting to send 300 to Rain8, which is too large"},
      {-1, "", "ToHex  Line 0 Invalid procedure call or argument"},
  };
  for (const Case& c : cases) {
    TestApp t;
    EXPECT_EQ(ToHex(t.app, c.n), c.hex) << c.n;
    if (c.report == nullptr) {
      EXPECT_TRUE(t.sink.sent.empty()) << c.n;
    } else {
      ASSERT_EQ(t.sink.sent.size(), 1u) << c.n;
      EXPECT_EQ(ItemOf(t.sink.sent[0], "Type"), "Sablewick");
      EXPECT_EQ(ItemOf(t.sink.sent[0], "Data"), c.report);
    }
    EXPECT_FALSE(t.app.Err.IsSet());
  }
}

TEST(WatchedDeviceStatus, UidEndsInTheDeviceNumber) {
  struct Case {
    const char* nodeUid;
    int16_t index;
    const char* uid;
  } cases[] = {{"FF00E800", 10, "FF00E80A"},
               {"FF00E800", 0, "FF00E800"},
               {"FF00E800", 255, "FF00E8FF"},
               {"AB12CD34", 171, "AB12CDAB"},
               {"FF00E800", 300, "FF00E800"}};
  for (const Case& c : cases) {
    TestApp t;
    t.app.UID = c.nodeUid;
    t.app.WatchedDevices = std::make_shared<WatchedDeviceTable>();
    auto device = std::make_shared<WDT>(t.app);
    device->Source = "acme.x.y";
    device->index = c.index;
    t.app.WatchedDevices->Add("d", device);
    t.clock.now += kSecond;
    CheckWatchdogs(t.app);
    ASSERT_FALSE(t.sink.sent.empty());
    EXPECT_EQ(t.sink.sent.back().uid, c.uid) << c.index;
  }
}

// Everything a device's life sends, as composed for the wire.
TEST_F(WatchedDevice, ComposedMessagesMatchGoldenText) {
  Heartbeat();                                         // 1: query
  Answer();                                            // in time
  for (int beat = 2; beat <= 11; ++beat) Heartbeat();  // 11: query
  Heartbeat();  // 12: that query is unanswered: Echo Fail, OFF
  Answer(300);  // late: Recover, ON, Echo Value Fail
  t.clock.now += 121 * kSecond;
  CheckWatchdogs(t.app);  // silent: No Heartbeat, OFF

  const std::string text = testing::WireTexts(t.sink.sent);
  const std::string path = testing::GoldenPath("device-life.xap");
  if (testing::Rebaseline()) testing::WriteFile(path, text);
  EXPECT_EQ(text, testing::ReadFile(path));
}

TEST(EchoValue, RoundedToFivePlacesTiesToEven) {
  struct Case {
    float value;
    const char* text;
  } cases[] = {
      {1.0f, "1"},
      {1.5f, "1.5"},
      {1.25f, "1.25"},
      {1.015625f, "1.01562"},  // 101562.5: a true tie, to the even neighbour below
      {1.046875f, "1.04688"},  // 104687.5: to the even neighbour above
      {1.70555115f, "1.70555"},
      {1.00001f, "1.00001"},
      {1.999996f, "2"},
      {std::nextafter(2.0f, 1.0f), "2"},
  };
  for (const Case& c : cases) EXPECT_EQ(EchoText(c.value), c.text) << c.value;
}

TEST(EchoValue, DrawnFromTheProgramsSeedableSource) {
  App a;
  App b;
  a.random.seed(42);
  b.random.seed(42);
  const rx::Pattern shape(R"(^(?:1(\.\d{0,4}[1-9])?|2)$)");
  rx::Matcher matcher(shape);
  std::set<std::string> seen;
  for (int i = 0; i < 10000; ++i) {
    const std::string value = MakeEchoValue(a.random);
    ASSERT_EQ(value, MakeEchoValue(b.random));
    ASSERT_TRUE(matcher.Find(value, 0)) << value;
    const double parsed = std::stod(value);
    ASSERT_GE(parsed, 1.0);
    ASSERT_LE(parsed, 2.0);
    seen.insert(value);
  }
  // 10000 draws over 100000 possible values: almost all distinct.
  EXPECT_GT(seen.size(), 9000u);
}

}  // namespace
}  // namespace sablewick
