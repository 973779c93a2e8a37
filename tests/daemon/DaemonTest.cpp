#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>

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
  EXPECT_EQ(testing::ReadFile(daemon->Root() + "/Config/Sablewick.ini"), "");
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

TEST_F(DaemonTest, ExitsOnSigintAndSighupToo) {
  for (int sig : {SIGINT, SIGHUP}) {
    daemon = std::make_unique<Daemon>();
    StartAndGreet();
    daemon->Signal(sig);
    EXPECT_EQ(daemon->WaitExit(), 0) << sig;
  }
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
  EXPECT_NE(log.find(" | Sablewick xAP Init Error -1 occurred 0 \r\n"), std::string::npos) << log;
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
  EXPECT_FALSE(hub.Receive(200)) << "nothing may be sent";
}

}  // namespace
}  // namespace sablewick
