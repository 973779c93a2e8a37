// The node under faults and hostile peers: settings files that are not files, start failures,
// bursts the kernel drops, children that outlive their handler, output that would fill the
// disk, clients that never read.
#include <signal.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <sstream>
#include <vector>

#include "tests/daemon/DaemonFixture.h"

namespace sablewick {
namespace {

using testing::Daemon;
using testing::DaemonTest;
using testing::ReadFile;
using testing::ToLowerForTest;
using testing::WriteFile;

// Whatever stands where a settings file should be, the node does not block, does not abort,
// and says which file is wrong and how, with exit status 1.
TEST_F(DaemonTest, ASettingsFileThatIsNoFileStopsTheStartInWords) {
  struct Case {
    const char* what;
    std::function<void(const std::string& config)> make;
    std::string said;
  };
  const Case cases[] = {
      {"Drumlin.ini a folder",
       [](const std::string& c) {
         ::unlink((c + "/Drumlin.ini").c_str());
         ::mkdir((c + "/Drumlin.ini").c_str(), 0755);
       },
       "/Config/Drumlin.ini is a folder, not a settings file"},
      {"Sablewick.ini a FIFO",
       [](const std::string& c) { ::mkfifo((c + "/Sablewick.ini").c_str(), 0644); },
       "/Config/Sablewick.ini is a FIFO, not a settings file"},
      // Where creating the missing file fails (a link to nowhere here; a read-only Config/ for
      // a user other than root).
      {"Sablewick.ini a dangling link",
       [](const std::string& c) {
         (void)!::symlink("/nonexistent/Sablewick.ini", (c + "/Sablewick.ini").c_str());
       },
       "/Config/Sablewick.ini is a symbolic link to a file that cannot be reached"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    daemon = std::make_unique<Daemon>();
    c.make(daemon->Root() + "/Config");
    daemon->Start();
    const int status = daemon->WaitExit(10000);
    EXPECT_EQ(status, 1);
    const std::string err = daemon->Stderr();
    EXPECT_NE(err.find("sablewick: cannot start: " + daemon->Root() + c.said), std::string::npos)
        << err;
    EXPECT_EQ(err.find("terminate called"), std::string::npos) << err;
    if (status < 0) daemon->Signal(SIGKILL);
  }
}

// Waits for the first datagram of the class within the time; nullopt when none came.
std::optional<XapMessage> AwaitClass(testing::UdpSocket& hub, const std::string& cls,
                                     int timeoutMs = 10000) {
  for (int i = 0; i < 200; ++i) {
    auto d = hub.ReceiveMessage(timeoutMs);
    if (!d) return std::nullopt;
    XapMessage m = testing::Parse(*d);
    if (m.MsgClass == cls) return m;
  }
  return std::nullopt;
}

// What a script asked for and did not get is its error, not an Empty with Err 0: a message
// larger than a datagram, in-process runs that fail (out of stack, an invalid pattern, a file
// that does not compile), a section name that is no valid pattern.
TEST_F(DaemonTest, FailuresReachTheCallingScriptWithNumberAndText) {
  WriteFile(daemon->Root() + "/Scripts/Deep.vbs", "Sub Main\n  Main\nEnd Sub\n");
  WriteFile(daemon->Root() + "/Scripts/Pattern.vbs",
            "Function Main(p)\n  Set r = New RegExp\n  r.Pattern = \"(\"\n"
            "  Main = r.Test(\"x\")\nEnd Function\n");
  WriteFile(daemon->Root() + "/Scripts/Broken.vbs", "Sub Main(\n");
  WriteFile(daemon->Root() + "/Scripts/Good.vbs", "Function Main(p)\n  Main = p & \"!\"\nEnd Function\n");
  const std::string caller = daemon->Root() + "/caller.vbs";
  WriteFile(caller,
            "Set hs = CreateObject(\"Sablewick.Application\")\n"
            "On Error Resume Next\n"
            "Function Said()\n"
            "  Said = Err.Number & \" \" & Err.Description\n"
            "  Err.Clear\n"
            "End Function\n"
            "hs.SendXapMessage \"\", \"test.big\", \"Body\", \"v\" & Chr(1) & String(100000, \"x\"), \"\", \"\", \"\"\n"
            "big = Said()\n"
            "r = hs.Runex(\"Deep.vbs\", \"Main\", \"\")\n"
            "deep = Said()\n"
            "r = hs.Runex(\"Pattern.vbs\", \"Main\", \"a\")\n"
            "pattern = Said()\n"
            "hs.Run \"Broken.vbs\"\n"
            "broken = Said()\n"
            "good = hs.Runex(\"Good.vbs\", \"Main\", \"fine\") & \" \" & Said()\n"
            "section = hs.GetINISection(\"(\", \"Sablewick.ini\")\n"
            "section = Said()\n"
            "hs.SendXapMessage \"\", \"test.result\", \"Result\", \"big\" & Chr(1) & big & Chr(0) & "
            "\"deep\" & Chr(1) & deep & Chr(0) & \"pattern\" & Chr(1) & pattern & Chr(0) & "
            "\"broken\" & Chr(1) & broken & Chr(0) & \"good\" & Chr(1) & good & Chr(0) & "
            "\"section\" & Chr(1) & section, \"\", \"\", \"\"\n");
  StartAndGreet();
  ASSERT_EQ(daemon->RunScript(caller, {}, 60000), 0);
  auto result = AwaitClass(hub, "test.result");
  ASSERT_TRUE(result) << "no result";
  EXPECT_EQ(result->GetItem("Result", "big").rfind("90 ", 0), 0u) << result->GetItem("Result", "big");
  EXPECT_NE(result->GetItem("Result", "big").find("too long"), std::string::npos);
  EXPECT_EQ(result->GetItem("Result", "deep").rfind("28 ", 0), 0u) << result->GetItem("Result", "deep");
  const std::string pattern = result->GetItem("Result", "pattern");
  EXPECT_TRUE(pattern.rfind("5017 ", 0) == 0 || pattern.rfind("5020 ", 0) == 0) << pattern;
  EXPECT_NE(result->GetItem("Result", "broken").rfind("0 ", 0), 0u)
      << result->GetItem("Result", "broken");
  EXPECT_NE(result->GetItem("Result", "broken").find("Broken.vbs"), std::string::npos)
      << result->GetItem("Result", "broken");
  EXPECT_EQ(result->GetItem("Result", "good"), "fine! 0 ");
  EXPECT_NE(result->GetItem("Result", "section").rfind("0 ", 0), 0u)
      << result->GetItem("Result", "section");
}

// Processes whose command line is exactly `sleep <seconds>` (the test's own unique figure).
std::vector<pid_t> Sleepers(const std::string& seconds) {
  std::vector<pid_t> out;
  const std::string wanted = std::string("sleep") + '\0' + seconds + '\0';
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    if (ReadFile(entry.path().string() + "/cmdline") == wanted)
      out.push_back(static_cast<pid_t>(std::stol(name)));
  }
  return out;
}

// The children of pid that have ended and wait to be reaped.
int Zombies(pid_t parent) {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string stat = ReadFile(entry.path().string() + "/stat");
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) continue;
    char state = 0;
    long ppid = 0;
    if (std::sscanf(stat.c_str() + close + 1, " %c %ld", &state, &ppid) == 2 && state == 'Z' &&
        ppid == parent)
      ++count;
  }
  return count;
}

