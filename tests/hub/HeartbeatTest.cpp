// The hub's reading of heartbeats: what registers, what stops, what is just forwarded.
#include <gtest/gtest.h>

#include <string>

#include "hub/Heartbeat.h"

namespace sablewick::hub {
namespace {

struct Case {
  const char* what;
  std::string text;
  bool isHeartbeat;
  HeartbeatKind kind;
  int port;
  uint32_t usedInterval;
};

TEST(HeartbeatReader, ReadsWhatSendersWriteAndRefusesTheRest) {
  const std::string lf =
      "xap-hbeat\n{\nv=12\nhop=1\nuid=FF00E800\nclass=xap-hbeat.alive\n"
      "source=Orbel.Script.host\ninterval=600\nport=32768\n}\n";
  const Case cases[] = {
      {"the node's own", lf, true, HeartbeatKind::Alive, 32768, 600},
      {"CR LF, names in odd case, blanks around",
       "XAP-HBEAT\r\n{\r\n V=12\r\nCLASS = xAP-Hbeat.ALIVE \r\nPort=40001\r\nInterval=5\r\n}\r\n",
       true, HeartbeatKind::Alive, 40001, 5},
      {"stop", "xap-hbeat\n{\nclass=xap-hbeat.stop\nport=40002\ninterval=60\n}\n", true,
       HeartbeatKind::Stop, 40002, 60},
      {"stopped, as one framework says stop",
       "xap-hbeat\n{\nclass=xap-hbeat.stopped\nport=40003\n}\n", true, HeartbeatKind::Stop, 40003,
       60},
      {"blank lines before the block", "\n\r\n  xap-hbeat\n\n{\nclass=xap-hbeat.alive\nport=7\n}\n",
       true, HeartbeatKind::Alive, 7, 60},
      {"cut short after the port", "xap-hbeat\n{\nclass=xap-hbeat.alive\nport=9000", true,
       HeartbeatKind::Alive, 9000, 60},
      {"no interval: 60 s", "xap-hbeat\n{\nclass=xap-hbeat.alive\nport=9001\n}\n", true,
       HeartbeatKind::Alive, 9001, 60},
      {"interval 0: 60 s", "xap-hbeat\n{\nclass=xap-hbeat.alive\ninterval=0\nport=9002\n}\n", true,
       HeartbeatKind::Alive, 9002, 60},
      {"interval past an hour: an hour",
       "xap-hbeat\n{\nclass=xap-hbeat.alive\ninterval=99999999999\nport=9003\n}\n", true,
       HeartbeatKind::Alive, 9003, 3600},
      {"interval not a number: 60 s",
       "xap-hbeat\n{\nclass=xap-hbeat.alive\ninterval=-5\nport=9004\n}\n", true,
       HeartbeatKind::Alive, 9004, 60},
      {"no port", "xap-hbeat\n{\nclass=xap-hbeat.alive\ninterval=60\n}\n", false, {}, 0, 0},
      {"port 0", "xap-hbeat\n{\nclass=xap-hbeat.alive\nport=0\n}\n", false, {}, 0, 0},
      {"port beyond 65535",
       "xap-hbeat\n{\nclass=xap-hbeat.alive\nport=65536\n}\n",
       false,
       {},
       0,
       0},
      {"port with junk", "xap-hbeat\n{\nclass=xap-hbeat.alive\nport=80x\n}\n", false, {}, 0, 0},
      {"another class", "xap-hbeat\n{\nclass=xap-hbeat.sleep\nport=9005\n}\n", false, {}, 0, 0},
      {"no class", "xap-hbeat\n{\nport=9006\n}\n", false, {}, 0, 0},
      {"a message, not a heartbeat",
       "xap-header\n{\nclass=xap-hbeat.alive\nport=9007\n}\n",
       false,
       {},
       0,
       0},
      {"a longer block name",
       "xap-hbeats\n{\nclass=xap-hbeat.alive\nport=9008\n}\n",
       false,
       {},
       0,
       0},
      {"no opening brace", "xap-hbeat\nclass=xap-hbeat.alive\nport=9009\n", false, {}, 0, 0},
      {"the port of a later block",
       "xap-hbeat\n{\nclass=xap-hbeat.alive\n}\nbody\n{\nport=9010\n}\n",
       false,
       {},
       0,
       0},
      {"empty", "", false, {}, 0, 0},
      {"bytes with NUL after the brace",
       std::string("xap-hbeat\n{\0\nport=1\n", 20),
       false,
       {},
       0,
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto hb = ReadHeartbeat(c.text);
    ASSERT_EQ(hb.has_value(), c.isHeartbeat);
    if (!hb) continue;
    EXPECT_EQ(hb->kind, c.kind);
    EXPECT_EQ(hb->port, c.port);
    EXPECT_EQ(UsedIntervalSeconds(hb->intervalSeconds), c.usedInterval);
  }
  EXPECT_EQ(ReadHeartbeat(lf)->source, "Orbel.Script.host");
}

}  // namespace
}  // namespace sablewick::hub
