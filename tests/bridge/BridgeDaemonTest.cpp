// The real daemon against a real Mosquitto broker, both inside the test's network namespace:
// the fake hub on 127.0.0.1:3639 sees what the node sends on xAP, a test client sees what it
// publishes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>

#include "bridge/Mapping.h"
#include "tests/bridge/BrokerHarness.h"
#include "tests/ctl/CtlHarness.h"
#include "tests/daemon/DaemonFixture.h"

namespace sablewick::testing {
namespace {

constexpr int kPort = 18830;
constexpr int kNodePort = 32768;
const std::string kGolden = SABLEWICK_BRIDGE_GOLDEN_DIR;

class BridgeTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(hub.Bound()) << "port 3639 is taken: run in a namespace"; }
  void TearDown() override {
    if (!HasFailure()) return;
    if (daemon) std::fprintf(stderr, "--- daemon log ---\n%s\n", daemon->Log().c_str());
    std::fprintf(stderr, "--- broker log ---\n%s\n", broker->Log().c_str());
  }

  // The daemon with these [MQTT] lines, started, its heartbeat read.
  void StartDaemon(const std::string& mqtt) {
    daemon = std::make_unique<Daemon>(
        "[Interface]\nBroadcastAddress=127.0.0.1\nInterfaceAddress=127.0.0.2\n",
        mqtt.empty() ? "[General]\nUID=FF00E800\n" : "[MQTT]\n" + mqtt);
    daemon->Start();
    ASSERT_TRUE(hub.Receive()) << "no heartbeat";
  }
  std::string Plain() const { return "Broker=127.0.0.1:" + std::to_string(kPort) + "\n"; }

  // The next datagram of that class the node sends, skipping the others.
  std::optional<XapMessage> NextOfClass(const std::string& cls, std::string* text = nullptr) {
    for (int i = 0; i < 50; ++i) {
      const auto d = hub.ReceiveMessage(5000);
      if (!d) return std::nullopt;
      XapMessage m = Parse(*d);
      if (m.CompareClass(cls)) {
        if (text != nullptr) *text = *d;
        return m;
      }
    }
    return std::nullopt;
  }
  // Waits (at most timeoutMs) for a line holding `part` in the daemon's log.
  bool LogShows(const std::string& part, int timeoutMs = 10000) {
    for (int waited = 0; waited < timeoutMs; waited += 20) {
      if (daemon->Log().find(part) != std::string::npos) return true;
      ::usleep(20000);
    }
    return false;
  }
  void SendToNode(const std::string& text) { hub.SendTo(kNodePort, text); }

  const std::string status = "xap/status/" + TopicLevel("Orbel.Script." + HostName());
  UdpSocket hub{3639};
  std::unique_ptr<Broker> broker = std::make_unique<Broker>(kPort);
  std::unique_ptr<Daemon> daemon;
};

const std::string kLamp = ReadFile(kGolden + "/in-lamp.xap");
const std::string kLampTopic = "xap/in/xAPBSC.event/acme.lamp.hall:bulb";

TEST_F(BridgeTest, OffByDefault) {
  ASSERT_TRUE(broker->Start());
  MqttClient watcher;
  ASSERT_TRUE(watcher.Connect(kPort, {"#"}));
  StartDaemon("");
  SendToNode(kLamp);
  // An echo query answered means the lamp message before it was dispatched too.
  SendToNode("xap-header\n{\nv=12\nhop=1\nuid=FF123400\nclass=WDT.Echo\nsource=acme.tool.pc\n"
             "target=Orbel.Script." + HostName() + "\n}\nEcho.Query\n{\nQuery=ping\n}\n");
  ASSERT_TRUE(NextOfClass("WDT.Echo"));
  watcher.Pump([] { return false; }, 300);
  EXPECT_TRUE(watcher.messages.empty()) << watcher.messages.front().topic;
  EXPECT_EQ(daemon->Log().find("MQTT"), std::string::npos) << daemon->Log();
  EXPECT_EQ(broker->Log().find("as sablewick-"), std::string::npos);
}