bool WaitUntil(const std::function<bool()>& done, int timeoutMs) {
  for (int waited = 0; waited < timeoutMs; waited += 50) {
    if (done()) return true;
    ::usleep(50000);
  }
  return done();
}

// A handler's background children end with it; what escaped its process group into a session
// of its own still belongs to the node, which ends it at shutdown; nothing is left a zombie.
TEST_F(DaemonTest, WhatAHandlerLeavesBehindEndsWithItAndWithTheNode) {
  const std::string escaped =
      std::to_string(300 + ::getpid() % 100) + "." + std::to_string(::getpid());
  const std::string pids = daemon->Root() + "/pids";
  const std::string handler = daemon->Root() + "/Scripts/leave.sh";
  WriteFile(handler, "#!/bin/sh\nfor i in 1 2 3 4 5; do sleep 300 & echo $! >> '" + pids +
                         "'; done\nsetsid sleep " + escaped + " &\nsetsid sleep " + escaped +
                         " &\nsleep 0.2\nexit 0\n");
  ::chmod(handler.c_str(), 0755);
  WriteFile(daemon->Root() + "/Scripts/Startup.vbs",
            "Set hs = CreateObject(\"Sablewick.Application\")\n"
            "hs.SelectXapMessage \"\", \"xAPBSC.event\", \"\", \"\", \"leave.sh\"\n");
  const std::string unsubscribe = daemon->Root() + "/unsubscribe.vbs";
  WriteFile(unsubscribe, "Set hs = CreateObject(\"Sablewick.Application\")\n"
                         "hs.DeSelectXapMessage \"\", \"xapbsc.event\", \"\", \"\", \"" +
                             ToLowerForTest(handler) + "\"\n");
  StartAndGreet();
  ASSERT_TRUE(WaitUntil(
      [&] { return daemon->Log().find("Started Startup.vbs") != std::string::npos; }, 5000));
  ::usleep(500000);
  hub.SendTo(port, Query("class=xAPBSC.event\n", "Lamp\n{\nstate=on\n}\n"));
  // The handler fetches nothing, so it would be started again and again: one run is enough.
  ASSERT_TRUE(WaitUntil([&] { return Sleepers(escaped).size() >= 2; }, 5000))
      << "the handler did not run\n" << daemon->Log();
  ASSERT_EQ(daemon->RunScript(unsubscribe), 0);

  auto inGroup = [&] {
    size_t alive = 0;
    std::istringstream list(ReadFile(pids));
    for (long pid; list >> pid;)
      if (ReadFile("/proc/" + std::to_string(pid) + "/cmdline") == std::string("sleep\0" "300\0", 10))
        ++alive;
    return alive;
  };
  EXPECT_TRUE(WaitUntil([&] { return inGroup() == 0; }, 8000))
      << inGroup() << " children of the ended run are still there";
  EXPECT_TRUE(WaitUntil([&] { return Zombies(daemon->Pid()) == 0; }, 5000))
      << Zombies(daemon->Pid()) << " zombies of the node";
  EXPECT_GE(Sleepers(escaped).size(), 2u) << "only the run's group ends with the run";

  daemon->Signal(SIGTERM);
  EXPECT_EQ(daemon->WaitExit(20000), 0);
  EXPECT_TRUE(WaitUntil([&] { return Sleepers(escaped).empty(); }, 3000))
      << Sleepers(escaped).size() << " escaped children outlived the node";
  for (pid_t pid : Sleepers(escaped)) ::kill(pid, SIGKILL);
}

