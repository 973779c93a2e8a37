// What the daemon says on the terminal: its options, the start-up line, a copy of every log
// line, and a start-up failure in words.
#include <signal.h>

#include "tests/daemon/DaemonFixture.h"

namespace sablewick {
namespace {

using testing::Daemon;
using testing::DaemonTest;

TEST_F(DaemonTest, OptionsAreAnsweredAndAnythingElseIsRefusedBeforeTheNodeStarts) {
  struct Case {
    std::vector<std::string> args;
    int exit;
    const char* out;  // expected at the start of stdout, or "" for none
    const char* err;  // expected somewhere in stderr, or "" for none
  };
  const std::string version = "sablewick " SABLEWICK_VERSION "\n";
  const Case cases[] = {
      {{"--help"}, 0, "Usage: sablewick", ""},
      {{"-h"}, 0, "Usage: sablewick", ""},
      {{"--version"}, 0, version.c_str(), ""},
      {{"--verison"}, 2, "", "unknown option '--verison'\nUsage: sablewick"},
      {{"start"}, 2, "", "unknown option 'start'"},
      {{"--help", "extra"}, 2, "", "Usage: sablewick"},
      {{"--folder"}, 2, "", "--folder takes one folder, once"},
      {{"--folder", "a", "--folder", "b"}, 2, "", "--folder takes one folder, once"},
  };
  for (const Case& c : cases) {
    daemon = std::make_unique<Daemon>();
    daemon->Start(c.args);
    EXPECT_EQ(daemon->WaitExit(), c.exit) << c.args[0];
    EXPECT_EQ(daemon->Stdout().rfind(c.out, 0), 0u) << c.args[0] << ": " << daemon->Stdout();
    if (*c.out == '\0') EXPECT_EQ(daemon->Stdout(), "");
    EXPECT_NE(daemon->Stderr().find(c.err), std::string::npos) << daemon->Stderr();
    EXPECT_FALSE(std::filesystem::exists(daemon->Root() + "/Data")) << "it started";
  }
  EXPECT_FALSE(hub.Receive(300)) << "nothing may be sent";
}

TEST_F(DaemonTest, StartUpSaysWhatAndWhereOnStandardErrorAndEveryLogLineFollows) {
  StartAndGreet();
  // Something for the log: a script that cannot be started.
  const std::string root = daemon->Root();
  testing::WriteFile(root + "/s.vbs", "Set hs = CreateObject(\"Sablewick.Application\")\n"
                                      "hs.SelectXapMessage \"\", \"\", \"\", \"\", \"nope.vbs\"\n");
  ASSERT_EQ(daemon->RunScript(root + "/s.vbs"), 0);
  daemon->Signal(SIGTERM);
  ASSERT_EQ(daemon->WaitExit(), 0);
  const std::string err = daemon->Stderr();
  const std::string first = err.substr(0, err.find('\n'));
  const std::vector<std::string> parts = {
      "sablewick " SABLEWICK_VERSION ": ", "source Orbel.Script." + testing::HostName(),
      "UID FF00E800", "receive port 32768", "broadcast 127.0.0.1", "interface 127.0.0.2",
      "Config " + root + "/Config", "Data " + root + "/Data", "Scripts " + root + "/Scripts",
      "log " + root + "/Data/Sablewick.txt", ", program " + root + "/sablewick;",
      // How to reach it and what to do next.
      "; control unix:path=" + daemon->RuntimeDir() + "/sablewick/bus. Next: " + root +
          "/sablewick-ctl status; the log: tail -f " + root + "/Data/Sablewick.txt"};
  for (const std::string& part : parts) {
    EXPECT_NE(first.find(part), std::string::npos) << part << "\n" << first;
  }
  // Each log line, without its step number, description and CR LF, is a line of stderr.
  const std::string log = daemon->Log();
  ASSERT_NE(log, "");
  for (size_t at = 0, nl; (nl = log.find("\r\n", at)) != std::string::npos; at = nl + 2) {
    const std::string line = log.substr(at, nl - at);
    const std::string head = line.substr(0, line.rfind(" 0 "));
    EXPECT_NE(err.find(head), std::string::npos) << line << "\n" << err;
  }
  EXPECT_EQ(err.find(" 0 \n"), std::string::npos) << "no trailing fields: " << err;
  // Without a desktop session, said plainly once.
  EXPECT_NE(err.find("| Sablewick no desktop session: no tray icon\n"), std::string::npos) << err;
  EXPECT_EQ(err.find("D-Bus"), std::string::npos) << err;
  EXPECT_EQ(err.find("session bus"), std::string::npos) << err;
}

TEST_F(DaemonTest, AStartUpFailureIsSaidInWordsOnStandardError) {
  // The send socket would take the receive socket's address and port.
  daemon = std::make_unique<Daemon>(
      "[Interface]\nBroadcastAddress=127.0.0.1\nInterfaceAddress=127.0.0.1\n");
  daemon->Start();
  EXPECT_EQ(daemon->WaitExit(), 1);
  EXPECT_NE(daemon->Log().find("xAP Init Error "), std::string::npos) << daemon->Log();
  EXPECT_NE(daemon->Stderr().find("sablewick: cannot start: cannot bind the sending socket "
                                  "127.0.0.1:32768: Address already in use; set "
                                  "InterfaceAddress in Config/Drumlin.ini"),
            std::string::npos)
      << daemon->Stderr();
}

// A node that cannot serve its scripting object at all says so, in the log and on the
// terminal, and so does the start-up script it does not start.
TEST_F(DaemonTest, ANodeWithoutItsScriptingObjectSaysSo) {
  daemon->environment.emplace_back("XDG_RUNTIME_DIR", daemon->Root() + "/no/such/folder");
  testing::WriteFile(daemon->Root() + "/Scripts/Startup.vbs", "WScript.Echo 1\n");
  daemon->Start();
  ASSERT_TRUE(hub.Receive()) << "no heartbeat";
  daemon->StartUpLine();  // waits for it
  EXPECT_NE(daemon->Stderr().find("; control none (no scripting object: see the log). Next: "),
            std::string::npos)
      << daemon->Stderr();
  // The start-up script's turn comes a moment later.
  for (int i = 0; i < 300 && daemon->Stderr().find("Startup.vbs not started") == std::string::npos;
       ++i)
    ::usleep(10000);
  for (const std::string& said :
       {std::string("ObjectServer: no private socket (cannot create ") + daemon->Root() +
            "/no/such/folder/sablewick: No such file or directory; cannot make a folder of its "
            "own either",
        std::string("this node runs without its scripting object; scripts, Startup.vbs among "
                    "them, and sablewick-ctl cannot reach it"),
        std::string("Startup.vbs not started: the object server is not up")}) {
    EXPECT_NE(daemon->Log().find(said), std::string::npos) << said << "\n" << daemon->Log();
    EXPECT_NE(daemon->Stderr().find(said), std::string::npos) << said << "\n" << daemon->Stderr();
  }
  daemon->Signal(SIGTERM);
  EXPECT_EQ(daemon->WaitExit(), 0);
}

// Another program (another user's, say) holding the sending socket's address on the first
// receive port, or either address on a later one, only moves the node to the next port where
// both sockets bind.
TEST_F(DaemonTest, APortHeldOnEitherAddressMovesTheSearchOn) {
  struct Case {
    std::vector<std::pair<const char*, int>> held;  // address, port
    int port;                                       // the one the node takes
  };
  const Case cases[] = {
      {{{"127.0.0.2", 32768}}, 32769},
      {{{"127.0.0.1", 32768}, {"127.0.0.2", 32769}}, 32770},
      {{{"127.0.0.2", 32768}, {"127.0.0.1", 32769}, {"127.0.0.2", 32770}}, 32771},
      {{{"0.0.0.0", 32768}}, 32769},
  };
  for (const Case& c : cases) {
    std::vector<std::unique_ptr<testing::UdpSocket>> held;
    for (const auto& [address, number] : c.held) {
      held.push_back(std::make_unique<testing::UdpSocket>(number, address));
      ASSERT_TRUE(held.back()->Bound()) << address << ":" << number;
    }
    daemon = std::make_unique<Daemon>();
    StartAndGreet(c.port);
    // Its receive socket answers on that port.
    hub.SendTo(c.port, Query("class=Homeseer.Role\n", "Role.Query\n{\nRole=ANY\n}\n"));
    EXPECT_TRUE(hub.ReceiveMessage(3000)) << "no answer on port " << c.port;
    daemon->Signal(SIGTERM);
    EXPECT_EQ(daemon->WaitExit(), 0);
  }
}

// With no port left, the node says what it tried and what held it back.
TEST_F(DaemonTest, NoPortLeftIsSaidWithWhatWasTried) {
  std::vector<std::unique_ptr<testing::UdpSocket>> held;
  for (int i = 0; i < 200; ++i) {
    held.push_back(std::make_unique<testing::UdpSocket>(32768 + i, "127.0.0.2"));
    ASSERT_TRUE(held.back()->Bound()) << 32768 + i;
  }
  held.push_back(std::make_unique<testing::UdpSocket>(32768, "127.0.0.1"));
  ASSERT_TRUE(held.back()->Bound());
  daemon->Start();
  EXPECT_EQ(daemon->WaitExit(), 1);
  EXPECT_NE(daemon->Stderr().find("sablewick: cannot start: no port from 32768 to 32967 where "
                                  "both sockets bind: the receiving socket's 127.0.0.1 was taken "
                                  "on 1 of them, the sending socket's 127.0.0.2 on 199"),
            std::string::npos)
      << daemon->Stderr();
  EXPECT_EQ(daemon->Stderr().find("InterfaceAddress"), std::string::npos) << daemon->Stderr();
}

// A log file the node cannot write is said on the terminal at start; the node runs on.
TEST_F(DaemonTest, ALogFileThatCannotBeWrittenIsSaidAtStart) {
  std::filesystem::create_directories(daemon->Root() + "/Data/Sablewick.txt");  // not a file
  StartAndGreet();
  daemon->Signal(SIGTERM);
  ASSERT_EQ(daemon->WaitExit(), 0);
  EXPECT_NE(daemon->Stderr().find("sablewick: cannot write the log file " + daemon->Root() +
                                  "/Data/Sablewick.txt (Is a directory): log lines go to "
                                  "standard error only\n"),
            std::string::npos)
      << daemon->Stderr();
}

// Mistakes in the settings are said at start, as `sablewick-ctl check` says them, and the node
// starts all the same.
TEST_F(DaemonTest, SettingsMistakesAreWarnedAtStart) {
  daemon = std::make_unique<Daemon>(
      "[Interface]\nBroadcastAddress=127.0.0.1\nInterfaceAddress=127.0.0.2\n"
      "BroadcastAdress=127.0.0.9\n",
      "[General]\nUID=12345\n[MQTT]\nBroker=\nPrefix=home ; the topic root\nClientId=me\n"
      "[Scripts]\nMaxRunSecs=5\n");
  StartAndGreet(32768, "12345");
  const std::string log = daemon->Log();
  for (const std::string& said :
       {std::string("| Sablewick Warning: Config/Drumlin.ini line 4: unknown key "
                    "\"BroadcastAdress\" in [Interface]: did you mean BroadcastAddress?"),
        std::string("| Sablewick Warning: Config/Sablewick.ini line 2: UID \"12345\" is not 8 "
                    "hex digits"),
        std::string("| Sablewick Warning: Config/Sablewick.ini line 5: Prefix holds \"; the topic "
                    "root\": the node takes everything after '=' as the value"),
        std::string("| Sablewick Warning: Config/Sablewick.ini line 8: unknown key "
                    "\"MaxRunSecs\" in [Scripts]: did you mean MaxRunSeconds?")}) {
    EXPECT_NE(log.find(said), std::string::npos) << said << "\n" << log;
  }
  // The bridge's keys are known, an empty Broker is the bridge switched off.
  EXPECT_EQ(log.find("Broker"), std::string::npos) << log;
  EXPECT_EQ(log.find("ClientId"), std::string::npos) << log;
  size_t warnings = 0;
  for (size_t at = 0; (at = log.find("| Sablewick Warning: ", at)) != std::string::npos; ++at)
    ++warnings;
  EXPECT_EQ(warnings, 4u) << log;
}

TEST_F(DaemonTest, ALoopbackInterfaceAddressThatNoInterfaceListsIsTakenAsItStands) {
  // Only 127.0.0.1 and 127.0.0.2 are listed on loopback here; 127.0.0.4 is local all the same (and as a pattern fits neither).
  daemon = std::make_unique<Daemon>(
      "[Interface]\nBroadcastAddress=127.0.0.1\nInterfaceAddress=127.0.0.4\n");
  StartAndGreet();
  const std::string line = daemon->StartUpLine();
  EXPECT_NE(line.find("interface 127.0.0.4;"), std::string::npos) << line;
}

TEST_F(DaemonTest, AFolderGivenOnTheCommandLineOrInTheEnvironmentHoldsTheNodesFiles) {
  for (const bool byOption : {true, false}) {
    daemon = std::make_unique<Daemon>();
    const std::string root = daemon->Root();
    const std::string folder = root + "/../mine/deep";
    const std::string canonical = std::filesystem::path(folder).lexically_normal().string();
    testing::WriteFile(canonical + "/Config/Drumlin.ini",
                       "[Interface]\nBroadcastAddress=127.0.0.1\nInterfaceAddress=127.0.0.2\n");
    if (byOption) {
      daemon->Start({"--folder", folder});
    } else {
      daemon->environment = {{"SABLEWICK_FOLDER", folder}};
      daemon->Start();
    }
    ASSERT_TRUE(hub.Receive()) << "no heartbeat: " << daemon->Stderr();
    // Scripts build their paths on GetAppPath: the folder of the files, not of the program.
    const std::string bus = daemon->RuntimeDir() + "/sablewick/bus";
    for (int i = 0; i < 500 && !std::filesystem::exists(bus); ++i) ::usleep(10000);
    testing::WriteFile(root + "/path.vbs",
                       "Set hs = CreateObject(\"Sablewick.Application\")\n"
                       "If hs.GetAppPath = \"" + canonical + "\" Then WScript.Quit 0\n"
                       "WScript.Quit 3\n");
    EXPECT_EQ(daemon->RunScript(root + "/path.vbs"), 0) << "GetAppPath is not " << canonical;
    daemon->Signal(SIGTERM);
    ASSERT_EQ(daemon->WaitExit(), 0);
    const std::string err = daemon->Stderr();
    for (const std::string& part :
         {"Config " + canonical + "/Config,", "Scripts " + canonical + "/Scripts,",
          "log " + canonical + "/Data/Sablewick.txt,", "program " + root + "/sablewick;",
          "Next: " + root + "/sablewick-ctl status;"})
      EXPECT_NE(err.find(part), std::string::npos) << part << "\n" << err;
    EXPECT_TRUE(std::filesystem::is_directory(canonical + "/Scripts"));
    EXPECT_NE(testing::ReadFile(canonical + "/Data/Sablewick.txt"), "");
    EXPECT_FALSE(std::filesystem::exists(root + "/Data")) << "the program's folder was used";
    std::filesystem::remove_all(canonical);
    while (hub.Receive(100)) {
    }
  }
  // A folder that cannot be made stops the node before it sends anything.
  daemon = std::make_unique<Daemon>();
  testing::WriteFile(daemon->Root() + "/file", "x");
  daemon->Start({"--folder=" + daemon->Root() + "/file/f"});
  EXPECT_EQ(daemon->WaitExit(), 1);
  EXPECT_NE(daemon->Stderr().find("sablewick: cannot start: cannot use folder " +
                                  daemon->Root() + "/file/f: " + daemon->Root() +
                                  "/file is a file (chosen by --folder)"),
            std::string::npos)
      << daemon->Stderr();
  EXPECT_FALSE(hub.Receive(300)) << "nothing may be sent";
}

}  // namespace
}  // namespace sablewick
