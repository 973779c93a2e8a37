// The program's main road with real processes: a script subscribes through the object
// server, a matching datagram arrives from the hub, the daemon starts the subscription's
// script, which fetches its messages and answers on the network.
#include <dirent.h>
#include <sys/stat.h>

#include "tests/daemon/DaemonFixture.h"

namespace sablewick {
namespace {

using testing::DaemonTest;
using testing::Parse;
using testing::WriteFile;

// Answers every queued message with test.reply: the item state it saw and its position.
const char* const kHandler =
    "Set hs = CreateObject(\"Sablewick.Application\")\n"
    "pos = WScript.Arguments(0)\n"
    "Set m = hs.GetXapMessage(pos)\n"
    "Do Until m Is Nothing\n"
    "  hs.SendXapMessage \"\", \"test.reply\", \"Reply\", \"state\" & Chr(1) & "
    "m.GetItem(\"lamp\", \"state\") & Chr(0) & \"pos\" & Chr(1) & pos & Chr(0) & \"handle\" & "
    "Chr(1) & m.Handle, \"\", \"\", \"\"\n"
    "  Set m = hs.GetXapMessage(pos)\n"
    "Loop\n";

class ScriptRoad : public DaemonTest {
 protected:
  void Subscribe(const std::string& cls, const std::string& script) {
    const std::string path = daemon->Root() + "/Scripts/subscribe-" + script + ".vbs";
    WriteFile(path, "Set hs = CreateObject(\"Sablewick.Application\")\n"
                    "hs.SelectXapMessage \"\", \"" + cls + "\", \"\", \"\", \"" + script +
                        "\"\n");
    ASSERT_EQ(daemon->RunScript(path), 0);
  }
  std::string Lamp(const std::string& state) {
    return Query("class=xAPBSC.event\n", "Lamp\n{\nstate=" + state + "\n}\n");
  }
  // The next reply's items as "state|pos|handle".
  std::string NextReply(int timeoutMs = 5000) {
    auto d = hub.ReceiveMessage(timeoutMs);
    if (!d) return "(none)";
    const XapMessage m = Parse(*d);
    if (m.MsgClass != "test.reply") return "(other: " + m.MsgClass + " " + m.GetItem("Event.Log", "Data") + ")";
    return m.GetItem("Reply", "state") + "|" + m.GetItem("Reply", "pos") + "|" +
           m.GetItem("Reply", "handle");
  }
  int Descriptors(pid_t pid) {
    int n = 0;
    if (DIR* d = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
      while (::readdir(d) != nullptr) ++n;
      ::closedir(d);
    }
    return n - 2;
  }
};

TEST_F(ScriptRoad, AMatchingMessageStartsTheScriptWhichFetchesAndAnswers) {
  WriteFile(daemon->Root() + "/Scripts/OnLamp.vbs", kHandler);
  StartAndGreet();
  Subscribe("xAPBSC.event", "OnLamp.vbs");
  hub.SendTo(port, Lamp("on"));
  EXPECT_EQ(NextReply(), "on|1|M1");
  // A message of another class is not for this subscription.
  hub.SendTo(port, Query("class=other.thing\n", "Lamp\n{\nstate=x\n}\n"));
  hub.SendTo(port, Lamp("off"));
  EXPECT_EQ(NextReply(), "off|1|M3");
}

// Room names come in any script (Küche, Ψυγείο, 客厅 and a light bulb) and in either
// encoding peers use: UTF-8, or bytes that are not UTF-8 (here Windows-1252 ü and °). The
// handler counts and changes them by character, stores them in an INI file and reads them
// back, and what it sends out again carries every byte it was given.
TEST_F(ScriptRoad, RoomNamesInAnyScriptAndStrayBytesSurviveTheRoundTrip) {
  WriteFile(daemon->Root() + "/Scripts/OnRoom.vbs",
            "Set hs = CreateObject(\"Sablewick.Application\")\n"
            "Set m = hs.GetXapMessage(WScript.Arguments(0))\n"
            "r = m.GetItem(\"lamp\", \"room\")\n"
            "hs.SaveIniSetting \"Rooms\", r, r & \"!\", \"Rooms.ini\"\n"
            "hs.SendXapMessage \"\", \"test.reply\", \"Reply\", \"room\" & Chr(1) & r & Chr(0) & "
            "\"len\" & Chr(1) & Len(r) & Chr(0) & \"upper\" & Chr(1) & UCase(r) & Chr(0) & "
            "\"ini\" & Chr(1) & hs.GetIniSetting(\"Rooms\", r, \"-\", \"Rooms.ini\"), \"\", \"\", \"\"\n");
  StartAndGreet();
  Subscribe("xAPBSC.event", "OnRoom.vbs");
  struct Case {
    std::string room, len, upper;
  } cases[] = {
      {"K\u00fcche", "5", "K\u00dcCHE"},
      {"\u03a8\u03c5\u03b3\u03b5\u03af\u03bf", "6", "\u03a8\u03a5\u0393\u0395\u038a\u039f"},
      {"\u5ba2\u5385 \U0001F4A1", "5", "\u5ba2\u5385 \U0001F4A1"},
      {"K\xFC\x63he 20\xB0\x43", "10", "K\xFC\x43HE 20\xB0\x43"},  // 0xFC and 0xB0 are not UTF-8
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.room);
    hub.SendTo(port, Query("class=xAPBSC.event\n", "Lamp\n{\nroom=" + c.room + "\n}\n"));
    auto d = hub.ReceiveMessage(5000);
    ASSERT_TRUE(d.has_value());
    const XapMessage m = Parse(*d);
    ASSERT_EQ(m.MsgClass, "test.reply") << m.GetItem("Event.Log", "Data");
    EXPECT_EQ(m.GetItem("Reply", "room"), c.room);
    EXPECT_EQ(m.GetItem("Reply", "len"), c.len);
    EXPECT_EQ(m.GetItem("Reply", "upper"), c.upper);
    EXPECT_EQ(m.GetItem("Reply", "ini"), c.room + "!");
  }
}

TEST_F(ScriptRoad, TwoSubscriptionsShareOneMessageEachWithItsOwnProcess) {
  WriteFile(daemon->Root() + "/Scripts/a.vbs", kHandler);
  WriteFile(daemon->Root() + "/Scripts/b.vbs", kHandler);
  StartAndGreet();
  Subscribe("xAPBSC.event", "a.vbs");
  Subscribe("", "b.vbs");
  hub.SendTo(port, Lamp("on"));
  std::vector<std::string> replies = {NextReply(), NextReply()};
  std::sort(replies.begin(), replies.end());
  EXPECT_EQ(replies, (std::vector<std::string>{"on|1|M1", "on|2|M1"}));
}

TEST_F(ScriptRoad, MessagesArrivingWhileTheQueueIsFullRideOnTheRunningScript) {
  // The script waits before fetching, so the second message finds the queue non-empty.
  WriteFile(daemon->Root() + "/Scripts/slow.vbs", "WScript.Sleep 700\n" + std::string(kHandler) +
                                                    "WScript.StdOut.WriteLine \"done\"\n");
  StartAndGreet();
  Subscribe("xAPBSC.event", "slow.vbs");
  hub.SendTo(port, Lamp("one"));
  usleep(200000);
  hub.SendTo(port, Lamp("two"));
  EXPECT_EQ(NextReply(), "one|1|M1");
  EXPECT_EQ(NextReply(), "two|1|M2");
  EXPECT_EQ(NextReply(1500), "(none)") << "one process took both";
}

TEST_F(ScriptRoad, AnExecutableInAnyLanguageCanHandleMessages) {
  // A shell script with the standard D-Bus tools: one kept object for its calls.
  WriteFile(daemon->Root() + "/Scripts/onlamp.sh",
            "#!/bin/sh\n"
            "A=\"--address=$SABLEWICK_ADDRESS\"\n"
            "S=org.sablewick.Sablewick\n"
            "APP=$(busctl \"$A\" call $S /org/sablewick/Sablewick $S.Factory CreateKept | cut -d'\"' -f2)\n"
            "MSG=$(busctl \"$A\" call $S \"$APP\" $S.Application GetXapMessage v s \"$1\" | cut -d'\"' -f2)\n"
            "STATE=$(busctl \"$A\" call $S \"$MSG\" $S.XapMessage GetItem vv s lamp s state | cut -d'\"' -f2)\n"
            "busctl \"$A\" call $S \"$APP\" $S.Application SendUDPMessage v s \"shell saw $STATE at $1\"\n"
            "busctl \"$A\" call $S /org/sablewick/Sablewick $S.Factory Release o \"$MSG\"\n"
            "busctl \"$A\" call $S /org/sablewick/Sablewick $S.Factory Release o \"$APP\"\n");
  ::chmod((daemon->Root() + "/Scripts/onlamp.sh").c_str(), 0755);
  StartAndGreet();
  Subscribe("xAPBSC.event", "OnLamp.sh");  // stored in lower case, found in any case
  hub.SendTo(port, Lamp("on"));
  auto d = hub.ReceiveMessage(5000);
  ASSERT_TRUE(d);
  EXPECT_EQ(*d, "shell saw on at 1");
}

// The README's Python handler, taken from the README itself so that what users copy works.
TEST_F(ScriptRoad, TheReadmesPythonHandlerSwitchesTheLight) {
  const std::string readme = testing::ReadFile(SABLEWICK_SOURCE_DIR "/README.md");
  const size_t start = readme.find("```python\n");
  ASSERT_NE(start, std::string::npos) << "no Python handler in README.md";
  const size_t begin = start + 10;
  const std::string handler = readme.substr(begin, readme.find("```", begin) - begin);
  WriteFile(daemon->Root() + "/Scripts/onlamp.py", handler);
  ::chmod((daemon->Root() + "/Scripts/onlamp.py").c_str(), 0755);
  StartAndGreet();
  Subscribe("xAPBSC.event", "onlamp.py");
  hub.SendTo(port, Query("class=xAPBSC.event\n", "input.state\n{\nstate=on\n}\n"));
  auto d = hub.ReceiveMessage(10000);
  ASSERT_TRUE(d) << daemon->Log();
  const XapMessage m = Parse(*d);
  EXPECT_EQ(m.MsgClass, "xAPBSC.cmd") << *d << daemon->Log();
  EXPECT_EQ(m.GetItem("output.state.1", "state"), "on") << *d;
  EXPECT_EQ(m.GetItem("output.state.1", "id"), "*") << *d;
  for (int i = 0; i < 100 && daemon->Log().find("stdout: lamp acme.tool.pc is on") ==
                                 std::string::npos; ++i) {
    ::usleep(20000);
  }
  EXPECT_NE(daemon->Log().find("] stdout: lamp acme.tool.pc is on"), std::string::npos)
      << daemon->Log();
}

TEST_F(ScriptRoad, AScriptThatCannotStartIsLoggedAndTheNodeGoesOn) {
  StartAndGreet();
  Subscribe("", "missing.vbs");
  hub.SendTo(port, Lamp("on"));
  hub.SendTo(port, Query("class=WDT.Echo\n", "Echo.Query\n{\nQuery=alive\n}\n"));
  auto echo = hub.ReceiveMessage();
  ASSERT_TRUE(echo);
  EXPECT_EQ(Parse(*echo).GetItem("Echo.Response", "Response"), "alive");
  usleep(100000);
  // Said in words, naming the file as the user wrote it.
  EXPECT_NE(daemon->Log().find(": Scripts/missing.vbs does not exist; tried again in 1 s"),
            std::string::npos)
      << daemon->Log();
}

TEST_F(ScriptRoad, ABurstStartsOneProcessAndFinishedScriptsLeaveNothingBehind) {
  // Each run reports how many messages it fetched.
  WriteFile(daemon->Root() + "/Scripts/count.vbs",
            "Set hs = CreateObject(\"Sablewick.Application\")\n"
            "n = 0\n"
            "Set m = hs.GetXapMessage(WScript.Arguments(0))\n"
            "Do Until m Is Nothing\n"
            "  n = n + 1\n"
            "  Set m = hs.GetXapMessage(WScript.Arguments(0))\n"
            "Loop\n"
            "hs.SendUDPMessage \"count \" & n\n");
  StartAndGreet();
  Subscribe("xAPBSC.event", "count.vbs");
  hub.SendTo(port, Lamp("warm-up"));
  ASSERT_EQ(hub.ReceiveMessage().value_or(""), "count 1");
  usleep(300000);  // the first run ends and is reaped
  const int before = Descriptors(daemon->Pid());
  for (int i = 0; i < 1000; ++i) hub.SendTo(port, Lamp("x"));
  int runs = 0, total = 0;
  while (total < 1000 && runs < 1000) {
    auto d = hub.ReceiveMessage(5000);
    if (!d) break;
    ++runs;
    total += std::atoi(d->c_str() + 6);
  }
  EXPECT_EQ(total, 1000);
  EXPECT_LE(runs, 5) << "processes start only when a queue becomes non-empty";
  usleep(300000);
  EXPECT_EQ(Descriptors(daemon->Pid()), before) << "no descriptor may leak";
  const std::string children = testing::ReadFile("/proc/" + std::to_string(daemon->Pid()) +
                                                 "/task/" + std::to_string(daemon->Pid()) +
                                                 "/children");
  EXPECT_EQ(children, "") << "every child is reaped";
}

TEST_F(ScriptRoad, SpawnWritesAJobFileWhoseProcessRuns) {
  // The job file names its script as ..\<name>.txt, beside the Scripts folder.
  WriteFile(daemon->Root() + "/Job.txt",
            "Sub Hello(p)\n  hs.SendUDPMessage \"hello \" & p\nEnd Sub\n");
  WriteFile(daemon->Root() + "/Scripts/spawn.vbs",
            "Set hs = CreateObject(\"Sablewick.Application\")\n"
            "Set p = hs.Spawn(\"Job.TXT\", \"Hello\", \"world\")\n"
            "For i = 1 To 200\n"
            "  If p.Status = 1 Then Exit For\n"
            "  WScript.Sleep 25\n"
            "Next\n"
            "hs.SendUDPMessage \"status \" & p.Status & \" exit \" & p.ExitCode & \" pid \" & (p.ProcessID > 0)\n");
  StartAndGreet();
  ASSERT_EQ(daemon->RunScript(daemon->Root() + "/Scripts/spawn.vbs"), 0);
  std::vector<std::string> got = {hub.ReceiveMessage().value_or("(none)"),
                                  hub.ReceiveMessage().value_or("(none)")};
  std::sort(got.begin(), got.end());
  EXPECT_EQ(got, (std::vector<std::string>{"hello world", "status 1 exit 0 pid True"}));
  EXPECT_TRUE(std::filesystem::exists(daemon->Root() + "/Scripts/~Job.wsf"));
}

TEST_F(ScriptRoad, WaitMillisecondsHoldsEveryOtherClient) {
  WriteFile(daemon->Root() + "/Scripts/wait.vbs",
            "Set hs = CreateObject(\"Sablewick.Application\")\n"
            "hs.SendUDPMessage \"waiting\"\n"
            "hs.WaitMilliseconds 1500\n");
  WriteFile(daemon->Root() + "/Scripts/quick.vbs",
            "t = Timer\n"
            "Set hs = CreateObject(\"Sablewick.Application\")\n"
            "p = hs.GetAppPath\n"
            "hs.SendUDPMessage \"waited \" & CLng((Timer - t) * 1000)\n");
  StartAndGreet();
  const pid_t waiter = ::fork();
  if (waiter == 0) {
    daemon->RunScript(daemon->Root() + "/Scripts/wait.vbs");
    ::_exit(0);
  }
  // The waiter's next call after this datagram is the wait; on a loaded machine its start
  // alone can take longer than any fixed pause.
  auto started = hub.ReceiveMessage(15000);
  ASSERT_TRUE(started);
  ASSERT_EQ(*started, "waiting");
  EXPECT_EQ(daemon->RunScript(daemon->Root() + "/Scripts/quick.vbs"), 0);
  ::waitpid(waiter, nullptr, 0);
  auto d = hub.ReceiveMessage();
  ASSERT_TRUE(d);
  const int waited = std::atoi(d->c_str() + 7);
  EXPECT_GE(waited, 800) << *d;
  EXPECT_LE(waited, 3000) << *d;
}

TEST_F(ScriptRoad, HangingAndCrashingScriptsDoNotDisturbTheNode) {
  WriteFile(daemon->Root() + "/Scripts/hang.vbs",
            "Set hs = CreateObject(\"Sablewick.Application\")\n"
            "Set m = hs.GetXapMessage(WScript.Arguments(0))\n"
            "For i = 1 To 40 : WScript.Sleep 100 : Next\n");  // hangs, within bounds
  WriteFile(daemon->Root() + "/Scripts/crash.vbs", "x = 1 / 0\n");
  StartAndGreet();
  Subscribe("xAPBSC.event", "hang.vbs");
  Subscribe("xAPBSC.event", "crash.vbs");
  hub.SendTo(port, Lamp("on"));
  usleep(500000);
  hub.SendTo(port, Query("class=WDT.Echo\n", "Echo.Query\n{\nQuery=fine\n}\n"));
  auto echo = hub.ReceiveMessage();
  ASSERT_TRUE(echo);
  EXPECT_EQ(Parse(*echo).GetItem("Echo.Response", "Response"), "fine");
  daemon->Signal(SIGTERM);
  EXPECT_EQ(daemon->WaitExit(), 0);
}

}  // namespace
}  // namespace sablewick
