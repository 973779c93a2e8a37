// The real daemon against a real Mosquitto broker, both inside the test's network namespace:
// the fake hub on 127.0.0.1:3639 sees what the node sends on xAP, a test client sees what it
// publishes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <set>
#include <algorithm>
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
                       "cannot connect: Connection refused, sends_dropped 0\n"),
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
  EXPECT_NE(r.out.find(R"("mqtt":{"broker":"127.0.0.1:18830","connected":true,"queued":0,"dropped":0,"sends_dropped":0})"),
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

// What comes from MQTT goes onto the xAP network at a bounded rate: a flood is cut, counted
// and logged, not passed on at tens of thousands a second.
TEST_F(BridgeTest, SendsFromMqttAreBoundedByATokenBucket) {
  ASSERT_TRUE(broker->Start());
  MqttClient watcher;
  ASSERT_TRUE(watcher.Connect(kPort, {"xap/status/#"}));
  StartDaemon(Plain() + "MaxSendsPerSecond=2\n");
  ASSERT_TRUE(watcher.WaitFor(status, 10000, "online"));
  MqttClient sender;
  ASSERT_TRUE(sender.Connect(kPort));
  const int flood = 100;
  for (int i = 0; i < flood; ++i)
    sender.Publish("xap/out/raw",
                   "xap-header\n{\nv=12\nhop=1\nuid=FF00E8AA\nclass=Flood.Test\nsource=acme.raw.src\n}\n"
                   "body\n{\nn=" + std::to_string(i) + "\n}\n");
  ASSERT_TRUE(LogShows("messages dropped past [MQTT] MaxSendsPerSecond=2 "));
  int sent = 0;
  for (int i = 0; i < flood + 50; ++i) {
    const auto d = hub.ReceiveMessage(1000);
    if (!d) break;
    if (Parse(*d).CompareClass("Flood.Test")) ++sent;
  }
  EXPECT_GT(sent, 0);
  EXPECT_LT(sent, flood / 2) << "the flood went through";
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
  // Which file, and what the TLS library found wrong.
  EXPECT_TRUE(LogShows("MQTT broker 127.0.0.1:18831: cannot connect: A TLS error occurred. (CA file " +
                       other.Path() + "/ca.pem: "));
  EXPECT_NE(daemon->Log().find("certificate verify failed"), std::string::npos) << daemon->Log();
  EXPECT_EQ(daemon->Log().find("MQTT connected"), std::string::npos);

  // The right CA put in the file while the node runs: read again for the next attempt (made at
  // once by the reload), with a new TLS context rather than the certificates loaded before.
  std::filesystem::copy_file(certs.Path() + "/ca.pem", other.Path() + "/ca.pem",
                             std::filesystem::copy_options::overwrite_existing);
  RunCtl(daemon->RuntimeDir(), {"reload"});
  EXPECT_TRUE(LogShows("MQTT connected to 127.0.0.1:18831"));
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
      {"right horse", 0644, ": not connecting: PasswordFile "},
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

// The password file is read again before every attempt: fixed while the node runs, the next
// attempt connects; one that cannot be read is said once for each reason, and nothing read
// before is used meanwhile.
TEST_F(BridgeTest, PasswordFileFixedWhileTheNodeRuns) {
  TempDir secrets;
  const std::string passwords = secrets.Path() + "/passwords";
  ASSERT_EQ(
      std::system(("mosquitto_passwd -c -b '" + passwords + "' node 'right horse' >/dev/null 2>&1")
                      .c_str()),
      0);
  OpenToBroker(secrets.Path());
  ::chmod(passwords.c_str(), 0644);
  const std::string conf = "allow_anonymous false\npassword_file " + passwords + "\n";
  broker = std::make_unique<Broker>(kPort, conf);
  ASSERT_TRUE(broker->Start());
  const std::string pass = secrets.Path() + "/node.pass";
  WriteFile(pass, "wrong horse\n");
  ::chmod(pass.c_str(), 0600);
  StartDaemon(Plain() + "Username=node\nPasswordFile=" + pass + "\n");
  ASSERT_TRUE(
      LogShows("refused the connection: Connection Refused: not authorised. (the broker "
               "refused the password of user node from " +
               pass));

  // Fixed: the next attempt (a second or two later) gets on, the node still the same process.
  const pid_t pid = daemon->Pid();
  WriteFile(pass, "right horse\n");
  {
    MqttClient watcher;
    mosquitto_username_pw_set(watcher.Handle(), "node", "right horse");
    ASSERT_TRUE(watcher.Connect(kPort, {"xap/#"}));
    EXPECT_TRUE(watcher.WaitFor(status, 10000, "online"));
  }
  ASSERT_TRUE(LogShows("MQTT connected to 127.0.0.1:18830"));
  EXPECT_EQ(daemon->Pid(), pid);

  // The broker goes; meanwhile the file becomes readable by others, then goes.
  broker->Stop();
  ::chmod(pass.c_str(), 0644);
  const std::string open =
      ": not connecting: PasswordFile " + pass + " may be read or written by others (chmod 600 it)";
  ASSERT_TRUE(LogShows(open));
  ::sleep(4);  // at least one more attempt, with the same reason: not said again
  auto count = [&](const std::string& part) {
    const std::string log = daemon->Log();
    size_t n = 0;
    for (size_t at = log.find(part); at != std::string::npos; at = log.find(part, at + 1)) ++n;
    return n;
  };
  EXPECT_EQ(count(open), 1u) << "said once for the reason, not at every attempt";
  ::unlink(pass.c_str());
  // The reload makes the next attempt at once.
  RunCtl(daemon->RuntimeDir(), {"reload"});
  ASSERT_TRUE(LogShows(": not connecting: PasswordFile " + pass +
                       " cannot be opened: No such file or directory"));
  EXPECT_EQ(count("MQTT connected to"), 1u) << "an attempt with the password read before";

  broker = std::make_unique<Broker>(kPort, conf);
  ASSERT_TRUE(broker->Start());
  WriteFile(pass, "right horse\n");
  ::chmod(pass.c_str(), 0600);
  const CtlResult r = RunCtl(daemon->RuntimeDir(), {"reload"});
  EXPECT_NE(r.out.find("MQTT bridge unchanged, trying 127.0.0.1:18830 again now"),
            std::string::npos)
      << r.out << r.err;
  EXPECT_TRUE(LogShows(pass + " read again; connecting"));
  for (int i = 0; i < 500 && count("MQTT connected to") < 2; ++i) ::usleep(20000);
  EXPECT_EQ(count("MQTT connected to"), 2u);
  EXPECT_EQ(daemon->Log().find("horse"), std::string::npos) << "the password went to the log";
}

// A reload with changed [MQTT] settings reconnects the bridge with them.
TEST_F(BridgeTest, ReloadWithNewMqttSettingsReconnects) {
  ASSERT_TRUE(broker->Start());
  MqttClient watcher;
  ASSERT_TRUE(watcher.Connect(kPort, {"xap/#", "home/#"}));
  StartDaemon(Plain());
  ASSERT_TRUE(watcher.WaitFor(status, 10000, "online"));
  WriteFile(daemon->Root() + "/Config/Sablewick.ini", "[MQTT]\n" + Plain() + "Prefix=home\n");
  const CtlResult r = RunCtl(daemon->RuntimeDir(), {"reload"});
  EXPECT_NE(r.out.find("[MQTT] Prefix: (not set) -> \"home\" (the MQTT bridge reconnects with it)"),
            std::string::npos)
      << r.out << r.err;
  EXPECT_NE(r.out.find("MQTT bridge connecting to 127.0.0.1:18830"), std::string::npos) << r.out;
  EXPECT_TRUE(watcher.WaitFor(status, 10000, "offline"));
  EXPECT_TRUE(
      watcher.WaitFor("home/status/" + TopicLevel("Orbel.Script." + HostName()), 10000, "online"));
  SendToNode(kLamp);
  EXPECT_TRUE(watcher.WaitFor("home/in/xAPBSC.event/acme.lamp.hall:bulb"));
  // One set of bridge fields in the status, not one more per reload.
  const CtlResult s = RunCtl(daemon->RuntimeDir(), {"--json", "status"});
  size_t n = 0;
  for (size_t at = s.out.find("\"broker\""); at != std::string::npos;
       at = s.out.find("\"broker\"", at + 1))
    ++n;
  EXPECT_EQ(n, 1u) << s.out;
}

TEST_F(BridgeTest, BscDeviceInHomeAssistantAndItsCommand) {
  ASSERT_TRUE(broker->Start());
  MqttClient ha;
  ASSERT_TRUE(ha.Connect(kPort, {"homeassistant/#", "xap/bsc/#"}));
  StartDaemon(Plain());
  // On connecting the node asks every device for its state.
  const auto query = NextOfClass("xAPBSC.query");
  ASSERT_TRUE(query);
  EXPECT_EQ(query->MsgTarget, "*.*.*:>");

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

// ---- Real BSC devices, as they behave on the network

std::vector<std::string> Split(const std::string& text, char by) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find(by, start);
    parts.push_back(text.substr(start, end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

bool SamePiece(const std::string& a, const std::string& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return std::tolower(x) == std::tolower(y); });
}

// A BSC device program that was running before the node started. It answers a query with an
// xAPBSC.info for each of its endpoints the target reaches, as the two kinds of real device
// programs match targets:
// - SubAddressApart: the pieces before the ':' and the sub-address are matched separately;
//   a '>' before the ':' never reaches past it, so target ">" reaches no endpoint.
// - WildcardAtEndOnly: a target holding '>' anywhere but as the sub-address is refused
//   ("contains > not at the end of a section"); "*" stands for one piece.
struct SimDevice {
  enum class Matching { SubAddressApart, WildcardAtEndOnly };
  std::string base;
  Matching matching;
  struct Endpoint {
    std::string sub, section, items;
  };
  std::vector<Endpoint> endpoints;
  int answered = 0;

  bool Reaches(const std::string& target, const std::string& sub) const {
    const size_t colon = target.find(':');
    const std::string tBase = target.substr(0, colon);
    const std::optional<std::string> tSub =
        colon == std::string::npos ? std::nullopt : std::optional(target.substr(colon + 1));
    const auto mine = Split(base, '.');
    const auto theirs = Split(tBase, '.');
    if (matching == Matching::WildcardAtEndOnly) {
      if (tBase.find('>') != std::string::npos) return false;  // refused outright
      if (tSub && tSub->find('>') != std::string::npos && *tSub != ">") return false;
    }
    bool baseMatches = true;
    for (size_t i = 0; i < theirs.size() && baseMatches; ++i) {
      if (theirs[i] == ">") break;
      baseMatches = i < mine.size() && (theirs[i] == "*" || SamePiece(theirs[i], mine[i])) &&
                    (i + 1 < theirs.size() || theirs.size() == mine.size());
    }
    if (!baseMatches) return false;
    if (!tSub) return sub.empty();  // the '>' stops at the ':'
    return *tSub == ">" || *tSub == "*" || SamePiece(*tSub, sub);
  }
  // The infos this device sends for a query with that target.
  std::vector<std::string> Answer(const std::string& target) {
    std::vector<std::string> out;
    for (const Endpoint& e : endpoints) {
      if (!Reaches(target, e.sub)) continue;
      ++answered;
      out.push_back("xap-header\n{\nv=12\nhop=1\nuid=FF7700" + std::to_string(10 + out.size()) +
                    "\nclass=xAPBSC.info\nsource=" + base + ":" + e.sub + "\n}\n" + e.section +
                    "\n{\n" + e.items + "}\n");
    }
    return out;
  }
};

std::vector<SimDevice> RunningDevices() {
  using M = SimDevice::Matching;
  return {
      {"acme.controller.garage", M::SubAddressApart,
       {{"relay1", "output.state.1", "ID=01\nState=off\n"},
        {"relay2", "output.state.2", "ID=02\nState=on\n"},
        {"lcd", "output.state.3", "ID=03\nState=on\nText=Garage 12 C\n"}}},
      {"bravo.bscdev.den", M::WildcardAtEndOnly,
       {{"lamp", "output.state.1", "ID=01\nState=on\n"},
        {"dimmer", "output.state.2", "ID=02\nState=on\nLevel=60/100\n"}}},
  };
}

class RunningDevicesTest : public BridgeTest {
 protected:
  // Plays the devices until Home Assistant has a config for each of their endpoints (or 10 s
  // pass); the queries' targets in queries.
  size_t AnswerUntilDiscovered(MqttClient& ha, std::vector<SimDevice>& devices,
                               std::vector<std::string>* queries = nullptr) {
    size_t wanted = 0;
    for (const SimDevice& d : devices) wanted += d.endpoints.size();
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (Discovered(ha) < wanted && std::chrono::steady_clock::now() < end) {
      if (const auto d = hub.ReceiveMessage(20)) {
        const XapMessage m = Parse(*d);
        if (m.CompareClass("xAPBSC.query")) {
          if (queries != nullptr) queries->push_back(m.MsgTarget);
          for (SimDevice& device : devices) {
            for (const std::string& info : device.Answer(m.MsgTarget)) SendToNode(info);
          }
        }
      }
      ha.Pump([] { return false; }, 10);
    }
    return Discovered(ha);
  }
  static size_t Discovered(const MqttClient& ha) {
    std::set<std::string> topics;
    for (const Received& r : ha.messages) {
      if (r.topic.starts_with("homeassistant/") && r.topic.ends_with("/config") &&
          r.topic.find("/xap/xap_") != std::string::npos && !r.payload.empty()) {
        topics.insert(r.topic);
      }
    }
    return topics.size();
  }
};

TEST_F(RunningDevicesTest, DevicesRunningBeforeTheNodeAppearAtItsStart) {
  ASSERT_TRUE(broker->Start());
  MqttClient ha;
  ASSERT_TRUE(ha.Connect(kPort, {"homeassistant/#", "xap/bsc/#"}));
  std::vector<SimDevice> devices = RunningDevices();
  std::vector<std::string> queries;
  const auto start = std::chrono::steady_clock::now();
  StartDaemon(Plain());
  EXPECT_EQ(AnswerUntilDiscovered(ha, devices, &queries), 5u);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("all 5 running endpoints discovered %.3f s after the node started\n", seconds);
  RecordProperty("discovered_after_ms", static_cast<int>(seconds * 1000));
  EXPECT_NE(std::find(queries.begin(), queries.end(), "*.*.*:>"), queries.end());
  for (const SimDevice& d : devices) EXPECT_GT(d.answered, 0) << d.base;

  // The stream output is a text entity; its command carries the text, never State alone.
  const auto lcd = std::find_if(ha.messages.begin(), ha.messages.end(), [](const Received& r) {
    return r.topic.starts_with("homeassistant/text/xap/xap_acme_controller_garage_lcd_");
  });
  ASSERT_NE(lcd, ha.messages.end());
  EXPECT_NE(lcd->payload.find(R"("command_topic": "xap/bsc/acme.controller.garage:lcd/set")"),
            std::string::npos);
  ha.Publish("xap/bsc/acme.controller.garage:lcd/set", "Door open");
  auto cmd = NextOfClass("xAPBSC.cmd");
  ASSERT_TRUE(cmd);
  EXPECT_EQ(cmd->MsgTarget, "acme.controller.garage:lcd");
  EXPECT_EQ(cmd->GetItem("output.state.1", "Text"), "Door open");
  EXPECT_EQ(cmd->GetItem("output.state.1", "State"), "Unknown");  // none

  // ON to the dimmer brings it back at its last level.
  ha.Publish("xap/bsc/bravo.bscdev.den:dimmer/set", R"({"state": "ON"})");
  cmd = NextOfClass("xAPBSC.cmd");
  ASSERT_TRUE(cmd);
  EXPECT_EQ(cmd->MsgTarget, "bravo.bscdev.den:dimmer");
  EXPECT_EQ(cmd->GetItem("output.state.1", "Level"), "60/100");
}

TEST_F(RunningDevicesTest, ARestartedNodeKnowsTheEndpointsBeforeTheyReport) {
  ASSERT_TRUE(broker->Start());
  MqttClient ha;
  ASSERT_TRUE(ha.Connect(kPort, {"homeassistant/#", "xap/bsc/#", "xap/status/#"}));
  std::vector<SimDevice> devices = RunningDevices();
  StartDaemon(Plain());
  ASSERT_TRUE(ha.WaitFor(status, 10000, "online"));
  ASSERT_EQ(AnswerUntilDiscovered(ha, devices), 5u);
  daemon.reset();
  ASSERT_TRUE(ha.WaitFor(status, 10000, "offline"));

  // The devices are silent now; the node learns its endpoints from the broker.
  StartDaemon(Plain());
  ASSERT_TRUE(ha.WaitFor(status, 10000, "online"));
  ha.Publish("xap/bsc/acme.controller.garage:relay2/set", "OFF");
  ha.Publish("xap/bsc/bravo.bscdev.den:dimmer/set", "ON");
  const auto relay = NextOfClass("xAPBSC.cmd");
  ASSERT_TRUE(relay);
  EXPECT_EQ(relay->MsgTarget, "acme.controller.garage:relay2");
  EXPECT_EQ(relay->GetItem("output.state.1", "State"), "off");
  const auto dimmer = NextOfClass("xAPBSC.cmd");
  ASSERT_TRUE(dimmer);
  EXPECT_EQ(dimmer->MsgTarget, "bravo.bscdev.den:dimmer");
  EXPECT_EQ(dimmer->GetItem("output.state.1", "Level"), "60/100");  // from the retained state
  EXPECT_EQ(daemon->Log().find("not sent"), std::string::npos) << daemon->Log();
}

TEST_F(BridgeTest, ADeviceWhoseHeartbeatsStopBecomesUnavailable) {
  ASSERT_TRUE(broker->Start());
  MqttClient ha;
  ASSERT_TRUE(ha.Connect(kPort, {"xap/bsc/+/availability", "xap/in/xap-hbeat.alive/#"}));
  StartDaemon(Plain());
  auto heartbeat = [](const std::string& cls, const std::string& source) {
    return "xap-hbeat\n{\nv=12\nhop=1\nuid=FF880000\nclass=" + cls + "\nsource=" + source +
           "\ninterval=1\nport=3639\n}\n";
  };
  for (const std::string source : {"acme.sensor.hall", "acme.sensor.den"}) {
    SendToNode("xap-header\n{\nv=12\nhop=1\nuid=FF880001\nclass=xAPBSC.info\nsource=" + source +
               ":temp\n}\ninput.state.1\n{\nState=on\nText=21 C\n}\n");
    ASSERT_TRUE(ha.WaitFor("xap/bsc/" + source + "/availability", 10000, "online")) << source;
  }
  // Heartbeats go to MQTT like any message.
  SendToNode(heartbeat("xap-hbeat.alive", "acme.sensor.hall"));
  const auto in = ha.WaitFor("xap/in/xap-hbeat.alive/acme.sensor.hall");
  ASSERT_TRUE(in);
  EXPECT_NE(in->payload.find(R"("interval": "1")"), std::string::npos) << in->payload;
  for (int i = 0; i < 3; ++i) {
    ::usleep(500000);
    SendToNode(heartbeat("xap-hbeat.alive", "acme.sensor.hall"));
  }
  const auto last = std::chrono::steady_clock::now();
  ASSERT_TRUE(ha.WaitFor("xap/bsc/acme.sensor.hall/availability", 10000, "offline"));
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - last).count();
  std::printf("unavailable %.3f s after the last heartbeat (interval 1 s)\n", seconds);
  RecordProperty("unavailable_after_ms", static_cast<int>(seconds * 1000));
  // Not before two intervals have passed without one.
  EXPECT_GE(seconds, 1.9);

  // A device that says it stops is unavailable at once.
  SendToNode(heartbeat("xap-hbeat.stop", "acme.sensor.den"));
  ASSERT_TRUE(ha.WaitFor("xap/bsc/acme.sensor.den/availability", 2000, "offline"));
}

}  // namespace
}  // namespace sablewick::testing
