// Scripts the daemon starts, followed to their end: their output in the log, the wall-clock
// limit, restarts of handlers that end with messages still queued, and the end of every
// running script at shutdown.
#include <signal.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include "tests/daemon/DaemonFixture.h"

namespace sablewick {
namespace {

using testing::Daemon;
using testing::DaemonTest;
using testing::Parse;
using testing::ReadFile;
using testing::WriteFile;

// Fetches every queued message and answers each with test.reply carrying the lamp state.
const char* const kFetchAll =
    "Set hs = CreateObject(\"Sablewick.Application\")\n"
    "Set m = hs.GetXapMessage(WScript.Arguments(0))\n"
    "Do Until m Is Nothing\n"
    "  hs.SendXapMessage \"\", \"test.reply\", \"Reply\", \"state\" & Chr(1) & "
    "m.GetItem(\"lamp\", \"state\"), \"\", \"\", \"\"\n"
    "  Set m = hs.GetXapMessage(WScript.Arguments(0))\n"
    "Loop\n";

class ScriptRuns : public DaemonTest {
 protected:
  void Script(const std::string& name, const std::string& text) {
    const std::string path = daemon->Root() + "/Scripts/" + name;
    WriteFile(path, text);
    ::chmod(path.c_str(), 0755);
  }
  void Subscribe(const std::string& script) {
    const std::string path = daemon->Root() + "/subscribe.vbs";
    WriteFile(path, "Set hs = CreateObject(\"Sablewick.Application\")\n"
                    "hs.SelectXapMessage \"\", \"xAPBSC.event\", \"\", \"\", \"" + script +
                        "\"\n");
    ASSERT_EQ(daemon->RunScript(path), 0);
  }
  void Lamp(const std::string& state) {
    hub.SendTo(port, Query("class=xAPBSC.event\n", "Lamp\n{\nstate=" + state + "\n}\n"));
  }
  // The states of the replies that arrive within the time, in order.
  std::vector<std::string> Replies(size_t want, int timeoutMs) {
    std::vector<std::string> got;
    for (int i = 0; i < 200 && got.size() < want; ++i) {
      auto d = hub.ReceiveMessage(timeoutMs);
      if (!d) break;
      const XapMessage m = Parse(*d);
      if (m.MsgClass == "test.reply") got.push_back(m.GetItem("Reply", "state"));
    }
    return got;
  }
  // Waits until the log holds the text; false when it does not within the time.
  bool LogShows(const std::string& text, int timeoutMs = 5000) {
    for (int waited = 0; waited <= timeoutMs; waited += 20) {
      if (daemon->Log().find(text) != std::string::npos) return true;
      ::usleep(20000);
    }
    return false;
  }
  // The process id a shell script wrote into Data/<name>.pid.
  pid_t PidFrom(const std::string& name, int timeoutMs = 5000) {
    const std::string path = daemon->Root() + "/Data/" + name + ".pid";
    for (int waited = 0; waited <= timeoutMs; waited += 20) {
      const std::string text = ReadFile(path);
      if (!text.empty() && text.back() == '\n') return std::atoi(text.c_str());
      ::usleep(20000);
    }
    return -1;
  }
  // Starts the daemon with a shell handler whose body starts a child of its own, sends the
  // handler a message and returns the child's pid (the body writes it to $d/child.pid).
  pid_t StartHandlerWithChild(const std::string& script, const std::string& body) {
    Script(script, "#!/bin/sh\nd=\"$(dirname \"$0\")/../Data\"\n" + body);
    StartAndGreet();
    Subscribe(script);
    Lamp("on");
    return PidFrom("child");
  }
  static bool Gone(pid_t pid, int timeoutMs) {
    for (int waited = 0; waited <= timeoutMs; waited += 20) {
      if (::kill(pid, 0) != 0 && errno == ESRCH) return true;
      ::usleep(20000);
    }
    return false;
  }
};

// A shell handler that ends without releasing its kept object leaks nothing: the object
// goes when the handler does.
TEST_F(ScriptRuns, AKeptObjectGoesWhenTheHandlerThatMadeItEnds) {
  Script("keeps.sh",
         "#!/bin/sh\nd=\"$(dirname \"$0\")/../Data\"\n"
         "A=\"--address=$SABLEWICK_ADDRESS\"; S=org.sablewick.Sablewick\n"
         "APP=$(busctl \"$A\" call $S /org/sablewick/Sablewick $S.Factory CreateKept | "
         "cut -d'\"' -f2)\n"
         "echo \"$APP\" > \"$d/kept.tmp\" && mv \"$d/kept.tmp\" \"$d/kept\"\n"
         "i=0; while [ ! -e \"$d/go\" ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i+1)); done\n"
         "busctl \"$A\" call $S \"$APP\" $S.Application GetXapMessage v s \"$1\" >/dev/null\n");
  StartAndGreet();
  Subscribe("keeps.sh");
  Lamp("on");
  std::string path;
  for (int i = 0; i < 250 && path.empty(); ++i) {
    path = ReadFile(daemon->Root() + "/Data/kept");
    if (path.empty()) ::usleep(20000);
  }
  ASSERT_FALSE(path.empty());
  path.pop_back();  // the line feed
  const std::string typeName = "busctl --address=unix:path=" + daemon->RuntimeDir() +
                               "/sablewick/bus call org.sablewick.Sablewick " + path +
                               " org.sablewick.Sablewick.Object TypeName >/dev/null 2>&1";
  EXPECT_EQ(std::system(typeName.c_str()), 0) << path;
  WriteFile(daemon->Root() + "/Data/go", "");
  bool gone = false;
  for (int i = 0; i < 50 && !gone; ++i) {
    gone = std::system(typeName.c_str()) != 0;
    if (!gone) ::usleep(100000);
  }
  EXPECT_TRUE(gone) << path;
}

TEST_F(ScriptRuns, AHandlerThatDiesBeforeFetchingIsStartedAgainAndItsMessagesAreHandled) {
  // The first run fails without fetching; the next one works.
  Script("flaky.vbs",
         "Set fso = CreateObject(\"Scripting.FileSystemObject\")\n"
         "marker = \"" + daemon->Root() + "/Data/failed-once\"\n"
         "If Not fso.FileExists(marker) Then\n"
         "  fso.CreateTextFile(marker).Close\n"
         "  WScript.Quit 3\n"
         "End If\n" + std::string(kFetchAll));
  StartAndGreet();
  Subscribe("flaky.vbs");
  Lamp("one");
  Lamp("two");
  EXPECT_EQ(Replies(2, 5000), (std::vector<std::string>{"one", "two"}));
  EXPECT_TRUE(LogShows("flaky.vbs[")) << daemon->Log();
  EXPECT_TRUE(LogShows("ended with exit status 3")) << daemon->Log();
}

TEST_F(ScriptRuns, AHandlerThatDiesAfterEachFetchIsStartedAgainAtOnceUntilTheQueueIsEmpty) {
  // Takes one message per run, answers it and crashes.
  Script("one.vbs",
         "Set hs = CreateObject(\"Sablewick.Application\")\n"
         "WScript.Sleep 300\n"
         "Set m = hs.GetXapMessage(WScript.Arguments(0))\n"
         "hs.SendXapMessage \"\", \"test.reply\", \"Reply\", \"state\" & Chr(1) & "
         "m.GetItem(\"lamp\", \"state\"), \"\", \"\", \"\"\n"
         "x = 1 / 0\n");
  StartAndGreet();
  Subscribe("one.vbs");
  for (const char* s : {"a", "b", "c", "d"}) Lamp(s);
  // No pause between runs that made progress: four runs of about 0.3 s each.
  EXPECT_EQ(Replies(4, 3000), (std::vector<std::string>{"a", "b", "c", "d"}));
  EXPECT_TRUE(LogShows("one.vbs[")) << daemon->Log();
}

// A handler that only fails (crashes, or hangs until the time limit) holds its message for
// three runs, then the message is dropped; a message that comes later starts it afresh.
TEST_F(ScriptRuns, MessagesThatOnlyMeetFailingRunsAreGivenUpAfterThreeRuns) {
  struct Case {
    const char* script;
    const char* body;
    const char* settings;
  };
  const Case cases[] = {
      {"Crash.sh", "kill -KILL $$\n", ""},
      {"Hang.sh", "exec sleep 30\n", "[Scripts]\nMaxRunSeconds=1\n"},
  };
  for (const Case& c : cases) {
    daemon = std::make_unique<Daemon>(
        "[Interface]\nBroadcastAddress=127.0.0.1\nInterfaceAddress=127.0.0.2\n", c.settings);
    const std::string runsFile = daemon->Root() + "/Data/runs";
    Script(c.script,
           "#!/bin/sh\necho run >> \"$(dirname \"$0\")/../Data/runs\"\n" + std::string(c.body));
    auto runs = [&] {
      const std::string text = ReadFile(runsFile);
      return std::count(text.begin(), text.end(), '\n');
    };
    StartAndGreet();
    Subscribe(c.script);
    Lamp("a");
    // Runs at 0 s, 1 s and 3 s after their pauses (the hanging one 1 s longer each).
    ASSERT_TRUE(LogShows("Subscription 1 (Scripts/" + std::string(c.script) +
                             "): gave up on 1 message(s) after 3 runs in a row that fetched none",
                         15000))
        << c.script << "\n"
        << daemon->Log();
    EXPECT_EQ(runs(), 3) << c.script;
    Lamp("b");
    for (int i = 0; i < 150 && runs() < 4; ++i) ::usleep(20000);
    EXPECT_EQ(runs(), 4) << c.script << ": a later message starts the handler at once";
    daemon->Signal(SIGTERM);
    EXPECT_EQ(daemon->WaitExit(10000), 0);
  }
}

// A subscription made before its script was executable: once it is, the next message runs it.
TEST_F(ScriptRuns, AHandlerMadeExecutableAfterItsSubscriptionRunsForTheNextMessage) {
  const std::string path = daemon->Root() + "/Scripts/Late.sh";
  WriteFile(path, "#!/bin/sh\necho \"$1\" > \"$(dirname \"$0\")/../Data/ran\"\n");
  StartAndGreet();
  Subscribe("Late.sh");
  EXPECT_TRUE(LogShows("Subscription 1: Scripts/Late.sh is not executable (chmod +x it) 0 \r\n"))
      << daemon->Log();
  Lamp("one");
  EXPECT_TRUE(
      LogShows("Subscription 1: Scripts/Late.sh is not executable (chmod +x it); "
               "tried again"))
      << daemon->Log();
  ::chmod(path.c_str(), 0755);
  Lamp("two");  // queued behind "one": the start is tried again after the pause
  std::string ran;
  for (int i = 0; i < 250 && ran.empty(); ++i) {
    ran = ReadFile(daemon->Root() + "/Data/ran");
    if (ran.empty()) ::usleep(20000);
  }
  EXPECT_EQ(ran, "1\n") << daemon->Log();
}

TEST_F(ScriptRuns, AHandlerThatNeverFetchesIsRetriedWithAGrowingPause) {
  // Each run appends a line and exits without fetching.
  Script("idle.sh", "#!/bin/sh\necho run >> \"$(dirname \"$0\")/../Data/runs\"\nexit 1\n");
  StartAndGreet();
  Subscribe("idle.sh");
  Lamp("on");
  // Starts at 0 s, 1 s, 3 s, 7 s: three runs in 4.5 s. Without a pause it would spin.
  ::usleep(4500000);
  const std::string runs = ReadFile(daemon->Root() + "/Data/runs");
  const auto count = std::count(runs.begin(), runs.end(), '\n');
  EXPECT_GE(count, 2) << runs;
  EXPECT_LE(count, 4) << runs;
}

TEST_F(ScriptRuns, AWorkingHandlerRunsOncePerBatch) {
  Script("count.sh", "#!/bin/sh\necho run >> \"$(dirname \"$0\")/../Data/runs\"\n");
  Script("fine.vbs", std::string(kFetchAll) + "CreateObject(\"WScript.Shell\").Run \"" +
                         daemon->Root() + "/Scripts/count.sh\", 0, True\n");
  StartAndGreet();
  Subscribe("fine.vbs");
  Lamp("on");
  EXPECT_EQ(Replies(1, 5000), (std::vector<std::string>{"on"}));
  ::usleep(1500000);  // past the first pause a restart would take
  EXPECT_EQ(ReadFile(daemon->Root() + "/Data/runs"), "run\n");
}

TEST_F(ScriptRuns, OutputOfEveryStartedScriptReachesTheLogNamingScriptAndProcess) {
  struct Case {
    const char* name;
    const char* text;
    std::vector<std::string> expected;  // texts the log must hold after "<name>[<pid>] "
  };
  const Case cases[] = {
      {"talk.sh", "#!/bin/sh\necho hello out\necho hello err >&2\nprintf 'no newline'\n",
       {"stdout: hello out", "stderr: hello err", "stdout: no newline"}},
      {"talk.vbs", "WScript.StdOut.WriteLine \"vbs out\"\nWScript.StdErr.WriteLine \"vbs err\"\n",
       {"stdout: vbs out", "stderr: vbs err"}},
      // A syntax error in a handler shows up in the log.
      {"broken.vbs", "If Then\n", {"stderr: "}},
  };
  for (const Case& c : cases) Script(c.name, c.text);
  StartAndGreet();
  for (const Case& c : cases) Subscribe(c.name);
  Lamp("on");
  for (const Case& c : cases) {
    ASSERT_TRUE(LogShows(std::string(c.name) + "[")) << c.name << "\n" << daemon->Log();
    for (const std::string& e : c.expected) {
      EXPECT_TRUE(LogShows("] " + e)) << c.name << ": " << e << "\n" << daemon->Log();
    }
  }
  EXPECT_TRUE(LogShows("broken.vbs[")) << daemon->Log();
  EXPECT_TRUE(LogShows("ended with exit status")) << daemon->Log();
}

TEST_F(ScriptRuns, OutputIsKeptWithinTheLimitPerRun) {
  // 200 lines of 1 KB: only the first 64 KB reach the log.
  Script("loud.sh",
         "#!/bin/sh\nline=$(head -c 1023 /dev/zero | tr '\\0' x)\n"
         "i=0; while [ $i -lt 200 ]; do echo \"$i $line\"; i=$((i+1)); done\n");
  StartAndGreet();
  Subscribe("loud.sh");
  Lamp("on");
  ASSERT_TRUE(LogShows("more bytes of output were not logged")) << daemon->Log().size();
  const std::string log = daemon->Log();
  EXPECT_NE(log.find("stdout: 0 xxx"), std::string::npos);
  EXPECT_EQ(log.find("stdout: 199 xxx"), std::string::npos);
  EXPECT_LT(log.size(), 100000u);
}

TEST_F(ScriptRuns, ARunPastTheTimeLimitIsEndedWithItsProcessGroup) {
  struct Case {
    const char* script;
    const char* body;
    const char* ending;  // how the log says it ended
  };
  const Case cases[] = {
      {"slow.sh", "sleep 30 & echo $! > \"$d/child.pid\"\nwait\n", "was ended by signal 15"},
      // Deaf to SIGTERM, so SIGKILL follows 5 s later.
      {"deaf.sh", "trap '' TERM\nsleep 30 & echo $! > \"$d/child.pid\"\nwait; wait\n",
       "was ended by signal 9"},
  };
  for (const Case& c : cases) {
    daemon = std::make_unique<Daemon>(
        "[Interface]\nBroadcastAddress=127.0.0.1\nInterfaceAddress=127.0.0.2\n",
        "[Scripts]\nMaxRunSeconds=1\n");
    const pid_t grandchild = StartHandlerWithChild(c.script, c.body);
    ASSERT_GT(grandchild, 0) << c.script;
    EXPECT_TRUE(LogShows("ran past the limit of 1 s", 3000)) << c.script << daemon->Log();
    EXPECT_TRUE(LogShows(c.ending, 8000)) << c.script << daemon->Log();
    EXPECT_TRUE(Gone(grandchild, 3000)) << c.script << ": the script's own child lives on";
    daemon->Signal(SIGTERM);
    EXPECT_EQ(daemon->WaitExit(), 0);
  }
}

TEST_F(ScriptRuns, ShutdownEndsTheScriptsStillRunning) {
  struct Case {
    const char* script;
    const char* body;
  };
  const Case cases[] = {
      {"hang.sh", "sleep 60 & echo $! > \"$d/child.pid\"\nwait\n"},
      {"deaf.sh", "trap '' TERM\nsleep 60 & echo $! > \"$d/child.pid\"\nwait; wait\n"},
  };
  for (const Case& c : cases) {
    daemon = std::make_unique<Daemon>();
    const pid_t grandchild = StartHandlerWithChild(c.script, c.body);
    ASSERT_GT(grandchild, 0) << c.script;
    daemon->Signal(SIGTERM);
    EXPECT_EQ(daemon->WaitExit(10000), 0) << c.script;
    EXPECT_TRUE(Gone(grandchild, 3000)) << c.script << " left behind";
    EXPECT_NE(daemon->Log().find("Ending 1 scripts still running"), std::string::npos)
        << daemon->Log();
  }
}

TEST_F(ScriptRuns, ShutdownEndsASpawnedJobStillRunning) {
  WriteFile(daemon->Root() + "/Hang.txt", "Sub Hang(p)\n  WScript.Sleep 60000\nEnd Sub\n");
  Script("spawn.vbs", "Set hs = CreateObject(\"Sablewick.Application\")\n"
                      "Set p = hs.Spawn(\"Hang.txt\", \"Hang\", \"\")\n"
                      "hs.SendUDPMessage \"pid \" & p.ProcessID\n");
  StartAndGreet();
  ASSERT_EQ(daemon->RunScript(daemon->Root() + "/Scripts/spawn.vbs"), 0);
  const std::string said = hub.ReceiveMessage().value_or("");
  ASSERT_EQ(said.rfind("pid ", 0), 0u) << said;
  const pid_t job = std::atoi(said.c_str() + 4);
  ASSERT_GT(job, 0);
  EXPECT_FALSE(Gone(job, 300)) << "the job should still run";
  daemon->Signal(SIGTERM);
  EXPECT_EQ(daemon->WaitExit(10000), 0);
  EXPECT_TRUE(Gone(job, 3000)) << "the job was left behind";
}

TEST_F(ScriptRuns, AStartupScriptInAnyLetterCaseRunsOnceAndItsSubscriptionsWork) {
  for (const char* name : {"Startup.vbs", "STARTUP.VBS", "startup.vbs"}) {
    daemon = std::make_unique<Daemon>();
    Script("handler.vbs", kFetchAll);
    Script(name,
           "Set hs = CreateObject(\"Sablewick.Application\")\n"
           "hs.SelectXapMessage \"\", \"xAPBSC.event\", \"\", \"\", \"handler.vbs\"\n"
           "hs.SendUDPMessage \"startup ran\"\n");
    StartAndGreet();
    EXPECT_EQ(hub.ReceiveMessage(5000).value_or("(none)"), "startup ran") << name;
    Lamp(name);
    EXPECT_EQ(Replies(1, 5000), std::vector<std::string>{name});
    EXPECT_FALSE(hub.ReceiveMessage(500)) << name << ": it ran once";
    EXPECT_TRUE(LogShows("Started " + std::string(name) + "[")) << daemon->Log();
    daemon->Signal(SIGTERM);
    EXPECT_EQ(daemon->WaitExit(), 0);
  }
}

TEST_F(ScriptRuns, ASubscriptionWhoseScriptCannotStartIsLoggedWhenItIsMade) {
  struct Case {
    const char* script;
    const char* logged;
  };
  const Case cases[] = {
      {"Missing.vbs", "Subscription 1: Scripts/Missing.vbs does not exist 0 \r\n"},
      {"", "Subscription 2: the script name is empty 0 \r\n"},
      {"plain.sh", "Subscription 3: Scripts/plain.sh is not executable (chmod +x it) 0 \r\n"},
  };
  WriteFile(daemon->Root() + "/Scripts/plain.sh", "#!/bin/sh\n");  // no execute bit
  StartAndGreet();
  for (const Case& c : cases) {
    Subscribe(c.script);
    EXPECT_TRUE(LogShows(c.logged, 2000)) << c.script << "\n" << daemon->Log();
  }
  Script("fine.vbs", kFetchAll);
  Subscribe("FINE.VBS");
  ::usleep(200000);
  EXPECT_EQ(daemon->Log().find("fine.vbs"), std::string::npos) << daemon->Log();
}

// The children of the process that are zombies now, on every thread of it.
std::vector<pid_t> ZombieChildren(pid_t parent) {
  std::vector<pid_t> out;
  std::error_code ec;
  for (const auto& task :
       std::filesystem::directory_iterator("/proc/" + std::to_string(parent) + "/task", ec)) {
    std::ifstream children(task.path() / "children");
    for (long pid; children >> pid;) {
      std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
      std::string text;
      std::getline(stat, text);
      const size_t close = text.rfind(')');
      if (close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'Z')
        out.push_back(static_cast<pid_t>(pid));
    }
  }
  return out;
}

// Every process that reaches the node is reaped as it ends, not by a timer or at the stop:
// 200 runs of a handler that leaves processes behind in each way a script can (a background
// job of a shell script, WScript.Shell Run and Exec without waiting), and no child of the
// node is seen a zombie for as long as a second.
TEST_F(ScriptRuns, NoProcessThatReachesTheNodeStaysAZombie) {
  Script("bg.sh", "#!/bin/sh\nsleep 0.1 &\n");
  Script("leaves.vbs",
         "Set sh = CreateObject(\"WScript.Shell\")\n"
         "sh.Run \"sleep 0.1\", 0, False\n"
         "Set e = sh.Exec(\"sleep 0.1\")\n"
         "sh.Run \"" +
             daemon->Root() +
             "/Scripts/bg.sh\", 0, False\n"
             "Set hs = CreateObject(\"Sablewick.Application\")\n"
             "Set m = hs.GetXapMessage(WScript.Arguments(0))\n"
             "If Not m Is Nothing Then hs.SendXapMessage \"\", \"test.reply\", "
             "\"Reply\", \"state\" & Chr(1) & m.GetItem(\"lamp\", \"state\"), \"\", "
             "\"\", \"\"\n");
  StartAndGreet();
  Subscribe("leaves.vbs");

  // Watches the node's children from another thread while the runs go on.
  std::atomic<bool> stop{false};
  std::atomic<int> longest{0};  // ms the longest-lived zombie was seen
  std::atomic<int> samples{0};
  const pid_t node = daemon->Pid();
  std::thread watcher([&] {
    using Clock = std::chrono::steady_clock;
    std::map<pid_t, Clock::time_point> seen;
    const auto end = Clock::now() + std::chrono::minutes(3);
    while (!stop && Clock::now() < end) {
      const auto now = Clock::now();
      std::map<pid_t, Clock::time_point> still;
      for (pid_t pid : ZombieChildren(node)) {
        const auto it = seen.find(pid);
        still[pid] = it == seen.end() ? now : it->second;
        const auto age =
            std::chrono::duration_cast<std::chrono::milliseconds>(now - still[pid]).count();
        if (age > longest) longest = static_cast<int>(age);
      }
      seen = std::move(still);
      ++samples;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });

  // One message at a time: each run fetches one and answers it, so there are 200 runs.
  int answered = 0;
  for (int i = 0; i < 200; ++i) {
    Lamp("m" + std::to_string(i));
    const std::vector<std::string> got = Replies(1, 5000);
    if (got != std::vector<std::string>{"m" + std::to_string(i)}) break;
    ++answered;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // the last sleeps end
  const std::vector<pid_t> left = ZombieChildren(node);
  stop = true;
  watcher.join();

  std::printf(
      "%d runs, %d samples of the node's children: the longest-lived zombie was seen "
      "for %d ms\n",
      answered, samples.load(), longest.load());
  EXPECT_EQ(answered, 200);
  EXPECT_GT(samples, 100);
  EXPECT_LT(longest, 1000) << "a child of the node stayed a zombie for " << longest << " ms";
  EXPECT_TRUE(left.empty()) << left.size() << " zombies after the runs";
  daemon->Signal(SIGTERM);
  EXPECT_EQ(daemon->WaitExit(), 0);
  EXPECT_EQ(daemon->Log().find("processes that scripts left behind"), std::string::npos)
      << daemon->Log();
}

}  // namespace
}  // namespace sablewick