TEST_F(BridgeTest, BothDirectionsWithGoldenJson) {
  ASSERT_TRUE(broker->Start());
  MqttClient watcher;
  ASSERT_TRUE(watcher.Connect(kPort, {"xap/#"}));
  StartDaemon(Plain());
  const auto online = watcher.WaitFor(status);
  ASSERT_TRUE(online);
  EXPECT_EQ(online->payload, "online");

  SendToNode(kLamp);
  const auto in = watcher.WaitFor(kLampTopic);
  ASSERT_TRUE(in);
  EXPECT_EQ(in->payload, ReadFile(kGolden + "/in-lamp.json"));
  EXPECT_FALSE(in->retain);

  MqttClient sender;
  ASSERT_TRUE(sender.Connect(kPort));
  sender.Publish("xap/out", ReadFile(kGolden + "/out-full.json"));
  std::string text;
  ASSERT_TRUE(NextOfClass("xAPBSC.cmd", &text));
  EXPECT_EQ(text, ReadFile(kGolden + "/out-full.xap"));

  const std::string raw =
      "xap-header\n{\nv=12\nhop=1\nuid=FF00E8AA\nclass=Raw.Test\nsource=acme.raw.src\n}\n"
      "body\n{\nKey=Value\n}\n";
  sender.Publish("xap/out/raw", raw);
  ASSERT_TRUE(NextOfClass("Raw.Test", &text));
  EXPECT_EQ(text, raw);
}

TEST_F(BridgeTest, MalformedInputIsLoggedAndNothingSent) {
  ASSERT_TRUE(broker->Start());
  MqttClient watcher;
  ASSERT_TRUE(watcher.Connect(kPort, {"xap/#"}));
  StartDaemon(Plain());
  ASSERT_TRUE(watcher.WaitFor(status, 10000, "online"));
  MqttClient sender;
  ASSERT_TRUE(sender.Connect(kPort));
  struct Case {
    std::string topic, payload, logged;
  } cases[] = {
      {"xap/out", "{\"header\": {\"class\": \"Bad.One\"}", "not JSON: expected ',' or '}' at byte 31"},
      {"xap/out", R"({"header": {"class": "Bad.Two"}, "sections": [{"name": "s", "items": {"a": "1\n}"}}]})",
       "item 'a' of section 's' holds a line break"},
      {"xap/out/raw", "xap-header\n{\nclass=Bad.Three\nsource=a.b.c\n}\ns\n{\nx=1\nX=2\n}\n",
       "a section or item name given twice"},
      {"xap/out/raw", "hello", "the first line is not an xap-header"},
  };
  for (const Case& c : cases) sender.Publish(c.topic, c.payload);
  sender.Publish("xap/out", R"({"header": {"class": "Good.One"}, "sections": [{"name": "s", "items": {}}]})");
  // The good message is the first the node sends after the bad ones: none of them went out.
  const auto next = NextOfClass("Good.One");
  ASSERT_TRUE(next);
  for (const Case& c : cases) {
    EXPECT_TRUE(LogShows("MQTT message on " + c.topic + " not sent: " + c.logged, 2000)) << c.logged;
  }
}

TEST_F(BridgeTest, RetainedCommandsAreNotCarriedOutAtConnect) {
  ASSERT_TRUE(broker->Start());
  {
    MqttClient sender;
    ASSERT_TRUE(sender.Connect(kPort));
    sender.Publish("xap/out",
                   R"({"header": {"class": "Stale.Cmd"}, "sections": [{"name": "s", "items": {}}]})",
                   /*retain=*/true);
  }
  MqttClient watcher;
  ASSERT_TRUE(watcher.Connect(kPort, {"xap/#"}));
  StartDaemon(Plain());
  ASSERT_TRUE(watcher.WaitFor(status, 10000, "online"));
  ASSERT_TRUE(LogShows("MQTT message on xap/out not sent: a retained message is not a command"));
  MqttClient sender;
  ASSERT_TRUE(sender.Connect(kPort));
  sender.Publish("xap/out", R"({"header": {"class": "Fresh.Cmd"}, "sections": [{"name": "s", "items": {}}]})");
  bool fresh = false;
  for (int i = 0; i < 20 && !fresh; ++i) {
    const auto d = hub.ReceiveMessage(5000);
    ASSERT_TRUE(d);
    const XapMessage m = Parse(*d);
    ASSERT_FALSE(m.CompareClass("Stale.Cmd"));
    fresh = m.CompareClass("Fresh.Cmd");
  }
  EXPECT_TRUE(fresh);
}