// Starts `handler` once for a lamp through a subscription Startup.vbs makes, and unsubscribes
// it after its first run (it fetches nothing, so it would be started again).
void RunHandlerOnce(DaemonTest& test, Daemon& daemon, testing::UdpSocket& hub, int port,
                    const std::string& handler, const std::string& body) {
  const std::string path = daemon.Root() + "/Scripts/" + handler;
  WriteFile(path, body);
  ::chmod(path.c_str(), 0755);
  WriteFile(daemon.Root() + "/Scripts/Startup.vbs",
            "Set hs = CreateObject(\"Sablewick.Application\")\n"
            "hs.SelectXapMessage \"\", \"xAPBSC.event\", \"\", \"\", \"" + handler + "\"\n");
  (void)test;
  ASSERT_TRUE(WaitUntil(
      [&] { return daemon.Log().find("Started Startup.vbs") != std::string::npos; }, 5000));
  ::usleep(500000);
  hub.SendTo(port, "xap-header\n{\nv=12\nhop=1\nuid=FF123400\nsource=acme.lamp.hall\n"
                   "class=xAPBSC.event\n}\nLamp\n{\nstate=on\n}\n");
  ASSERT_TRUE(WaitUntil(
      [&] { return daemon.Log().find("Script " + handler + "[") != std::string::npos; }, 5000));
  const std::string unsubscribe = daemon.Root() + "/unsubscribe.vbs";
  WriteFile(unsubscribe, "Set hs = CreateObject(\"Sablewick.Application\")\n"
                         "hs.DeSelectXapMessage \"\", \"xapbsc.event\", \"\", \"\", \"" +
                             ToLowerForTest(path) + "\"\n");
  ASSERT_EQ(daemon.RunScript(unsubscribe), 0);
}

