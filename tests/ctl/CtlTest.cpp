// sablewick-ctl against the real daemon, in a private network namespace with the daemon's
// private socket: every command in its human and its JSON form.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>

#include "ini/ConfigCheck.h"
#include "script/BusValue.h"
#include "tests/PrivateBus.h"
#include "tests/ctl/CtlHarness.h"
#include "tests/daemon/DaemonFixture.h"

namespace sablewick {
namespace {

using testing::CtlProcess;
using testing::CtlResult;
using testing::DaemonTest;
using testing::HostName;
using testing::Parse;
using testing::WriteFile;

// Answers every queued message with test.reply naming its handle.
const char* const kReplier =
    "Set hs = CreateObject(\"Sablewick.Application\")\n"
    "pos = WScript.Arguments(0)\n"
    "Set m = hs.GetXapMessage(pos)\n"
    "Do Until m Is Nothing\n"
    "  hs.SendXapMessage \"\", \"test.reply\", \"Reply\", \"handle\" & Chr(1) & m.Handle, "
    "\"\", \"\", \"\"\n"
    "  Set m = hs.GetXapMessage(pos)\n"
    "Loop\n";

class Ctl : public DaemonTest {
 protected:
  CtlResult Run(const std::vector<std::string>& args, const std::string& input = "") {
    return testing::RunCtl(daemon->RuntimeDir(), args, input);
  }
  void Subscribe(const std::string& cls, const std::string& source, const std::string& script) {
    const std::string path = daemon->Root() + "/Scripts/subscribe.vbs";
    WriteFile(path, "Set hs = CreateObject(\"Sablewick.Application\")\n"
                    "hs.SelectXapMessage \"\", \"" + cls + "\", \"\", \"" + source + "\", \"" +
                        script + "\"\n");
    ASSERT_EQ(daemon->RunScript(path), 0);
  }
  std::string Lamp(const std::string& state, const std::string& source = "acme.lamp.hall") {
    return "xap-header\n{\nv=12\nhop=1\nuid=FF123400\nsource=" + source +
           "\nclass=xAPBSC.event\n}\nLamp\n{\nstate=" + state + "\n}\n";
  }
  std::string Echo(const std::string& value) {
    return Query("class=WDT.Echo\n", "Echo.Query\n{\nQuery=" + value + "\n}\n");
  }
  // Sends an echo query and waits for its answer: everything sent before it is dispatched.
  void Settle() {
    hub.SendTo(port, Echo("settle"));
    auto answer = hub.ReceiveMessage();
    ASSERT_TRUE(answer) << "no echo answer";
  }
  bool WaitForStatus(const std::string& part) {
    for (int i = 0; i < 250; ++i) {
      if (Run({"--json", "status"}).out.find(part) != std::string::npos) return true;
      ::usleep(20000);
    }
    return false;
  }
  // Waits until the journal holds `ended` runs that have ended.
  bool WaitForEndedRuns(int ended) {
    for (int i = 0; i < 250; ++i) {
      const std::string out = Run({"--json", "status"}).out;
      if (out.find("\"running\":0}") != std::string::npos &&
          out.find("\"started\":" + std::to_string(ended) + ",") != std::string::npos)
        return true;
      ::usleep(20000);
    }
    return false;
  }
  std::string NextReplyHandle() {
    auto d = hub.ReceiveMessage(5000);
    if (!d) return "(none)";
    const XapMessage m = Parse(*d);
    return m.MsgClass == "test.reply" ? m.GetItem("Reply", "handle") : "(other " + m.MsgClass + ")";
  }
};

TEST_F(Ctl, StatusNamesTheNodeAndCountsWhatItReceivedAndAnswered) {
  StartAndGreet();
  hub.SendTo(port, Lamp("on"));
  Settle();

  CtlResult human = Run({"status"});
  ASSERT_EQ(human.status, 0) << human.err;
  EXPECT_EQ(human.out.rfind("sablewick 0.1 (pid " + std::to_string(daemon->Pid()) + "), up ", 0),
            0u)
      << human.out;
  for (const std::string& line :
       {"  source       Orbel.Script." + HostName() + "\n", std::string("  uid          FF00E800\n"),
        std::string("  port         32768\n"), std::string("  broadcast    127.0.0.1\n"),
        "  folder       " + daemon->Root() + "\n",
        std::string("  messages     received 2, dropped 0, kernel_dropped 0, queued 0, dispatched 2, matched 0, "
                    "injected 0, stored 0, store_dropped 0\n"),
        std::string("  answers      role 0, echo 1\n"),
        std::string("  processes    orphans_reaped 0\n")})
    EXPECT_NE(human.out.find(line), std::string::npos) << line << "in:\n" << human.out;

  CtlResult json = Run({"--json", "status"});
  ASSERT_EQ(json.status, 0) << json.err;
  for (const std::string& part :
       {std::string("{\"version\":\"0.1\",\"pid\":") + std::to_string(daemon->Pid()) + ",",
        std::string("\"port\":32768,"),
        std::string("\"messages\":{\"received\":2,\"dropped\":0,\"kernel_dropped\":0,\"queued\":0,"
                    "\"dispatched\":2,"
                    "\"matched\":0,\"injected\":0,\"stored\":0,\"store_dropped\":0}"),
        std::string("\"answers\":{\"role\":0,\"echo\":1}"),
        std::string("\"trace\":{\"recording\":false,\"followers\":0},"
                    "\"runs\":{\"followers\":0}}\n")})
    EXPECT_NE(json.out.find(part), std::string::npos) << part << " in:\n" << json.out;
}

// One node per folder: a second one started there refuses, naming the first; the tool run
// from the folder (beside the binary) talks to that folder's node even when the default
// places (its runtime folder, the session bus) would lead elsewhere.
TEST_F(Ctl, ASecondNodeInTheSameFolderRefusesAndTheToolBesideThemFindsTheirNode) {
  StartAndGreet();
  const std::string root = daemon->Root();
  const std::string elsewhere = root + "/elsewhere";
  std::filesystem::create_directories(elsewhere);
  std::filesystem::permissions(elsewhere, std::filesystem::perms::owner_all);
  const pid_t second = ::fork();
  if (second == 0) {
    const int err = ::open((root + "/second.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(err, 2);
    ::setenv("XDG_RUNTIME_DIR", elsewhere.c_str(), 1);
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
    const std::string exe = root + "/sablewick";
    ::execl(exe.c_str(), exe.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  int status = -1;
  for (int i = 0; i < 500 && ::waitpid(second, &status, WNOHANG) == 0; ++i) ::usleep(10000);
  if (!WIFEXITED(status)) ::kill(second, SIGKILL), ::waitpid(second, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
  const std::string said = "cannot start: another node (pid " + std::to_string(daemon->Pid()) +
                           ") already runs from this folder";
  EXPECT_NE(testing::ReadFile(root + "/second.txt").find("sablewick: " + said), std::string::npos)
      << testing::ReadFile(root + "/second.txt");
  EXPECT_NE(daemon->Log().find(said), std::string::npos) << daemon->Log();
  EXPECT_FALSE(hub.Receive(300)) << "the second node sent something";

  std::filesystem::copy_file(SABLEWICK_CTL, root + "/sablewick-ctl");
  CtlProcess beside(elsewhere, {"status"}, "", "", root + "/sablewick-ctl");
  const CtlResult r = beside.Finish();
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("(pid " + std::to_string(daemon->Pid()) + ")"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("  address      unix:path=" + daemon->RuntimeDir() + "/sablewick/bus\n"),
            std::string::npos)
      << r.out;
  // Elsewhere, the same tool finds no node (none runs beside it or at its default places).
  EXPECT_EQ(testing::RunCtl(elsewhere, {"status"}).status, 1);
}

TEST_F(Ctl, SubscriptionsAreListedByPositionAndRemovedOneByOne) {
  WriteFile(daemon->Root() + "/Scripts/OnLamp.vbs", kReplier);
  StartAndGreet();
  Subscribe("xAPBSC.event", "acme.lamp.>", "OnLamp.vbs");
  Subscribe("", "", "other.vbs");
  hub.SendTo(port, Lamp("on"));
  EXPECT_EQ(NextReplyHandle(), "M1");
  ASSERT_TRUE(WaitForEndedRuns(1));
  // Script paths as found on disk, or as written while the file is not there.
  const std::string scripts = daemon->Root() + "/Scripts/";

  CtlResult human = Run({"subscriptions"});
  ASSERT_EQ(human.status, 0) << human.err;
  EXPECT_NE(human.out.find("  1  *                xapbsc.event         *              "
                           "acme.lamp.>               0     1  exit 0     " +
                           scripts + "OnLamp.vbs\n"),
            std::string::npos)
      << human.out;
  EXPECT_NE(human.out.find("  2  *                *                    *              *       "
                           "                  1     0  -          " + scripts + "other.vbs\n"),
            std::string::npos)
      << human.out;

  CtlResult json = Run({"subscriptions", "--json"});
  ASSERT_EQ(json.status, 0) << json.err;
  EXPECT_EQ(json.out.rfind("[{\"position\":1,\"target\":\"\",\"class\":\"xapbsc.event\","
                           "\"section\":\"\",\"source\":\"acme.lamp.>\",\"script\":\"" +
                               scripts +
                               "OnLamp.vbs\",\"queued\":0,\"runs\":1,\"last_exit\":\"exit 0\"},"
                               "{\"position\":2,",
                           0),
            0u)
      << json.out;

  CtlResult removed = Run({"unsubscribe", "1"});
  ASSERT_EQ(removed.status, 0) << removed.err;
  EXPECT_EQ(removed.out,
            "removed subscription 1: target *, class xapbsc.event, section *, "
            "source acme.lamp.> -> " +
                scripts + "OnLamp.vbs\n");
  // The other one moved up; a position past the end is refused in words.
  CtlResult left = Run({"--json", "subscriptions"});
  EXPECT_NE(left.out.find("[{\"position\":1,\"target\":\"\",\"class\":\"\""), std::string::npos)
      << left.out;
  EXPECT_EQ(left.out.find("\"position\":2"), std::string::npos) << left.out;
  CtlResult past = Run({"unsubscribe", "2"});
  EXPECT_EQ(past.status, 1);
  EXPECT_EQ(past.err, "sablewick-ctl: no subscription at position 2 (1 in all)\n");
  // The removed subscription no longer starts its script.
  hub.SendTo(port, Lamp("off"));
  Settle();
  EXPECT_EQ(Run({"--json", "status"}).out.find("\"matched\":2"), std::string::npos);
}

TEST_F(Ctl, SubscribeMakesASubscriptionAsAScriptWouldOnce) {
  WriteFile(daemon->Root() + "/Scripts/OnLamp.vbs", kReplier);
  StartAndGreet();
  const std::string script = daemon->Root() + "/Scripts/OnLamp.vbs";
  CtlResult added = Run({"subscribe", "-", "xAPBSC.event", "*", "acme.lamp.>", "onlamp.vbs"});
  ASSERT_EQ(added.status, 0) << added.err;
  EXPECT_EQ(added.out,
            "added subscription 1: target *, class xapbsc.event, section *, source "
            "acme.lamp.> -> " +
                script + "\n");
  hub.SendTo(port, Lamp("on"));
  EXPECT_EQ(NextReplyHandle(), "M1");
  CtlResult again = Run({"subscribe", "-", "xapbsc.event", "-", "acme.lamp.>", "OnLamp.vbs"});
  EXPECT_EQ(again.out,
            "already there: subscription 1: target *, class xapbsc.event, section *, "
            "source acme.lamp.> -> " +
                script + "\n");
  // A script that cannot start is subscribed all the same, and the tool says why.
  CtlResult missing = Run({"--json", "subscribe", "-", "-", "-", "-", "Missing.vbs"});
  EXPECT_NE(missing.out.find("\"position\":2,"), std::string::npos) << missing.out;
  EXPECT_NE(missing.out.find("\"added\":true,\"problem\":\"Scripts/Missing.vbs does not exist\""),
            std::string::npos)
      << missing.out;
  EXPECT_EQ(Run({"subscribe", "-", "-", "-", "-"}).status, 2);

  // A relative name that climbs out of Scripts/ is refused, naming it; nothing is subscribed.
  WriteFile(daemon->Root() + "/outside.vbs", kReplier);
  for (const std::string name : {"../outside.vbs", "sub\\..\\..\\outside.vbs"}) {
    CtlResult out = Run({"subscribe", "-", "-", "-", "-", name});
    EXPECT_EQ(out.status, 1) << name;
    EXPECT_EQ(out.err, "sablewick-ctl: the path \"" + name +
                           "\" leaves Scripts/ (\"..\" climbs above it)\n");
  }
  EXPECT_EQ(Run({"--json", "subscriptions"}).out.find("\"position\":3"), std::string::npos);
  // An absolute one stays allowed.
  CtlResult absolute = Run({"subscribe", "-", "-", "-", "-", daemon->Root() + "/outside.vbs"});
  EXPECT_EQ(absolute.status, 0) << absolute.err;
  EXPECT_NE(absolute.out.find("added subscription 3:"), std::string::npos) << absolute.out;
}

TEST_F(Ctl, RunsListTheJournalAndFollowRunsAsTheyStartAndEnd) {
  WriteFile(daemon->Root() + "/Scripts/Fails.vbs",
            "Set hs = CreateObject(\"Sablewick.Application\")\n"
            "Set m = hs.GetXapMessage(WScript.Arguments(0))\n"
            "WScript.StdErr.WriteLine \"boom at \" & m.Handle\n"
            "WScript.Quit 3\n");
  StartAndGreet();
  Subscribe("xAPBSC.event", "", "Fails.vbs");
  CtlResult none = Run({"runs"});
  EXPECT_EQ(none.out, "no runs yet\n");

  CtlProcess follow(daemon->RuntimeDir(), {"runs", "-f", "-n", "2"});
  ASSERT_TRUE(WaitForStatus("\"runs\":{\"followers\":1}"));
  hub.SendTo(port, Lamp("on"));
  const std::string started = follow.ReadLine();
  EXPECT_NE(started.find("  #1  subscription 1  Fails.vbs  pid "), std::string::npos) << started;
  EXPECT_NE(started.find("  queued 1 fetched 0  started"), std::string::npos) << started;
  const std::string ended = follow.ReadLine();
  EXPECT_NE(ended.find("  subscription 1  Fails.vbs  pid "), std::string::npos) << ended;
  EXPECT_NE(ended.find("  queued 1 fetched 1  exit 3 after "), std::string::npos) << ended;
  EXPECT_EQ(follow.ReadLine(), "    stderr: boom at M1") << "the run's error output follows it";
  EXPECT_EQ(follow.Finish().status, 0);

  ASSERT_TRUE(WaitForEndedRuns(1));
  CtlResult human = Run({"runs"});
  ASSERT_EQ(human.status, 0) << human.err;
  EXPECT_NE(human.out.find("  #1  subscription 1  Fails.vbs  pid "), std::string::npos)
      << human.out;
  EXPECT_NE(human.out.find("exit 3 after "), std::string::npos) << human.out;
  CtlResult json = Run({"--json", "runs", "-n", "1"});
  EXPECT_NE(json.out.find("\"position\":1,\"target\":\"\",\"class\":\"xapbsc.event\""),
            std::string::npos)
      << json.out;
  EXPECT_NE(json.out.find("\"queued\":1,\"fetched\":1,\"running\":false,\"outcome\":\"exit 3\","
                          "\"exit_status\":3,\"signal\":0,\"timed_out\":false,"),
            std::string::npos)
      << json.out;
  EXPECT_NE(json.out.find("\"stderr\":\"boom at M1"), std::string::npos) << json.out;
  const std::string status = Run({"--json", "status"}).out;
  EXPECT_NE(status.find("\"scripts\":{\"subscriptions\":1,\"started\":1,\"failed\":1,"
                        "\"running\":0}"),
            std::string::npos)
      << status;
}

TEST_F(Ctl, TraceShowsWhatArrivedAfterTheFirstLookWithTheSubscriptionsItMatched) {
  StartAndGreet();
  Subscribe("xAPBSC.event", "", "none.vbs");
  hub.SendTo(port, Lamp("before"));
  Settle();
  // Nothing is recorded before somebody looks.
  CtlResult first = Run({"trace"});
  ASSERT_EQ(first.status, 0) << first.err;
  EXPECT_EQ(first.out, "");
  EXPECT_NE(first.err.find("nothing recorded yet"), std::string::npos) << first.err;

  hub.SendTo(port, Lamp("on"));
  hub.SendTo(port, Lamp("on", "acme.other.thing"));
  Settle();
  CtlResult all = Run({"trace"});
  ASSERT_EQ(all.status, 0) << all.err;
  // The two lamps and the echo query that settled them; none of them names a target.
  EXPECT_NE(all.out.find("  acme.lamp.hall -> *  xAPBSC.event  [lamp]  matched 1\n"),
            std::string::npos)
      << all.out;
  EXPECT_NE(all.out.find("  acme.other.thing -> *  xAPBSC.event  [lamp]  matched 1\n"),
            std::string::npos);
  EXPECT_NE(all.out.find("  acme.tool.pc -> *  WDT.Echo  [echo.query]  matched none\n"),
            std::string::npos);

  CtlResult matched = Run({"trace", "--match", "source=acme.lamp.>,class=xapbsc.event", "--text"});
  ASSERT_EQ(matched.status, 0) << matched.err;
  EXPECT_EQ(matched.out.find("acme.other.thing"), std::string::npos) << matched.out;
  EXPECT_NE(matched.out.find("    Lamp\n    {\n    state=on\n    }\n"), std::string::npos)
      << matched.out;

  CtlResult json = Run({"trace", "--json", "-n", "1", "--match", "class=wdt.echo"});
  ASSERT_EQ(json.status, 0) << json.err;
  EXPECT_EQ(json.out.rfind("[{\"seq\":", 0), 0u) << json.out;
  EXPECT_NE(json.out.find("\"injected\":false,\"source\":\"acme.tool.pc\","
                          "\"class\":\"WDT.Echo\",\"sections\":\"echo.query\",\"matched\":[],"
                          "\"text\":\"xap-header\\n{\\nv=12\\n"),
            std::string::npos)
      << json.out;
  // The time as it is, to the fraction of a second (six digits would be off by an hour).
  const size_t time = json.out.find("\"time\":");
  ASSERT_NE(time, std::string::npos);
  const double recorded = std::strtod(json.out.c_str() + time + 7, nullptr);
  EXPECT_LT(std::fabs(recorded - static_cast<double>(std::time(nullptr))), 60.0) << json.out;
  const std::string number = json.out.substr(time + 7, json.out.find(',', time) - time - 7);
  EXPECT_EQ(number.find_first_not_of("0123456789."), std::string::npos) << number;
  EXPECT_EQ(json.out.find("},{"), std::string::npos) << "-n 1 gives one entry: " << json.out;
}

// The journal says when the node gave up on messages that only met failing runs.
TEST_F(Ctl, RunsShowWhenTheNodeGaveUpOnMessages) {
  WriteFile(daemon->Root() + "/Scripts/crash.sh", "#!/bin/sh\nkill -KILL $$\n");
  ::chmod((daemon->Root() + "/Scripts/crash.sh").c_str(), 0755);
  StartAndGreet();
  Subscribe("xAPBSC.event", "", "crash.sh");
  hub.SendTo(port, Lamp("on"));
  ASSERT_TRUE(WaitForEndedRuns(3));  // at 0 s, 1 s and 3 s
  const CtlResult human = Run({"runs"});
  EXPECT_NE(human.out.find("signal 9; gave up on 1 message(s) after "), std::string::npos)
      << human.out;
  EXPECT_NE(Run({"--json", "runs", "-n", "1"}).out.find("\"gave_up\":1"), std::string::npos);
  EXPECT_NE(Run({"subscriptions"}).out.find("  0     3  signal 9; "), std::string::npos)
      << Run({"subscriptions"}).out;
}

// A follower left open in a terminal: started before the node, it waits; when the node
// restarts, it goes on with the new one.
TEST_F(Ctl, FollowingRunsWaitsForTheNodeAndGoesOnAfterARestart) {
  WriteFile(daemon->Root() + "/Scripts/handler.vbs", kReplier);
  WriteFile(daemon->Root() + "/Scripts/startup.vbs",
            "CreateObject(\"Sablewick.Application\").SelectXapMessage \"\", \"xAPBSC.event\", "
            "\"\", \"\", \"handler.vbs\"\n");
  CtlProcess follow(daemon->RuntimeDir(), {"runs", "-f"});
  ::usleep(300000);  // no node yet: it waits
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    StartAndGreet();
    ASSERT_TRUE(WaitForStatus("\"runs\":{\"followers\":1}"));
    hub.SendTo(port, Lamp("on"));
    EXPECT_EQ(NextReplyHandle(), "M1");
    std::string line;
    for (int i = 0; i < 10 && line.find("handler.vbs") == std::string::npos; ++i)
      line = follow.ReadLine();
    EXPECT_NE(line.find("  subscription 1  handler.vbs  pid "), std::string::npos) << line;
    daemon->Signal(SIGTERM);
    ASSERT_EQ(daemon->WaitExit(), 0);
  }
  follow.Signal(SIGINT);
  const CtlResult r = follow.Finish();
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("; waiting for the node (Ctrl+C ends)\n"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("sablewick-ctl: the node went away\n"), std::string::npos) << r.err;
}

TEST_F(Ctl, TraceFollowPrintsEachMatchingMessageAsItArrives) {
  StartAndGreet();
  CtlProcess follow(daemon->RuntimeDir(),
                    {"trace", "-f", "-n", "2", "--json", "--match", "source=acme.lamp.>"});
  // The follow is attached once the node counts it.
  ASSERT_TRUE(WaitForStatus("\"trace\":{\"recording\":true,\"followers\":1}"));
  hub.SendTo(port, Lamp("one", "acme.other.thing"));
  hub.SendTo(port, Lamp("two"));
  hub.SendTo(port, Lamp("three"));
  const std::string first = follow.ReadLine(), second = follow.ReadLine();
  EXPECT_NE(first.find("\"source\":\"acme.lamp.hall\""), std::string::npos) << first;
  EXPECT_NE(first.find("state=two"), std::string::npos) << first;
  EXPECT_NE(second.find("state=three"), std::string::npos) << second;
  // -n 2: it ends by itself, and the node forgets the follower with its connection.
  CtlResult end = follow.Finish();
  EXPECT_EQ(end.status, 0) << end.err;
  EXPECT_TRUE(WaitForStatus("\"trace\":{\"recording\":false,\"followers\":0}"));
}

// A follower that stops reading must cost the node a bounded amount, and learn what it missed.
TEST_F(Ctl, AFollowerThatDoesNotReadLosesMessagesAndIsToldHowMany) {
  StartAndGreet();
  // The socket file stands a moment before the node listens on it: connect within 2 s.
  const std::string address = "unix:path=" + daemon->RuntimeDir() + "/sablewick/bus";
  sd_bus* bus = nullptr;
  for (int i = 0; i < 100 && bus == nullptr; ++i) {
    ASSERT_GE(sd_bus_new(&bus), 0);
    if (sd_bus_set_address(bus, address.c_str()) < 0 || sd_bus_start(bus) < 0) {
      bus = sd_bus_unref(bus);
      ::usleep(20000);
    }
  }
  ASSERT_NE(bus, nullptr);
  struct Seen {
    long records = 0, lost = 0;
  } seen;
  sd_bus_slot* slot = nullptr;
  ASSERT_GE(sd_bus_match_signal(
                bus, &slot, nullptr, kControlPath, kControlInterface, "Traced",
                [](sd_bus_message* m, void* userdata, sd_bus_error*) {
                  auto* s = static_cast<Seen*>(userdata);
                  // A batch: (seq, time, injected, four texts, positions, text, lost) each.
                  sd_bus_message_enter_container(m, 'a', kTracedSignature + 1);
                  while (sd_bus_message_enter_container(m, 'r', "tdbayayayayauayt") > 0) {
                    uint64_t lost = 0;
                    sd_bus_message_skip(m, "tdbayayayayauay");
                    sd_bus_message_read(m, "t", &lost);
                    sd_bus_message_exit_container(m);
                    ++s->records;
                    s->lost += static_cast<long>(lost);
                  }
                  return 0;
                },
                &seen),
            0);
  sd_bus_error error = SD_BUS_ERROR_NULL;
  ASSERT_GE(sd_bus_call_method(bus, nullptr, kControlPath, kControlInterface, "FollowTrace",
                               &error, nullptr, "vvvv", "s", "", "s", "", "s", "", "s",
                               "acme.lamp.>"),
            0)
      << (error.message ? error.message : "");
  // Rounds of lamps, each drained by the node before the next: a batch each, never read.
  // 48 MB in all: more than the socket's buffer (sd-bus asks for 8 MB, the kernel may double it)
  // and the queue together.
  const int rounds = 64, perRound = 32;
  for (int r = 0; r < rounds; ++r) {
    for (int i = 0; i < perRound; ++i) hub.SendTo(port, Lamp(std::string(24000, 'x')));
    Settle();
  }
  // Read everything there is, within a bounded time; the next message that gets through
  // tells how many were lost.
  auto readAll = [&] {
    for (int quiet = 0, i = 0; quiet < 5 && i < 5000; ++i) {
      const int r = sd_bus_process(bus, nullptr);
      if (r < 0) return;
      if (r == 0) quiet += sd_bus_wait(bus, 100000) == 0 ? 1 : 0;
    }
  };
  readAll();
  hub.SendTo(port, Lamp("last"));
  Settle();
  readAll();
  EXPECT_GT(seen.lost, 0) << "the node kept everything for a client that did not read";
  EXPECT_EQ(seen.records + seen.lost, rounds * perRound + 1)
      << "every lamp was either sent or counted as lost";
  sd_bus_slot_unref(slot);
  sd_bus_flush_close_unref(bus);
}

TEST_F(Ctl, InjectDispatchesLikeAReceivedMessageOrOnlyTriesTheFiltersInADryRun) {
  WriteFile(daemon->Root() + "/Scripts/OnLamp.vbs", kReplier);
  StartAndGreet();
  Subscribe("xAPBSC.event", "", "OnLamp.vbs");
  const std::string file = daemon->Root() + "/lamp.xap";
  WriteFile(file, Lamp("on"));

  CtlResult dry = Run({"inject", "--dry-run", file});
  ASSERT_EQ(dry.status, 0) << dry.err;
  EXPECT_EQ(dry.out, "would match subscriptions 1 (dry run: nothing stored, started or answered)\n");
  CtlResult real = Run({"inject", file});
  ASSERT_EQ(real.status, 0) << real.err;
  EXPECT_EQ(real.out, "dispatched as M1; matched subscriptions 1\n");
  EXPECT_EQ(NextReplyHandle(), "M1") << "the dry run started nothing; the real one did";

  // From standard input, as JSON; a message no subscription takes.
  CtlResult json = Run({"--json", "inject", "-"}, Echo("x"));
  ASSERT_EQ(json.status, 0) << json.err;
  EXPECT_EQ(json.out, "{\"dry_run\":false,\"handle\":\"M2\",\"matched\":[]}\n");
  auto answer = hub.ReceiveMessage();
  ASSERT_TRUE(answer);
  EXPECT_EQ(Parse(*answer).GetItem("Echo.Response", "Response"), "x");
  EXPECT_NE(Run({"--json", "status"}).out.find("\"injected\":3"), std::string::npos);
}

TEST_F(Ctl, SendGoesOutThroughTheNodeAndRefusesTextThatWouldBreakTheMessage) {
  StartAndGreet();
  CtlResult sent = Run({"send", "acme.lamp.hall", "xAPBSC.cmd", "output.state.1", "id=*",
                        "state=on"});
  ASSERT_EQ(sent.status, 0) << sent.err;
  EXPECT_EQ(sent.out, "");
  auto d = hub.ReceiveMessage();
  ASSERT_TRUE(d);
  const XapMessage m = Parse(*d);
  EXPECT_EQ(m.MsgTarget, "acme.lamp.hall");
  EXPECT_EQ(m.MsgClass, "xAPBSC.cmd");
  EXPECT_EQ(m.msgSource, "Orbel.Script." + HostName());
  EXPECT_EQ(m.GetItem("output.state.1", "state"), "on");
  EXPECT_EQ(m.GetItem("output.state.1", "id"), "*");

  CtlResult json = Run({"--json", "send", "-", "test.class", "Body", "a=b=c"});
  ASSERT_EQ(json.status, 0) << json.err;
  EXPECT_EQ(json.out, "{\"sent\":true}\n");
  d = hub.ReceiveMessage();
  ASSERT_TRUE(d);
  EXPECT_EQ(Parse(*d).GetItem("Body", "a"), "b=c");
  EXPECT_EQ(d->find("target="), std::string::npos) << "- sends without a target";

  CtlResult broken = Run({"send", "-", "test.class", "Body", "a=1\n}\nExtra\n{\nb=2"});
  EXPECT_EQ(broken.status, 1);
  EXPECT_EQ(broken.err, "sablewick-ctl: an item may not hold line breaks, braces or NUL\n");
}

// Without the private socket (another runtime folder), the tool finds the node by its name on
// the session bus; to follow, it moves to the private socket the node names in its status.
TEST_F(Ctl, WorksThroughTheSessionBusName) {
  testing::PrivateBus bus;
  ASSERT_FALSE(bus.Address().empty()) << "no dbus-daemon";
  daemon->sessionBus = bus.Address();
  StartAndGreet();
  testing::TempDir elsewhere;
  auto run = [&](const std::vector<std::string>& args) {
    CtlProcess p(elsewhere.Path(), args, "", bus.Address());
    return p.Finish();
  };
  bool named = false;
  for (int i = 0; i < 250 && !named; ++i) {
    named = run({"status"}).status == 0;
    if (!named) ::usleep(20000);
  }
  ASSERT_TRUE(named) << run({"status"}).err;
  EXPECT_NE(run({"status"}).out.find("  folder       " + daemon->Root() + "\n"), std::string::npos);

  CtlProcess follow(elsewhere.Path(), {"trace", "-f", "-n", "1"}, "", bus.Address());
  bool attached = false;
  for (int i = 0; i < 250 && !attached; ++i) {
    attached = run({"--json", "status"}).out.find("\"followers\":1") != std::string::npos;
    if (!attached) ::usleep(20000);
  }
  ASSERT_TRUE(attached);
  hub.SendTo(port, Lamp("bus"));
  EXPECT_NE(follow.ReadLine().find("  acme.lamp.hall -> *  xAPBSC.event  [lamp]  matched none"),
            std::string::npos);
  EXPECT_EQ(follow.Finish().status, 0);
}

struct UsageCase {
  std::vector<std::string> args;
  int status;
  std::string stream;  // "out" or "err"
  std::string contains;
};

TEST_F(Ctl, UsageErrorsExitWithTwoAndAMissingNodeWithOne) {
  // No daemon runs in this test.
  const UsageCase cases[] = {
      {{"--help"}, 0, "out", "usage: sablewick-ctl [--json]"},
      {{"--version"}, 0, "out", "sablewick-ctl 0.1\n"},
      {{}, 2, "err", "no command given"},
      {{"--bogus", "status"}, 2, "err", "unknown option --bogus"},
      {{"stats"}, 2, "err", "unknown command stats"},
      {{"status", "-f"}, 2, "err", "status takes no such option"},
      {{"unsubscribe"}, 2, "err", "usage: sablewick-ctl unsubscribe POSITION"},
      {{"unsubscribe", "first"}, 2, "err", "a position is a number from 1"},
      {{"trace", "--match", "kind=x"}, 2, "err", "a filter is target=, class="},
      {{"trace", "-n"}, 2, "err", "-n needs a count"},
      {{"send", "-", "c", "s", "novalue"}, 2, "err", "an item is NAME=VALUE"},
      {{"status"}, 1, "err", "sablewick-ctl: no running node found (tried"},
      {{"inject", "/nonexistent/file"}, 1, "err", "cannot read /nonexistent/file"},
  };
  for (const UsageCase& c : cases) {
    CtlResult r = Run(c.args);
    std::string joined;
    for (const auto& a : c.args) joined += a + " ";
    EXPECT_EQ(r.status, c.status) << joined << r.err;
    EXPECT_NE((c.stream == "out" ? r.out : r.err).find(c.contains), std::string::npos)
        << joined << "\nout: " << r.out << "\nerr: " << r.err;
  }
}

// ---- check

struct CheckCase {
  std::string name, drumlin, sablewick;
  std::string expected;  // the whole human output but the last line, "" for a clean folder
};

TEST(CtlCheck, ReportsWhatTheNodeWouldSilentlyIgnoreOrReplace) {
  const CheckCase cases[] = {
      {"clean", "[Interface]\nBroadcastAddress=127.0.0.1\nInterfaceAddress=Default\n",
       "[General]\r\nUID=FF00E800\r\n; a comment\r\n[MyScript]\r\nAnything=1\r\n",
       "Config/Sablewick.ini:4: note: section [MyScript] is not read by the node (scripts may "
       "read it)\n"},
      {"spaces around =", "[Interface]\nBroadcastAddress = 127.0.0.1\n",
       "[General]\nUID= FF00E800\n",
       "Config/Drumlin.ini:2: problem: space before '=' in \"BroadcastAddress \": the node does "
       "not see BroadcastAddress and takes its default Default\n"
       "Config/Sablewick.ini:2: problem: space after '=' in UID: the node keeps it in the value\n"
       "Config/Sablewick.ini:2: problem: UID \" FF00E800\" is not 8 hex digits\n"},
      {"misspelled and misplaced", "[Interface]\nBroadcastAdress=127.0.0.1\nUID=FF00E800\n",
       "[Genral]\nUID=FF00E800\n",
       "Config/Drumlin.ini:2: problem: unknown key \"BroadcastAdress\" in [Interface]: did you "
       "mean BroadcastAddress?\n"
       "Config/Drumlin.ini:3: problem: UID belongs in [General] of Config/Sablewick.ini\n"
       "Config/Sablewick.ini:1: problem: section [Genral] is not read by the node: did you mean "
       "[General]?\n"},
      {"bad values", "[Interface]\nBroadcastAddress=127.0.0.256 x\nInterfaceAddress=192.168.1\n",
       "[General]\nUID=FF00E8\n[Scripts]\nMaxRunSeconds=5s\n",
       "Config/Drumlin.ini:2: problem: BroadcastAddress \"127.0.0.256 x\" is not an address\n"
       "Config/Drumlin.ini:3: problem: InterfaceAddress \"192.168.1\" is not four dot-separated "
       "numbers: the node uses the first address of an interface that is up\n"
       "Config/Sablewick.ini:2: problem: UID \"FF00E8\" is not 8 hex digits\n"
       "Config/Sablewick.ini:4: problem: MaxRunSeconds \"5s\" is not a whole number of seconds "
       "up to a year: the node takes the default 0\n"},
      {"lines without = and repeats", "[Interface]\nBroadcastAddress 127.0.0.1\n",
       "[General]\nUID=FF00E801\nuid=FF00E802\nUID=\n",
       "Config/Drumlin.ini:2: problem: no '=' in \"BroadcastAddress 127.0.0.1\": the node "
       "ignores the line\n"
       "Config/Sablewick.ini:3: problem: \"uid\" again: the node keeps the first, on line 2\n"
       "Config/Sablewick.ini:4: problem: \"UID\" again: the node keeps the first, on line 2\n"},
      {"empty value and a missing file", "[Interface]\nInterfaceAddress=\n", "",
       "Config/Drumlin.ini:2: problem: InterfaceAddress is empty: the node takes the default "
       "Default\n"
       "Config/Sablewick.ini: note: missing: every setting of it takes its default (the node "
       "writes it, with its notes, at its next start)\n"},
      {"a key before any section", "UID=FF00E800\n[Interface]\n", "[General]\nUID=12345678\n",
       "Config/Drumlin.ini:1: problem: UID belongs in [General] of Config/Sablewick.ini\n"},
      // The bridge's section is the node's too; a remark after a value is part of it; an
      // unlisted 127.x address is the node's own (loopback), as the node takes it.
      {"bridge, remarks and loopback", "[Interface]\nInterfaceAddress=127.0.0.77\n",
       "[MQTT]\nBroker=\nDiscovery=\nPrefix=xap    ; topic root\nBrokr=x\n",
       "Config/Sablewick.ini:4: problem: Prefix holds \"; topic root\": the node takes everything "
       "after '=' as the value; put remarks on lines of their own\n"
       "Config/Sablewick.ini:5: problem: unknown key \"Brokr\" in [MQTT]: did you mean Broker?\n"},
      // Read whole however long, up to 1 MB (a problem on the last line is still found).
      {"long files", "[Interface]\n", "[General]\n" + std::string(16000, ';') + "\nUID=FF00E8\n",
       "Config/Sablewick.ini:3: problem: UID \"FF00E8\" is not 8 hex digits\n"},
      {"past 1 MB", "[Interface]\n", "[General]\n;" + std::string(1 << 20, 'x') + "\n",
       "Config/Sablewick.ini: problem: larger than 1 MB: not checked\n"},
  };
  for (const CheckCase& c : cases) {
    testing::TempDir dir;
    WriteFile(dir.Path() + "/Config/Drumlin.ini", c.drumlin);
    if (!c.sablewick.empty()) WriteFile(dir.Path() + "/Config/Sablewick.ini", c.sablewick);
    CtlResult r = testing::RunCtl(dir.Path(), {"check", dir.Path()});
    int problems = 0;
    for (size_t at = 0; (at = c.expected.find(": problem: ", at)) != std::string::npos; ++at)
      ++problems;
    EXPECT_EQ(r.out, c.expected + dir.Path() + ": " + std::to_string(problems) + " problem" +
                         (problems == 1 ? "" : "s") + "\n")
        << c.name;
    EXPECT_EQ(r.status, problems == 0 ? 0 : 1) << c.name;
  }
}

// What the documentation tells users to paste, and the installed examples, pass the check.
TEST(CtlCheck, DocumentedSamplesAndInstalledExamplesAreClean) {
  const std::string src = SABLEWICK_SOURCE_DIR;
  std::vector<std::pair<std::string, std::string>> samples;  // where, text
  for (const char* doc : {"/README.md", "/bridge/README.md"}) {
    const std::string text = testing::ReadFile(src + doc);
    for (size_t at = 0; (at = text.find("```ini\n", at)) != std::string::npos;) {
      const size_t end = text.find("```", at + 7);
      ASSERT_NE(end, std::string::npos) << doc;
      const std::string block = text.substr(at + 7, end - at - 7);
      if (block.find("[MQTT]") != std::string::npos) samples.emplace_back(doc, block);
      at = end + 3;
    }
  }
  EXPECT_EQ(samples.size(), 2u);
  for (const auto& [where, text] : samples) {
    for (const Finding& f : CheckConfigText("Sablewick.ini", text))
      EXPECT_FALSE(f.problem) << where << " line " << f.line << ": " << f.message;
  }
  // The examples are what a first start writes: not even a note about them.
  for (const char* file : {"Drumlin.ini", "Sablewick.ini"}) {
    const std::string text = testing::ReadFile(src + "/packaging/" + file + ".example");
    for (const Finding& f : CheckConfigText(file, text))
      ADD_FAILURE() << file << ".example line " << f.line << ": " << f.message;
  }
}

TEST(CtlCheck, JsonListsEachFindingWithItsFileAndLine) {
  testing::TempDir dir;
  WriteFile(dir.Path() + "/Config/Drumlin.ini", "[Interface]\nBroadcastAddress=x y\n");
  WriteFile(dir.Path() + "/Config/Sablewick.ini", "[General]\nUID=FF00E800\n");
  CtlResult r = testing::RunCtl(dir.Path(), {"--json", "check", dir.Path()});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "{\"folder\":\"" + dir.Path() +
                       "\",\"problems\":1,\"findings\":[{\"file\":\"Config/Drumlin.ini\","
                       "\"line\":2,\"problem\":true,\"message\":\"BroadcastAddress \\\"x y\\\" "
                       "is not an address\"}]}\n");
}

}  // namespace
}  // namespace sablewick
