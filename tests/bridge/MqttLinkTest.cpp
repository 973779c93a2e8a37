// The outgoing queue while the broker is away: bounded in count and bytes, oldest dropped
// first, drops logged at most once a minute with what went unlogged.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bridge/MqttLink.h"
#include "tests/TestSupport.h"

namespace sablewick {
namespace {

TEST(MqttLinkQueue, BoundedInCountAndBytesAndDropsAreLoggedOnceAMinute) {
  testing::FakeClock clock;
  std::vector<std::string> log;
  MqttLink::Settings s;
  s.host = "127.0.0.1";
  s.maxQueued = 3;
  s.maxQueuedBytes = 100;
  MqttLink link(s, clock, [&](const std::string& line) { log.push_back(line); });

  for (int i = 1; i <= 5; ++i) link.Publish("t", "m" + std::to_string(i), false);
  EXPECT_EQ(link.Queued(), 3u);
  EXPECT_EQ(link.Dropped(), 2u);
  ASSERT_EQ(log.size(), 1u);  // the second drop came within the minute
  EXPECT_EQ(log[0], "MQTT messages dropped: 1 (queue full); queued 3");

  clock.ticks += 60000;
  link.Publish("t", std::string(98, 'x'), true);  // 99 bytes: everything older must go
  EXPECT_EQ(link.Queued(), 1u);
  EXPECT_EQ(link.Dropped(), 5u);
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[1], "MQTT messages dropped: 4 (queue full); queued 1");

  link.Publish("t", std::string(200, 'y'), false);  // larger than the whole queue: dropped too
  EXPECT_EQ(link.Queued(), 0u);
  EXPECT_EQ(link.Dropped(), 7u);
}

}  // namespace
}  // namespace sablewick
