// The real node with the real hub, in a network namespace of the test: a device's message
// reaches a subscription through the hub, and a node without a hub says so.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include "tests/hub/HubHarness.h"
#include "xap/XapMessage.h"

namespace sablewick::testing {
namespace {

// sablewick-ctl status of the daemon, as a user sees it.
std::string CtlStatus(const Daemon& daemon) {
  const std::string command = "XDG_RUNTIME_DIR='" + daemon.RuntimeDir() + "' '" + SABLEWICK_CTL +
                              "' --address 'unix:path=" + daemon.RuntimeDir() +
                              "/sablewick/bus' status 2>&1";
  std::string out;
  if (FILE* p = ::popen(command.c_str(), "r")) {
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    ::pclose(p);
  }
  return out;
}

const std::string kHandler =
    "Set hs = CreateObject(\"Sablewick.Application\")\n"
    "pos = WScript.Arguments(0)\n"
    "Set m = hs.GetXapMessage(pos)\n"
    "Do Until m Is Nothing\n"
    "  hs.SendXapMessage \"\", \"test.reply\", \"Reply\", \"state\" & Chr(1) & "
    "m.GetItem(\"input.state\", \"state\"), \"\", \"\", \"\"\n"
    "  Set m = hs.GetXapMessage(pos)\n"
    "Loop\n";

const std::string kLamp =
    "xap-header\n{\nv=12\nhop=1\nuid=FF123400\nclass=xAPBSC.event\nsource=acme.lamp.hall\n}\n"
    "input.state\n{\nstate=on\n}\n";

class NodeWithHub : public ::testing::Test {
 protected:
  void TearDown() override {
    if (HasFailure()) {
      std::fprintf(stderr, "--- node log ---\n%s\n--- node stderr ---\n%s\n--- hub ---\n%s\n",
                   daemon.Log().c_str(), daemon.Stderr().c_str(), hub.Stderr().c_str());
    }
  }
  Daemon daemon;
  HubProcess hub;
};

TEST_F(NodeWithHub, ADevicesMessageReachesASubscriptionThroughTheHub) {
  ASSERT_TRUE(hub.StartListening());
  // A second client of the hub watches the network as another program would.
  Peer watcher, device;
  ASSERT_TRUE(watcher.Register(60));
  WriteFile(daemon.Root() + "/Scripts/OnLamp.vbs", kHandler);
  daemon.Start();
  // The node's first heartbeat registers it with the hub (it reaches the watcher through it).
  std::string nodeHeartbeat;
  for (int i = 0; i < 20 && nodeHeartbeat.empty(); ++i) {
    auto d = watcher.Receive(3000);
    if (d && d->find("port=32768") != std::string::npos) nodeHeartbeat = *d;
  }
  ASSERT_FALSE(nodeHeartbeat.empty()) << "the node's heartbeat did not come through the hub";
  ASSERT_TRUE(hub.LogHas("client at port 32768 (Orbel.Script."));
  const std::string subscribe = daemon.Root() + "/Scripts/subscribe.vbs";
  WriteFile(subscribe,
            "Set hs = CreateObject(\"Sablewick.Application\")\n"
            "hs.SelectXapMessage \"\", \"xAPBSC.event\", \"\", \"\", \"OnLamp.vbs\"\n");
  ASSERT_EQ(daemon.RunScript(subscribe), 0);

  device.ToHub(kLamp);
  // The lamp's message reaches the watcher as sent, and the handler's answer follows.
  std::string reply;
  bool lampSeen = false;
  for (int i = 0; i < 50 && reply.empty(); ++i) {
    auto d = watcher.Receive(5000);
    if (!d) break;
    if (*d == kLamp) lampSeen = true;
    XapMessage m;
    m.FromXap(*d);
    if (m.MsgClass == "test.reply") reply = m.GetItem("Reply", "state");
  }
  EXPECT_TRUE(lampSeen);
  EXPECT_EQ(reply, "on") << CtlStatus(daemon);
  EXPECT_EQ(CtlStatus(daemon).find("no xAP hub"), std::string::npos);
}

// Without a hub the node says why nothing arrives, in its log and its status, and stops saying
// it once a hub forwards. (Waits for the node's half minute.)
TEST_F(NodeWithHub, WithoutAHubTheNodeSaysSoUntilOneForwards) {
  daemon.Start();
  const std::string hint = "no xAP hub is forwarding to port 32768; start sablewick-hub";
  ASSERT_TRUE(WaitUntil([&] { return daemon.Log().find(hint) != std::string::npos; }, 40000))
      << daemon.Log();
  const std::string status = CtlStatus(daemon);
  EXPECT_NE(status.find("hub          " + hint), std::string::npos) << status;

  // The node never took 3639: the hub starts beside it. The node's extra heartbeat (every half
  // minute while no hub forwards) registers it; a device's message makes the hint go.
  ASSERT_TRUE(hub.StartListening());
  ASSERT_TRUE(hub.LogHas("client at port 32768", 35000));
  Peer device;
  device.ToHub(kLamp);
  ASSERT_TRUE(WaitUntil(
      [&] {
        return daemon.Log().find("an xAP hub forwards to port 32768 now") != std::string::npos;
      },
      5000));
  EXPECT_EQ(CtlStatus(daemon).find("no xAP hub"), std::string::npos);
  // Said once: the log holds the hint a single time.
  const std::string log = daemon.Log();
  EXPECT_EQ(log.find(hint), log.rfind(hint));
}

}  // namespace
}  // namespace sablewick::testing