TEST_F(BridgeTest, BrokerDownAtStartThenUp) {
  StartDaemon(Plain());
  ASSERT_TRUE(LogShows("MQTT broker 127.0.0.1:18830: cannot connect: Connection refused"));
  // The status says why the link is down.
  CtlResult r;
  for (int i = 0; i < 100; ++i) {
    r = RunCtl(daemon->RuntimeDir(), {"status"});
    if (r.status == 0) break;
    ::usleep(20000);
  }
  EXPECT_NE(r.out.find("connected no, queued 0, dropped 0, down MQTT broker 127.0.0.1:18830: "
                       "cannot connect: Connection refused\n"),
            std::string::npos)
      << r.out;
  SendToNode(kLamp);  // waits in the queue until the broker is there
  ASSERT_TRUE(broker->Start());
  MqttClient watcher;
  ASSERT_TRUE(watcher.Connect(kPort, {"xap/#"}));
  ASSERT_TRUE(watcher.WaitFor(status, 15000, "online"));
  const auto in = watcher.WaitFor(kLampTopic);
  ASSERT_TRUE(in);
  EXPECT_EQ(in->payload, ReadFile(kGolden + "/in-lamp.json"));
  EXPECT_TRUE(LogShows("MQTT connected to 127.0.0.1:18830"));
}

TEST_F(BridgeTest, BrokerRestartedMidRun) {
  ASSERT_TRUE(broker->Start());
  StartDaemon(Plain());
  {
    MqttClient watcher;
    ASSERT_TRUE(watcher.Connect(kPort, {"xap/#"}));
    ASSERT_TRUE(watcher.WaitFor(status, 10000, "online"));
  }
  broker->Stop();
  ASSERT_TRUE(LogShows("MQTT connection lost"));
  SendToNode(kLamp);  // while the broker is away
  broker = std::make_unique<Broker>(kPort);
  ASSERT_TRUE(broker->Start());
  MqttClient watcher;
  ASSERT_TRUE(watcher.Connect(kPort, {"xap/#"}));
  ASSERT_TRUE(watcher.WaitFor(status, 15000, "online"));
  ASSERT_TRUE(watcher.WaitFor(kLampTopic));
  // And the road stays open afterwards.
  SendToNode(kLamp);
  ASSERT_TRUE(watcher.WaitFor(kLampTopic));
}

TEST_F(BridgeTest, LastWillAfterTheNodeIsKilled) {
  ASSERT_TRUE(broker->Start());
  MqttClient watcher;
  ASSERT_TRUE(watcher.Connect(kPort, {"xap/status/#"}));
  StartDaemon(Plain());
  ASSERT_TRUE(watcher.WaitFor(status, 10000, "online"));
  daemon->Signal(SIGKILL);
  const auto will = watcher.WaitFor(status, 10000, "offline");
  ASSERT_TRUE(will);
  MqttClient late;
  ASSERT_TRUE(late.Connect(kPort, {status}));
  const auto kept = late.WaitFor(status);
  ASSERT_TRUE(kept);
  EXPECT_EQ(kept->payload, "offline");
  EXPECT_TRUE(kept->retain);
}

TEST_F(BridgeTest, StatusShowsTheConnection) {
  ASSERT_TRUE(broker->Start());
  MqttClient watcher;
  ASSERT_TRUE(watcher.Connect(kPort, {"xap/status/#"}));
  StartDaemon(Plain());
  ASSERT_TRUE(watcher.WaitFor(status, 10000, "online"));
  // The object server comes up beside the bridge; ask until it answers.
  CtlResult r;
  for (int i = 0; i < 100; ++i) {
    r = RunCtl(daemon->RuntimeDir(), {"--json", "status"});
    if (r.status == 0) break;
    ::usleep(20000);
  }
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find(R"("mqtt":{"broker":"127.0.0.1:18830","connected":true,"queued":0,"dropped":0})"),
            std::string::npos)
      << r.out;
}

// The process's user + system CPU time so far, in clock ticks (-1 when it cannot be read).
long CpuTicks(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(in, line)) return -1;
  // The fields after the command name, which sits in parentheses and may hold blanks.
  std::istringstream rest(line.substr(line.rfind(')') + 2));
  std::string field;
  long utime = -1, stime = -1;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) utime = std::stol(field);
    if (i == 15) stime = std::stol(field);
  }
  return utime < 0 || stime < 0 ? -1 : utime + stime;
}

