#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>

#include "ini/ConfigCheck.h"
#include "tests/daemon/DaemonFixture.h"

namespace sablewick {
namespace {

using testing::Daemon;
using testing::DaemonTest;
using testing::HostName;
using testing::Parse;
using testing::UdpSocket;

TEST_F(DaemonTest, StartsWithHeartbeatAndPortNoticeAndStopsOnSignals) {
  StartAndGreet();
  const XapMessage notice = Parse(Query("class=x\n", ""));  // keeps the parser linked
  (void)notice;
  EXPECT_TRUE(std::filesystem::is_directory(daemon->Root() + "/Data"));
  EXPECT_TRUE(std::filesystem::exists(daemon->Root() + "/Config/Sablewick.ini"));
  daemon->Signal(SIGTERM);
  EXPECT_EQ(daemon->WaitExit(), 0);
}

// A first start writes the settings with their comments, the installed examples byte for byte;
// the check finds nothing in them, the node reads them as its defaults, and a script's save
// changes only the line of the key it sets.
TEST_F(DaemonTest, FirstStartWritesTheCommentedSettings) {
  const std::string config = daemon->Root() + "/Config/";
  const std::string examples = std::string(SABLEWICK_SOURCE_DIR) + "/packaging/";
  const std::string drumlinExample = testing::ReadFile(examples + "Drumlin.ini.example");
  const std::string sablewickExample = testing::ReadFile(examples + "Sablewick.ini.example");
  ASSERT_NE(sablewickExample.find("\nUID=FF00E800\n"), std::string::npos);
  std::filesystem::remove(config + "Drumlin.ini");

  // Its defaults would send to the whole network: the folder's lock, held here, stops the
  // node after it wrote its files and before it made a socket.
  std::filesystem::create_directories(daemon->Root() + "/Data");
  const int lock =
      ::open((daemon->Root() + "/Data/sablewick.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(lock, 0);
  struct flock held {};
  held.l_type = F_WRLCK;
  held.l_whence = SEEK_SET;
  ASSERT_EQ(::fcntl(lock, F_OFD_SETLK, &held), 0);
  daemon->Start();
  EXPECT_EQ(daemon->WaitExit(10000), 1);
  ::close(lock);
  EXPECT_NE(daemon->Stderr().find("already runs from this folder"), std::string::npos)
      << daemon->Stderr();
  EXPECT_EQ(testing::ReadFile(config + "Drumlin.ini"), drumlinExample);
  EXPECT_EQ(testing::ReadFile(config + "Sablewick.ini"), sablewickExample);
  for (const Finding& f : CheckConfig(daemon->Root())) {
    ADD_FAILURE() << f.file << ":" << f.line << ": " << f.message;
  }

  // Loopback for the test, written over the defaults; the rest of the file stays.
  std::string drumlin = drumlinExample;
  for (const auto& [from, to] :
       {std::pair{"BroadcastAddress=Default", "BroadcastAddress=127.0.0.1"},
        std::pair{"InterfaceAddress=Default", "InterfaceAddress=127.0.0.2"}}) {
    const size_t at = drumlin.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    drumlin.replace(at, std::string_view(from).size(), to);
  }
  testing::WriteFile(config + "Drumlin.ini", drumlin);
  StartAndGreet();
  EXPECT_EQ(daemon->Log().find("Warning"), std::string::npos) << daemon->Log();
  EXPECT_EQ(testing::ReadFile(config + "Sablewick.ini"), sablewickExample);

  const std::string script = daemon->Root() + "/save.vbs";
  testing::WriteFile(script,
                     "Set hs = CreateObject(\"Sablewick.Application\")\n"
                     "hs.SaveIniSetting \"general\", \"uid\", \"AB12CD34\", \"Sablewick.ini\"\n");
  ASSERT_EQ(daemon->RunScript(script), 0);
  std::string expected = sablewickExample;
  expected.replace(expected.find("\nUID=FF00E800\n") + 1, 12, "UID=AB12CD34");
  EXPECT_EQ(testing::ReadFile(config + "Sablewick.ini"), expected);
  EXPECT_EQ(testing::ReadFile(config + "Sablewick.ini_bck"), sablewickExample);
  daemon->Signal(SIGTERM);
  EXPECT_EQ(daemon->WaitExit(), 0);
}

// Saves killed before their rename leave ".NAME.tmpPID-N" beside the file; a start removes
// those of processes that are gone.
TEST_F(DaemonTest, StartRemovesTheLeftoversOfKilledSaves) {
  const pid_t gone = ::fork();
  if (gone == 0) ::_exit(0);
  ::waitpid(gone, nullptr, 0);
  const std::string config = daemon->Root() + "/Config/";
  const std::string leftovers[] = {config + ".Sablewick.ini.tmp" + std::to_string(gone) + "-3",
                                   daemon->Root() + "/Scripts/.a.vbs.tmp" + std::to_string(gone) + "-1"};
  const std::string live = config + ".Drumlin.ini.tmp" + std::to_string(::getpid()) + "-1";
  for (const std::string& path : leftovers) testing::WriteFile(path, "half");
  testing::WriteFile(live, "in progress");
  StartAndGreet();
  for (const std::string& path : leftovers) EXPECT_FALSE(std::filesystem::exists(path)) << path;
  EXPECT_TRUE(std::filesystem::exists(live));
}

// SIGHUP reloads (tests/daemon/ReloadTest.cpp); SIGINT ends the node like SIGTERM.
TEST_F(DaemonTest, ExitsOnSigintButNotOnSighup) {
  StartAndGreet();
  daemon->Signal(SIGHUP);
  EXPECT_EQ(daemon->WaitExit(1000), -1) << "SIGHUP ended the node";
  daemon->Signal(SIGINT);
  EXPECT_EQ(daemon->WaitExit(), 0);
}

TEST_F(DaemonTest, QuotedUidReachesTheHeartbeatWithoutQuotes) {
  daemon = std::make_unique<Daemon>(
      "[Interface]\nBroadcastAddress=127.0.0.1\nInterfaceAddress=127.0.0.2\n",
      "[General]\nUID=\"AB12CD00\"\n");
  StartAndGreet(32768, "AB12CD00");
}

TEST_F(DaemonTest, ReportsMadeDuringStartUpGoOutJustAheadOfThePortNotice) {
  daemon = std::make_unique<Daemon>(
      "[Interface]\nBroadcastAddress=127.0.0.1\njunk line\nInterfaceAddress=127.0.0.2\n");
  daemon->Start();
  auto hb = hub.Receive();
  ASSERT_TRUE(hb);
  EXPECT_EQ(hb->rfind("xap-hbeat", 0), 0u);
  auto early = hub.Receive();
  ASSERT_TRUE(early);
  const XapMessage m = Parse(*early);
  EXPECT_EQ(m.GetItem("Event.Log", "Type"), "IniTool");
  EXPECT_EQ(m.GetItem("Event.Log", "Data"), " Equal sign not found on line junk line");
  auto notice = hub.Receive();
  ASSERT_TRUE(notice);
  EXPECT_EQ(Parse(*notice).GetItem("Event.Log", "Data"), "Using xAP port  32768");
}

TEST_F(DaemonTest, AnswersRoleAndEchoQueries) {
  StartAndGreet();
  hub.SendTo(port, Query("class=Homeseer.Role\n", "Role.Query\n{\nRole=ANY\n}\n"));
  auto role = hub.ReceiveMessage();
  ASSERT_TRUE(role);
  const XapMessage r = Parse(*role);
  EXPECT_EQ(r.MsgClass, "Homeseer.Role");
  EXPECT_EQ(r.msgSource, "Orbel.Script." + HostName());
  EXPECT_EQ(r.MsgTarget, "Unknown");  // no target line
  EXPECT_EQ(r.GetItem("Role.Notification", "Role"), "Application");
  EXPECT_EQ(r.GetItem("Role.Notification", "Path"), daemon->Root() + "/sablewick");

  // A role query for someone else is not answered: the next thing we hear is the echo reply.
  hub.SendTo(port, Query("class=Homeseer.Role\ntarget=other.node.x\n",
                         "Role.Query\n{\nRole=any\n}\n"));
  hub.SendTo(port, Query("class=WDT.Echo\ntarget=Orbel.Script.*\n",
                         "Echo.Query\n{\nQuery=AbC\n}\n"));
  auto echo = hub.ReceiveMessage();
  ASSERT_TRUE(echo);
  const XapMessage e = Parse(*echo);
  EXPECT_EQ(e.MsgClass, "WDT.Echo");
  EXPECT_EQ(e.MsgTarget, "acme.tool.pc");
  EXPECT_EQ(e.MsgUID, "FF00E800");
  EXPECT_EQ(e.GetItem("Echo.Response", "Response"), "abc");
}

// The echo answer byte for byte: a watchdog on another machine compares what comes back, and
// a hub passes it on as it is. Queries unlike the common one (long texts, a subaddress, stray
// spaces and carriage returns, bytes beyond ASCII, an empty query) get what they always got.
TEST_F(DaemonTest, EchoAnswersKeepTheirBytes) {
  StartAndGreet();
  const std::string self = "Orbel.Script." + HostName();
  const std::string longSource = "acme.building-management.north-wing.floor-3:room.42.dimmer";
  const std::string longQuery(200, 'Q');
  struct Case {
    std::string header, query, target, response;
  } cases[] = {
      {"class=WDT.Echo\n", "AbC", "acme.tool.pc", "abc"},
      {"class=wdt.echo\ntarget=" + self + "\n", "Mixed Case 12", "acme.tool.pc", "mixed case 12"},
      {"class=WDT.Echo\ntarget=Orbel.Script.*\n", "  spaced  ", "acme.tool.pc", "  spaced  "},
      {"class=WDT.Echo\n", "crlf\r", "acme.tool.pc", "crlf\r"},
      {"class=WDT.Echo\n", "", "acme.tool.pc", ""},
      {"class=WDT.Echo\n", "Gr\xc3\xbc\xc3\x9f \xc3\x84 \xff", "acme.tool.pc",
       "gr\xc3\xbc\xc3\x9f \xc3\x84 \xff"},
      {"class=WDT.Echo\n", longQuery, "acme.tool.pc", std::string(200, 'q')},
      {"class=WDT.Echo\nsource=" + longSource + "\n", "x", longSource, "x"},
  };
  for (const Case& c : cases) {
    std::string query = Query(c.header, "Echo.Query\n{\nQuery=" + c.query + "\n}\n");
    if (c.target != "acme.tool.pc") {
      // A sender of its own, with a long address and a subaddress.
      query = "xap-header\n{\nv=12\nhop=1\nuid=FF123400\n" + c.header +
              "}\nEcho.Query\n{\nQuery=" + c.query + "\n}\n";
    }
    hub.SendTo(port, query);
    auto answer = hub.ReceiveMessage();
    ASSERT_TRUE(answer) << c.query;
    EXPECT_EQ(*answer, "xap-header\n{\nv=12\nhop=1\nuid=FF00E800\nclass=WDT.Echo\nsource=" + self +
                           "\ntarget=" + c.target +
                           "\n}\nEcho.Response\n{\nResponse=" + c.response + "\n}\n")
        << c.query;
  }
}

TEST_F(DaemonTest, TakesJunkWithoutHarm) {
  StartAndGreet();
  const std::string junk[] = {"", "xap-header", "xap-header\n}\n}\n}\n", std::string(3000, '}'),
                              std::string("xap-header\n{\n\0\0=\n}\n\n", 20), "\xff\xfe\n=\n"};
  for (const std::string& j : junk) hub.SendTo(port, j);
  hub.SendTo(port, Query("class=WDT.Echo\n", "Echo.Query\n{\nQuery=still-alive\n}\n"));
  auto echo = hub.ReceiveMessage();
  ASSERT_TRUE(echo);
  EXPECT_EQ(Parse(*echo).GetItem("Echo.Response", "Response"), "still-alive");
}

// Standard error on a pipe that nobody drains (a stalled supervisor or pager): the copy of the
// log lines there fills it, and the node must still answer, log every line to its file and
// stop on SIGTERM. Once the pipe is read again, one line says how many lines it missed.
TEST_F(DaemonTest, StandardErrorThatNobodyReadsNeverHoldsTheNode) {
  int pipeFds[2];
  ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
  StartAndGreet(32768, "FF00E800", pipeFds[1]);
  ::close(pipeFds[1]);
  // Each logs one line ("... repeated items ignored"); together several times the pipe.
  const std::string junk = Query("class=x\n", "a\n{\nb=1\nb=2\n}\n");
  const int kJunk = 4000;
  for (int i = 0; i < kJunk; ++i) {
    hub.SendTo(port, junk);
    if (i % 200 == 199) ::usleep(20000);  // at a pace the receive buffer takes
  }
  hub.SendTo(port, Query("class=WDT.Echo\n", "Echo.Query\n{\nQuery=still-alive\n}\n"));
  auto echo = hub.ReceiveMessage(10000);
  ASSERT_TRUE(echo) << "the node stopped answering";
  EXPECT_EQ(Parse(*echo).GetItem("Echo.Response", "Response"), "still-alive");
  const std::string log = daemon->Log();
  const size_t logged = static_cast<size_t>(std::count(log.begin(), log.end(), '\n'));
  EXPECT_GT(logged, static_cast<size_t>(kJunk / 2)) << "the log file is the record";

  // Drain the pipe, then one more logged line: the notice of what was dropped comes first.
  ::fcntl(pipeFds[0], F_SETFL, O_NONBLOCK);
  std::string seen(1 << 20, '\0');
  size_t total = 0;
  for (ssize_t n; (n = ::read(pipeFds[0], seen.data(), seen.size())) > 0;)
    total += static_cast<size_t>(n);
  EXPECT_GT(total, 0u);
  hub.SendTo(port, junk);
  std::string after;
  for (int i = 0; i < 300 && after.find("repeated items") == std::string::npos; ++i) {
    ::usleep(10000);
    const ssize_t n = ::read(pipeFds[0], seen.data(), seen.size());
    if (n > 0) after.append(seen.data(), static_cast<size_t>(n));
  }
  EXPECT_NE(after.find("log line(s) not shown here"), std::string::npos) << after;
  EXPECT_LT(after.find("not shown here"), after.find("repeated items")) << after;

  daemon->Signal(SIGTERM);
  EXPECT_EQ(daemon->WaitExit(), 0);
  ::close(pipeFds[0]);
}

TEST_F(DaemonTest, SearchesUpwardForAFreePort) {
  UdpSocket taken1(32768), taken2(32769);
  ASSERT_TRUE(taken1.Bound() && taken2.Bound());
  StartAndGreet(32770);
}

TEST_F(DaemonTest, EndsWithOneLogLineWhenNoPortIsFree) {
  std::vector<std::unique_ptr<UdpSocket>> taken;
  for (int p = 32768; p < 32768 + 200; ++p) {
    taken.push_back(std::make_unique<UdpSocket>(p));
    ASSERT_TRUE(taken.back()->Bound()) << p;
  }
  daemon->Start();
  EXPECT_EQ(daemon->WaitExit(), 1);
  const std::string log = daemon->Log();
  // The failure in the same words as on standard error, naming the folder.
  const std::string said = "xAP Init Error -1 occurred: cannot start: ";
  EXPECT_NE(log.find(" | Sablewick " + said), std::string::npos) << log;
  EXPECT_NE(log.find("(install folder " + daemon->Root() + ", settings read from " +
                     daemon->Root() + "/Config) 0 \r\n"),
            std::string::npos)
      << log;
  const std::string err = daemon->Stderr();
  const std::string words = err.substr(err.find("sablewick: cannot start: ") + 11);
  EXPECT_NE(log.find(words.substr(0, words.find('\n'))), std::string::npos) << err << log;
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
  EXPECT_FALSE(hub.Receive(200)) << "nothing may be sent";
}

}  // namespace
}  // namespace sablewick