// The log has a bound: past MaxFileKB it is renamed Sablewick.1.txt (the older ones move up,
// Files of them are kept) and a new one begins.
TEST_F(DaemonTest, TheLogIsRotatedAtItsSizeAndKeepsAFewFiles) {
  daemon = std::make_unique<Daemon>(
      "[Interface]\nBroadcastAddress=127.0.0.1\nInterfaceAddress=127.0.0.2\n",
      "[Log]\nMaxFileKB=16\nFiles=2\n[Scripts]\nMaxOutputKBPerMinute=100000\n");
  StartAndGreet();
  // 60 KB of lines from one run (within the 64 KB a run may log).
  RunHandlerOnce(*this, *daemon, hub, port, "chatty.sh",
                 "#!/bin/sh\ni=0\nwhile [ $i -lt 600 ]; do echo \"line $i "
                 "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx\"; "
                 "i=$((i+1)); done\n");
  const std::string data = daemon->Root() + "/Data/";
  EXPECT_TRUE(WaitUntil([&] { return ReadFile(data + "Sablewick.txt").find("line 599 ") != std::string::npos; }, 5000))
      << ReadFile(data + "Sablewick.txt");
  for (const char* name : {"Sablewick.txt", "Sablewick.1.txt", "Sablewick.2.txt"}) {
    struct stat st {};
    ASSERT_EQ(::stat((data + name).c_str(), &st), 0) << name;
    EXPECT_LE(st.st_size, 16 * 1024) << name;
  }
  EXPECT_FALSE(std::filesystem::exists(data + "Sablewick.3.txt"));
  EXPECT_NE(ReadFile(data + "Sablewick.1.txt").find("chatty.sh"), std::string::npos);
}

// Output of scripts is bounded per minute; what was left out is said in one line.
TEST_F(DaemonTest, ScriptOutputIsBoundedPerMinuteAndWhatWasLeftOutIsSaid) {
  daemon = std::make_unique<Daemon>(
      "[Interface]\nBroadcastAddress=127.0.0.1\nInterfaceAddress=127.0.0.2\n",
      "[Scripts]\nMaxOutputKBPerMinute=8\n");
  StartAndGreet();
  RunHandlerOnce(*this, *daemon, hub, port, "chatty.sh",
                 "#!/bin/sh\ni=0\nwhile [ $i -lt 500 ]; do echo \"line $i "
                 "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx\"; "
                 "i=$((i+1)); done\n");
  ::usleep(500000);
  daemon->Signal(SIGTERM);
  EXPECT_EQ(daemon->WaitExit(10000), 0);
  const std::string log = daemon->Log();
  size_t logged = 0;
  for (size_t at = 0; (at = log.find("chatty.sh[", at)) != std::string::npos; ++at) ++logged;
  EXPECT_LE(logged, 8 * 1024 / 80) << "lines of output logged (87 bytes each)";
  EXPECT_GT(logged, 10u);
  EXPECT_NE(log.find("Scripts printed more than 8 KB in a minute ([Scripts] MaxOutputKBPerMinute): "),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("line 499 "), std::string::npos);
}

}  // namespace
}  // namespace sablewick