TEST_F(BridgeTest, IdleNodeWithABridgeSleeps) {
  ASSERT_TRUE(broker->Start());
  MqttClient watcher;
  ASSERT_TRUE(watcher.Connect(kPort, {"xap/#"}));
  StartDaemon(Plain());
  ASSERT_TRUE(watcher.WaitFor(status, 10000, "online"));
  // Some traffic first, so the socket has been written to and read from.
  SendToNode(kLamp);
  ASSERT_TRUE(watcher.WaitFor(kLampTopic));
  ::usleep(300000);
  // A node that spins burns a whole core; an idle one wakes only for its timers. The bound
  // is loose on purpose: this catches a busy loop, not a slow machine.
  const long before = CpuTicks(daemon->Pid());
  const auto start = std::chrono::steady_clock::now();
  ::sleep(3);
  const long after = CpuTicks(daemon->Pid());
  const double wallTicks =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() *
      static_cast<double>(::sysconf(_SC_CLK_TCK));
  ASSERT_GE(before, 0);
  ASSERT_GE(after, 0);
  EXPECT_LT(static_cast<double>(after - before), 0.1 * wallTicks)
      << "the idle node used " << (after - before) << " of " << wallTicks << " clock ticks";
}

TEST_F(BridgeTest, CleanStopSaysOffline) {
  ASSERT_TRUE(broker->Start());
  MqttClient watcher;
  ASSERT_TRUE(watcher.Connect(kPort, {"xap/status/#"}));
  StartDaemon(Plain());
  ASSERT_TRUE(watcher.WaitFor(status, 10000, "online"));
  daemon->Signal(SIGTERM);
  EXPECT_EQ(daemon->WaitExit(), 0);
  EXPECT_TRUE(watcher.WaitFor(status, 5000, "offline"));
}

// Started as root, the broker drops to its own user: what it reads must be open to it.
void OpenToBroker(const std::string& dir) { ::chmod(dir.c_str(), 0755); }

// A CA, and a server certificate for 127.0.0.1 that it signed, made by openssl in dir.
bool MakeCertificates(const std::string& dir) {
  OpenToBroker(dir);
  const std::string cmd =
      "cd '" + dir + "' && "
      "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=TestCA -keyout ca.key "
      "-out ca.pem && "
      "openssl req -newkey rsa:2048 -nodes -subj /CN=127.0.0.1 -keyout server.key -out server.csr && "
      "printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\\n' > san.ext && "
      "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 "
      "-extfile san.ext -out server.pem && chmod 644 server.key";
  return std::system(("(" + cmd + ") >'" + dir + "/openssl.log' 2>&1").c_str()) == 0;
}

TEST_F(BridgeTest, TlsWithTheBrokersCa) {
  TempDir certs;
  ASSERT_TRUE(MakeCertificates(certs.Path())) << ReadFile(certs.Path() + "/openssl.log");
  // The node speaks TLS on 18831; the test watches on the plain listener.
  broker = std::make_unique<Broker>(
      kPort, "allow_anonymous true\nlistener 18831 127.0.0.1\ncafile " + certs.Path() +
                 "/ca.pem\ncertfile " + certs.Path() + "/server.pem\nkeyfile " + certs.Path() +
                 "/server.key\n");
  ASSERT_TRUE(broker->Start());
  MqttClient watcher;
  ASSERT_TRUE(watcher.Connect(kPort, {"xap/#"}));
  StartDaemon("Broker=127.0.0.1:18831\nCAFile=" + certs.Path() + "/ca.pem\n");
  ASSERT_TRUE(watcher.WaitFor(status, 10000, "online"));
  SendToNode(kLamp);
  ASSERT_TRUE(watcher.WaitFor(kLampTopic));

  // A node that does not trust the broker's CA never gets on.
  daemon.reset();
  TempDir other;
  ASSERT_TRUE(MakeCertificates(other.Path()));
  StartDaemon("Broker=127.0.0.1:18831\nCAFile=" + other.Path() + "/ca.pem\n");
  EXPECT_TRUE(LogShows("MQTT broker 127.0.0.1:18831: cannot connect: A TLS error occurred."));
  EXPECT_EQ(daemon->Log().find("MQTT connected"), std::string::npos);
}

