// The real sablewick-hub with peers that play its clients, in a network namespace of the test.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/hub/HubHarness.h"

namespace sablewick::testing {
namespace {

class HubTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(hub.StartListening()) << hub.Stderr(); }
  void TearDown() override {
    if (HasFailure()) std::fprintf(stderr, "--- hub stderr ---\n%s\n", hub.Stderr().c_str());
  }
  HubProcess hub;
};

const std::string kLamp =
    "xap-header\r\n{\r\nV=12\r\nHop=1\r\nUID=FF123400\r\nClass=xAPBSC.Event\r\n"
    "Source=acme.lamp.hall\r\n}\r\nINPUT.STATE\r\n{\r\nState=ON\r\n}\r\n";

TEST_F(HubTest, HeartbeatsRegisterAndEveryDatagramReachesEveryClientByteForByte) {
  Peer a, b("127.0.0.2"), device;
  // A registers with CR LF and odd case; B from another address of this machine, as the node's
  // sending socket does. Each gets its own heartbeat back.
  const std::string hbA =
      HeartbeatText(a.Port(), 60, "XAP-HBEAT.Alive", "\r\n", "Xap-HBeat", "PORT");
  a.ToHub(hbA);
  EXPECT_EQ(a.Receive().value_or("(none)"), hbA);
  ASSERT_TRUE(hub.LogHas("client at port " + std::to_string(a.Port()) + " (acme.test."));
  // B's heartbeat is forwarded to A as well (and to B, which is sent to 127.0.0.1 and so not
  // read by B's socket on 127.0.0.2: B listens through a socket on 127.0.0.1 like the node).
  Peer bReceiver;
  const std::string hbB = HeartbeatText(bReceiver.Port(), 60);
  b.ToHub(hbB);
  EXPECT_EQ(bReceiver.Receive().value_or("(none)"), hbB);
  EXPECT_EQ(a.Receive().value_or("(none)"), hbB);

  // Whatever a device sends, to both, unchanged: CR LF text, junk, NUL and high bytes, a
  // datagram near the largest size.
  static constexpr char kJunk[] = "\0\xff\xfe not xAP at all \r\n\x01";
  const std::string junk(kJunk, sizeof kJunk - 1);
  const std::string big(60000, 'x');
  for (const std::string& text : {kLamp, junk, big}) {
    device.ToHub(text);
    EXPECT_EQ(a.Receive().value_or("(none)"), text);
    EXPECT_EQ(bReceiver.Receive().value_or("(none)"), text);
  }
  // The device, not registered, hears nothing; each client got each datagram once.
  EXPECT_FALSE(device.Receive(200));
  EXPECT_TRUE(a.ReceiveAll().empty());
  EXPECT_TRUE(bReceiver.ReceiveAll().empty());
}

TEST_F(HubTest, AClientIsDroppedAfterTwoSilentIntervalsAndKeptWhileItBeats) {
  Peer quiet, beating, device;
  ASSERT_TRUE(quiet.Register(1));
  ASSERT_TRUE(beating.Register(1));
  quiet.ReceiveAll(100);  // beating's heartbeat
  // Half a second in (within the two seconds), both are served.
  ::usleep(500000);
  device.ToHub("one");
  EXPECT_EQ(quiet.Receive().value_or("(none)"), "one");
  EXPECT_EQ(beating.Receive().value_or("(none)"), "one");
  // beating keeps sending every half second; quiet is dropped about two seconds after its last.
  const std::string hb = HeartbeatText(beating.Port(), 1);
  const std::string dropped = "client at port " + std::to_string(quiet.Port()) + " (acme.test." +
                              std::to_string(quiet.Port()) + ") dropped: no heartbeat for 2 s";
  bool gone = false;
  for (int i = 0; i < 10 && !gone; ++i) {
    beating.ToHub(hb);
    ::usleep(500000);
    gone = hub.Stderr().find(dropped) != std::string::npos;
  }
  ASSERT_TRUE(gone);
  EXPECT_EQ(hub.Stderr().find("port " + std::to_string(beating.Port()) + " (acme.test." +
                              std::to_string(beating.Port()) + ") dropped"),
            std::string::npos);
  quiet.ReceiveAll(50);
  beating.ReceiveAll(50);
  device.ToHub("two");
  EXPECT_EQ(beating.Receive().value_or("(none)"), "two");
  EXPECT_FALSE(quiet.Receive(300)) << "a dropped client is still served";
  // Its next heartbeat registers it again.
  ASSERT_TRUE(quiet.Register(60));
  device.ToHub("three");
  EXPECT_EQ(quiet.Receive().value_or("(none)"), "three");
}

TEST_F(HubTest, StopDropsAClientAtOnceAndOnlyThatOne) {
  Peer a, b, device;
  ASSERT_TRUE(a.Register(60));
  ASSERT_TRUE(b.Register(60));
  a.ReceiveAll(100);
  // The stop in CR LF and upper case, as some senders write it.
  a.ToHub(HeartbeatText(a.Port(), 60, "XAP-HBEAT.STOP", "\r\n"));
  EXPECT_TRUE(hub.LogHas("client at port " + std::to_string(a.Port())));
  ASSERT_TRUE(hub.LogHas("stopped: its heartbeat said xap-hbeat.stop"));
  b.ReceiveAll(100);  // a's stop reaches b like any datagram
  device.ToHub("after the stop");
  EXPECT_EQ(b.Receive().value_or("(none)"), "after the stop");
  EXPECT_FALSE(a.Receive(300));
  // A stop for a port nobody registered changes nothing.
  device.ToHub(HeartbeatText(1, 60, "xap-hbeat.stop"));
  device.ToHub("still there");
  EXPECT_EQ(b.ReceiveAll().back(), "still there");
}

