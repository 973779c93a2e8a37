// The reload, by `sablewick-ctl reload` and by SIGHUP: the settings read again and each change
// said, the subscriptions removed, the start-up script run again (its previous run ended first
// when it still runs), and the node running on.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include "tests/ctl/CtlHarness.h"
#include "tests/daemon/DaemonFixture.h"

namespace sablewick {
namespace {

using testing::CtlResult;
using testing::DaemonTest;
using testing::Parse;
using testing::RunCtl;
using testing::WriteFile;

// A start-up script: one subscription to `cls` with `handler`, and a datagram saying `word`
// once it is made; `hold` keeps it running afterwards.
std::string StartupScript(const std::string& cls, const std::string& handler,
                          const std::string& word, bool hold = false) {
  return "Set hs = CreateObject(\"Sablewick.Application\")\n"
         "hs.SelectXapMessage \"\", \"" +
         cls + "\", \"\", \"\", \"" + handler +
         "\"\n"
         "hs.SendUDPMessage \"" +
         word + "\"\n" + (hold ? "WScript.Sleep 600000\n" : "");
}

class Reload : public DaemonTest {
 protected:
  void Startup(const std::string& text) {
    WriteFile(daemon->Root() + "/Scripts/Startup.vbs", text);
  }
  void Settings(const std::string& sablewick, const std::string& drumlin = "") {
    WriteFile(daemon->Root() + "/Config/Sablewick.ini", sablewick);
    if (!drumlin.empty()) WriteFile(daemon->Root() + "/Config/Drumlin.ini", drumlin);
  }
  // Waits for a datagram holding exactly `word` (the start-up script's sign of life).
  bool Heard(const std::string& word, int timeoutMs = 8000) {
    for (int i = 0; i < 50; ++i) {
      const auto d = hub.ReceiveMessage(timeoutMs);
      if (!d) return false;
      if (*d == word) return true;
    }
    return false;
  }
  bool LogShows(const std::string& text, int timeoutMs = 8000) {
    for (int waited = 0; waited <= timeoutMs; waited += 20) {
      if (daemon->Log().find(text) != std::string::npos) return true;
      ::usleep(20000);
    }
    return false;
  }
  size_t Count(const std::string& text) const {
    const std::string log = daemon->Log();
    size_t n = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
    return n;
  }
  // The subscriptions as `sablewick-ctl --json subscriptions` lists them.
  std::string Subscriptions() {
    const CtlResult r = RunCtl(daemon->RuntimeDir(), {"--json", "subscriptions"});
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
  }
  bool StillRuns() {
    int status = 0;
    return ::waitpid(daemon->Pid(), &status, WNOHANG) == 0 &&
           RunCtl(daemon->RuntimeDir(), {"status"}).status == 0;
  }
};

size_t Occurrences(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

TEST_F(Reload, CtlReloadAppliesSettingsSaysWhatChangedAndRunsTheStartupScriptAgain) {
  Settings("[Scripts]\nMaxRunSeconds=0\n[Log]\nFiles=3\n");
  Startup(StartupScript("Old.Class", "old.vbs", "startup one"));
  StartAndGreet();
  ASSERT_TRUE(Heard("startup one"));
  ASSERT_TRUE(LogShows("Started Startup.vbs["));
  // At start: the one line that says when the start-up script runs, with its path.
  EXPECT_TRUE(LogShows("the start-up script " + daemon->Root() +
                       "/Scripts/Startup.vbs runs at "
                       "every start and at every reload (sablewick-ctl reload or SIGHUP)"));
  ASSERT_NE(Subscriptions().find("\"class\":\"old.class\""), std::string::npos);

  // New settings (one live, one read at start only, one misspelled) and a new start-up script.
  Settings("[Scripts]\nMaxRunSeconds=1\n[Log]\nFiles=3\nFilez=4\n",
           "[Interface]\nBroadcastAddress=127.255.255.255\nInterfaceAddress=127.0.0.2\n");
  Startup(StartupScript("New.Class", "new.vbs", "startup two"));
  const CtlResult r = RunCtl(daemon->RuntimeDir(), {"reload"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const std::vector<std::string> expected = {
      "[Scripts] MaxRunSeconds: \"0\" -> \"1\" (applies to runs started from now on)",
      "[Interface] BroadcastAddress: \"127.0.0.1\" -> \"127.255.255.255\" (ignored until the "
      "node restarts: the transport is bound with it)",
      "Warning: Config/Sablewick.ini line 5: ",
      "Filez",
      "Reload (sablewick-ctl reload) done: 2 setting(s) changed ([Interface] BroadcastAddress, "
      "[Scripts] MaxRunSeconds), 1 of them ignored until the node restarts; 1 settings "
      "problem(s); MQTT bridge off; 1 subscription(s) removed; start-up script: started again, " +
          daemon->Root() + "/Scripts/Startup.vbs[",
  };
  for (const std::string& line : expected) {
    EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n--- printed ---\n" << r.out;
    // The log holds the same lines.
    EXPECT_TRUE(LogShows(line, 100)) << line;
  }
  EXPECT_EQ(Occurrences(r.out, "\n"), 4u) << "two changes, one problem, the summary:\n" << r.out;

  ASSERT_TRUE(Heard("startup two"));
  // Only the new run's subscription (it may take a moment after its datagram).
  std::string subs;
  for (int i = 0; i < 100; ++i) {
    subs = Subscriptions();
    if (subs.find("new.class") != std::string::npos) break;
    ::usleep(50000);
  }
  EXPECT_EQ(subs.find("old.class"), std::string::npos) << subs;
  EXPECT_EQ(Occurrences(subs, "\"position\""), 1u) << subs;
  EXPECT_NE(subs.find("\"class\":\"new.class\""), std::string::npos) << subs;
  EXPECT_NE(subs.find("new.vbs"), std::string::npos) << subs;

  // The new limit holds for the runs that start now: the new handler is ended at 1 s.
  WriteFile(daemon->Root() + "/Scripts/new.vbs", "WScript.Sleep 20000\n");
  hub.SendTo(port, Query("class=New.Class\n", "Body\n{\nx=1\n}\n"));
  EXPECT_TRUE(LogShows("new.vbs")) << "the handler did not start";
  std::string runs;
  for (int i = 0; i < 100 && runs.find("(time limit)") == std::string::npos; ++i) {
    ::usleep(100000);
    runs = RunCtl(daemon->RuntimeDir(), {"--json", "runs"}).out;
  }
  EXPECT_NE(runs.find("(time limit)"), std::string::npos) << runs;

  // Nothing changed since: said so, in JSON too; the subscription made again is removed again.
  const CtlResult again = RunCtl(daemon->RuntimeDir(), {"--json", "reload"});
  ASSERT_EQ(again.status, 0) << again.err;
  EXPECT_NE(again.out.find("\"changes\":[]"), std::string::npos) << again.out;
  EXPECT_NE(again.out.find("\"subscriptions_removed\":1"), std::string::npos) << again.out;
  EXPECT_NE(again.out.find("no setting changed"), std::string::npos) << again.out;
  EXPECT_TRUE(Heard("startup two"));
  EXPECT_TRUE(StillRuns());
}

TEST_F(Reload, SighupEndsAStartupScriptStillRunningAndTheNodeRunsOn) {
  Settings("[Log]\nMaxFileKB=5120\n");
  // The first start-up script never ends by itself.
  Startup(StartupScript("Old.Class", "old.vbs", "startup one", /*hold=*/true));
  StartAndGreet();
  ASSERT_TRUE(Heard("startup one"));

  Settings("[Log]\nMaxFileKB=4096\n");
  Startup(StartupScript("New.Class", "new.vbs", "startup two"));
  // Several at once: the reloads that find the old run still ending join the first one.
  for (int i = 0; i < 3; ++i) daemon->Signal(SIGHUP);
  ASSERT_TRUE(LogShows("Reload (SIGHUP) done: 1 setting(s) changed ([Log] MaxFileKB)"));
  EXPECT_TRUE(LogShows("Reload: [Log] MaxFileKB: \"5120\" -> \"4096\" (applies now)"));
  EXPECT_TRUE(LogShows("start-up script: its previous run ["));
  ASSERT_TRUE(Heard("startup two"));
  // The held run was ended by the reload, within the grace before SIGKILL.
  const CtlResult runs = RunCtl(daemon->RuntimeDir(), {"--json", "runs"});
  EXPECT_NE(runs.out.find("\"outcome\":\"signal 15"), std::string::npos) << runs.out;

  // A storm of hang-ups stays bounded: the node answers and one subscription stays.
  for (int i = 0; i < 20; ++i) daemon->Signal(SIGHUP);
  ::usleep(300000);
  ASSERT_TRUE(StillRuns()) << "SIGHUP must not stop the node";
  std::string subs;
  for (int i = 0; i < 100; ++i) {
    subs = Subscriptions();
    if (subs.find("new.class") != std::string::npos && Count("Reload (SIGHUP) done") >= 2) break;
    ::usleep(50000);
  }
  EXPECT_EQ(Occurrences(subs, "\"position\""), 1u) << subs;
  EXPECT_NE(subs.find("new.class"), std::string::npos) << subs;
  EXPECT_EQ(subs.find("old.class"), std::string::npos) << subs;

  daemon->Signal(SIGTERM);
  EXPECT_EQ(daemon->WaitExit(10000), 0);
}

// The UID: what the node sends from now on carries the new one; the summary says the
// heartbeats keep the old one until a restart.
TEST_F(Reload, ANewUidIsUsedForMessagesAndSaidToWaitForTheHeartbeats) {
  Settings("[General]\nUID=FF00E800\n");
  StartAndGreet();
  Settings("[General]\nUID=FF00E900\n");
  const CtlResult r = RunCtl(daemon->RuntimeDir(), {"reload"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("[General] UID: \"FF00E800\" -> \"FF00E900\" (messages the node and its "
                       "scripts send carry it now; its heartbeats keep the UID the transport "
                       "started with until the node restarts)"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("1 of them ignored until the node restarts"), std::string::npos) << r.out;
  ASSERT_EQ(RunCtl(daemon->RuntimeDir(), {"send", "-", "Test.Uid", "Body", "x=1"}).status, 0);
  std::optional<XapMessage> sent;
  for (int i = 0; i < 20 && !sent; ++i) {
    const auto d = hub.ReceiveMessage(3000);
    if (!d) break;
    if (Parse(*d).CompareClass("Test.Uid")) sent = Parse(*d);
  }
  ASSERT_TRUE(sent) << "the message was not sent";
  EXPECT_EQ(std::string(sent->MsgUID.view()), "FF00E900");
  const CtlResult status = RunCtl(daemon->RuntimeDir(), {"--json", "status"});
  EXPECT_NE(status.out.find("\"uid\":\"FF00E800\""), std::string::npos) << status.out;
}

// A settings file that cannot be read changes nothing: the settings in force stay, and the
// rest of the reload (subscriptions, start-up script) goes on.
TEST_F(Reload, ASettingsFileThatCannotBeReadKeepsTheSettingsInForce) {
  Settings("[Scripts]\nMaxRunSeconds=7\n");
  Startup(StartupScript("Old.Class", "old.vbs", "startup one"));
  StartAndGreet();
  ASSERT_TRUE(Heard("startup one"));
  const std::string ini = daemon->Root() + "/Config/Sablewick.ini";
  ASSERT_EQ(::unlink(ini.c_str()), 0);
  ASSERT_EQ(::mkdir(ini.c_str(), 0700), 0);
  const CtlResult r = RunCtl(daemon->RuntimeDir(), {"reload"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("Warning: Config/Sablewick.ini cannot be read ("), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("its settings stay as they are"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("done: no setting changed"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("1 subscription(s) removed"), std::string::npos) << r.out;
  EXPECT_TRUE(Heard("startup one"));

  // Back as it was: still nothing changed against the settings in force.
  ASSERT_EQ(::rmdir(ini.c_str()), 0);
  Settings("[Scripts]\nMaxRunSeconds=7\n");
  const CtlResult again = RunCtl(daemon->RuntimeDir(), {"reload"});
  EXPECT_NE(again.out.find("done: no setting changed; 0 settings problem(s)"), std::string::npos)
      << again.out;
  EXPECT_TRUE(StillRuns());
}

}  // namespace
}  // namespace sablewick