TEST_F(BridgeTest, PasswordFromFileAndRefusedCredentials) {
  TempDir secrets;
  const std::string passwords = secrets.Path() + "/passwords";
  ASSERT_EQ(std::system(("mosquitto_passwd -c -b '" + passwords +
                         "' node 'right horse' >/dev/null 2>&1").c_str()),
            0);
  OpenToBroker(secrets.Path());
  ::chmod(passwords.c_str(), 0644);
  broker = std::make_unique<Broker>(kPort, "allow_anonymous false\npassword_file " + passwords + "\n");
  ASSERT_TRUE(broker->Start());
  MqttClient watcher;
  mosquitto_username_pw_set(watcher.Handle(), "node", "right horse");
  ASSERT_TRUE(watcher.Connect(kPort, {"xap/#"}));

  struct Case {
    std::string password;
    mode_t mode;
    std::string logged;  // empty: the node gets on
  } cases[] = {
      {"right horse", 0600, ""},
      {"wrong horse", 0600, "refused the connection: Connection Refused: not authorised."},
      {"right horse", 0644, "MQTT bridge off: PasswordFile "},
  };
  for (const Case& c : cases) {
    daemon.reset();
    WriteFile(secrets.Path() + "/node.pass", c.password + "\n");
    ::chmod((secrets.Path() + "/node.pass").c_str(), c.mode);
    StartDaemon(Plain() + "Username=node\nPasswordFile=" + secrets.Path() + "/node.pass\n");
    if (c.logged.empty()) {
      EXPECT_TRUE(watcher.WaitFor(status, 10000, "online"));
    } else {
      EXPECT_TRUE(LogShows(c.logged)) << c.logged;
      EXPECT_EQ(daemon->Log().find("MQTT connected"), std::string::npos);
    }
    EXPECT_EQ(daemon->Log().find("horse"), std::string::npos) << "the password went to the log";
  }
}

TEST_F(BridgeTest, BscDeviceInHomeAssistantAndItsCommand) {
  ASSERT_TRUE(broker->Start());
  MqttClient ha;
  ASSERT_TRUE(ha.Connect(kPort, {"homeassistant/#", "xap/bsc/#"}));
  StartDaemon(Plain());
  // On connecting the node asks every device for its state.
  const auto query = NextOfClass("xAPBSC.query");
  ASSERT_TRUE(query);
  EXPECT_EQ(query->MsgTarget, ">");

  SendToNode("xap-header\n{\nv=12\nhop=1\nuid=FF123401\nclass=xAPBSC.info\n"
             "source=acme.door.house:front\n}\ninput.state.1\n{\nState=on\n}\n");
  SendToNode("xap-header\n{\nv=12\nhop=1\nuid=FF123402\nclass=xAPBSC.event\n"
             "source=acme.dimmer.house:hall\n}\noutput.state.1\n{\nID=02\nState=on\nLevel=64/255\n}\n");
  const auto sensor = ha.WaitFor(
      "homeassistant/binary_sensor/xap/xap_acme_door_house_front_6b8bbc9c/config");
  ASSERT_TRUE(sensor);
  const auto sensorState = ha.WaitFor("xap/bsc/acme.door.house:front/state");
  ASSERT_TRUE(sensorState);
  EXPECT_EQ(sensorState->payload, R"({"state": "ON"})");
  const auto light =
      ha.WaitFor("homeassistant/light/xap/xap_acme_dimmer_house_hall_0ef1c2ac/config");
  ASSERT_TRUE(light);
  EXPECT_NE(light->payload.find(R"("command_topic": "xap/bsc/acme.dimmer.house:hall/set")"),
            std::string::npos);
  const auto lightState = ha.WaitFor("xap/bsc/acme.dimmer.house:hall/state");
  ASSERT_TRUE(lightState);
  EXPECT_EQ(lightState->payload,
            R"({"state": "ON", "brightness": 25, "level": "64/255", "color_mode": "brightness"})");

  // What Home Assistant sends when the light is dimmed to 40 %.
  ha.Publish("xap/bsc/acme.dimmer.house:hall/set", R"({"state": "ON", "brightness": 40})");
  const auto cmd = NextOfClass("xAPBSC.cmd");
  ASSERT_TRUE(cmd);
  EXPECT_EQ(cmd->MsgTarget, "acme.dimmer.house:hall");
  EXPECT_EQ(cmd->GetItem("output.state.1", "id"), "*");
  EXPECT_EQ(cmd->GetItem("output.state.1", "State"), "on");
  EXPECT_EQ(cmd->GetItem("output.state.1", "Level"), "40/100");

  // Retained: a Home Assistant that starts later sees the device at once.
  MqttClient late;
  ASSERT_TRUE(late.Connect(kPort, {"homeassistant/#", "xap/bsc/#"}));
  const auto kept = late.WaitFor("xap/bsc/acme.dimmer.house:hall/state");
  ASSERT_TRUE(kept);
  EXPECT_TRUE(kept->retain);
  const auto keptConfig =
      late.WaitFor("homeassistant/light/xap/xap_acme_dimmer_house_hall_0ef1c2ac/config");
  ASSERT_TRUE(keptConfig);
  EXPECT_TRUE(keptConfig->retain);
}

}  // namespace
}  // namespace sablewick::testing