TEST_F(HubTest, TheClientTableIsBoundedAndAFreedPlaceIsTakenAgain) {
  std::vector<std::unique_ptr<Peer>> peers;
  Peer device, late;
  for (int i = 0; i < 64; ++i) {
    peers.push_back(std::make_unique<Peer>());
    peers.back()->ToHub(HeartbeatText(peers.back()->Port(), 60));
  }
  ASSERT_TRUE(WaitUntil(
      [&] {
        size_t n = 0;
        for (size_t at = hub.Stderr().find("registered"); at != std::string::npos;
             at = hub.Stderr().find("registered", at + 1))
          ++n;
        return n == 64;
      },
      3000));
  late.ToHub(HeartbeatText(late.Port(), 60));
  EXPECT_TRUE(hub.LogHas("1 heartbeats of new clients refused (at most 64 clients)"));
  for (auto& p : peers) p->ReceiveAll(20);
  late.ReceiveAll(100);
  device.ToHub("to all");
  for (auto& p : peers) EXPECT_EQ(p->Receive().value_or("(none)"), "to all");
  EXPECT_FALSE(late.Receive(200)) << "a 65th client was registered";
  // One leaves; the next heartbeat of the late one takes its place.
  peers[10]->ToHub(HeartbeatText(peers[10]->Port(), 60, "xap-hbeat.stop"));
  ASSERT_TRUE(hub.LogHas("stopped"));
  ASSERT_TRUE(late.Register(60));
}

TEST_F(HubTest, AHeartbeatNamingTheHubsOwnPortMakesNoLoop) {
  Peer a, device;
  ASSERT_TRUE(a.Register(60));
  device.ToHub(HeartbeatText(3639, 60));
  EXPECT_TRUE(hub.LogHas("names the hub's own port 3639: not registered"));
  device.ToHub("once");
  // The own-port heartbeat and the message, each once: a loop would repeat them without end.
  const std::vector<std::string> got = a.ReceiveAll(300);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[1], "once");
}

TEST_F(HubTest, SigtermEndsItCleanly) {
  hub.Signal(SIGTERM);
  EXPECT_EQ(hub.WaitExit(), 0);
  EXPECT_NE(hub.Stderr().find("sablewick-hub: stopped"), std::string::npos);
}

// Another program on port 3639 (most likely another hub): said in words, with an exit status
// of its own that the unit does not restart on.
TEST(HubStart, APortTakenIsSaidAndEndsWithItsOwnStatus) {
  struct Case {
    const char* taken;
    std::vector<std::string> args;
    const char* where;
  } cases[] = {
      {"127.0.0.1", {}, "0.0.0.0:3639"},
      {"0.0.0.0", {"--listen", "127.0.0.1"}, "127.0.0.1:3639"},
      {"127.0.0.1", {"--listen", "127.0.0.1"}, "127.0.0.1:3639"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.where);
    UdpSocket other(3639, c.taken);
    ASSERT_TRUE(other.Bound());
    HubProcess hub;
    hub.Start(c.args);
    EXPECT_EQ(hub.WaitExit(), 3);
    const std::string err = hub.Stderr();
    EXPECT_NE(err.find(std::string("cannot listen on ") + c.where), std::string::npos) << err;
    EXPECT_NE(err.find("Another xAP hub probably runs on this machine"), std::string::npos) << err;
    EXPECT_NE(err.find("the node works with that one"), std::string::npos) << err;
  }
}

TEST(HubStart, CommandLineAndSetting) {
  {
    HubProcess hub;
    hub.Start({"--version"});
    EXPECT_EQ(hub.WaitExit(), 0);
  }
  {
    HubProcess hub;
    hub.Start({"--nonsense"});
    EXPECT_EQ(hub.WaitExit(), 2);
    EXPECT_NE(hub.Stderr().find("unknown argument --nonsense"), std::string::npos);
  }
  {
    HubProcess hub;
    hub.Start({"--listen", "not an address"});
    EXPECT_EQ(hub.WaitExit(), 2);
    EXPECT_NE(hub.Stderr().find("not an address (--listen) is neither Default nor an IPv4"),
              std::string::npos)
        << hub.Stderr();
  }
  // [Hub] Listen= in the node's Config/Drumlin.ini (the folder the node would take); the
  // command line wins over it.
  {
    HubProcess hub;
    std::filesystem::create_directories(hub.Folder() + "/Config");
    WriteFile(hub.Folder() + "/Config/Drumlin.ini",
              "[Interface]\nBroadcastAddress=127.0.0.1\n\n[hub]\r\nlisten = 127.0.0.2\r\n");
    ASSERT_TRUE(hub.StartListening({"--port", "3700"}));
    EXPECT_NE(hub.Stderr().find("listening on 127.0.0.2:3700 (Listen= in " + hub.Folder() +
                                "/Config/Drumlin.ini)"),
              std::string::npos)
        << hub.Stderr();
    Peer a;
    const std::string hb = HeartbeatText(a.Port(), 60);
    ::sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(3700);
    ::inet_pton(AF_INET, "127.0.0.2", &to.sin_addr);
    ::sendto(a.Fd(), hb.data(), hb.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    EXPECT_EQ(a.Receive().value_or("(none)"), hb);
  }
  {
    HubProcess hub;
    std::filesystem::create_directories(hub.Folder() + "/Config");
    WriteFile(hub.Folder() + "/Config/Drumlin.ini", "[Hub]\nListen=127.0.0.2\n");
    ASSERT_TRUE(hub.StartListening({"--listen", "Default", "--port", "3701"}));
    EXPECT_NE(hub.Stderr().find("listening on 0.0.0.0:3701 (--listen)"), std::string::npos)
        << hub.Stderr();
  }
}

}  // namespace
}  // namespace sablewick::testing
