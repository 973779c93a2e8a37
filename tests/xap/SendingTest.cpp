#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <filesystem>

#include "core/Log.h"
#include "script/Dispatcher.h"
#include "tests/TestSupport.h"
#include "xap/SendHelper.h"
#include "xap/Transport.h"

namespace sablewick {
namespace {

using testing::TestApp;

TEST(SendHelper, UidCompletion) {
  struct Case {
    const char* given;
    const char* sent;
  } cases[] = {{"", "FF00E800"}, {"01", "FF00E801"}, {"1", "1"}, {"012", "012"},
               {"12345678", "12345678"}};
  TestApp t;
  for (const Case& c : cases) {
    SendXap(t.app, "", "c", "s", "", "", c.given, "");
    EXPECT_EQ(t.sink.sent.back().uid, c.sent) << c.given;
  }
}

TEST(SendHelper, HoldsMessagesUntilReadyAndSendsThemInOrderWithTheNextCall) {
  TestApp t;
  t.app.xapReady = false;
  SendXap(t.app, "", "c", "first", "");
  SendXap(t.app, "", "c", "second", "", "", "01");
  t.app.UID = "AB00CD00";  // a queued message keeps the UID worked out when it was queued
  SendXap(t.app, "", "c", "third", "");
  EXPECT_TRUE(t.sink.sent.empty());
  t.app.xapReady = true;
  SendXap(t.app, "x.y.z", "c", "fourth", ItemList({{"a", "1"}}), "sub", "", "tsub");
  ASSERT_EQ(t.sink.sent.size(), 4u);
  EXPECT_EQ(t.sink.sent[0].section, "first");
  EXPECT_EQ(t.sink.sent[0].uid, "FF00E800");
  EXPECT_EQ(t.sink.sent[1].uid, "FF00E801");
  EXPECT_EQ(t.sink.sent[2].uid, "AB00CD00");
  EXPECT_EQ(t.sink.sent[3].uid, "AB00CD00");
  EXPECT_EQ(t.sink.sent[3].target, "x.y.z");
  EXPECT_EQ(t.sink.sent[3].subaddress, "sub");
  EXPECT_EQ(t.sink.sent[3].targetSubaddress, "tsub");
  EXPECT_TRUE(t.app.sendQueue.empty());
}

// A sender that fails for the section "bad".
class FailingSink : public testing::RecordingSink {
 public:
  void SendXap(std::string_view target, std::string_view cls, std::string_view section,
               std::string_view data, std::string_view subaddress, std::string_view uid,
               std::string_view targetSubaddress) override {
    if (section == "bad") throw Failure(kGenericFailure, "Message too long");
    RecordingSink::SendXap(target, cls, section, data, subaddress, uid, targetSubaddress);
  }
};

TEST(SendHelper, FailuresAreLoggedOrReachTheCallerAndHoldNothingBack) {
  TestApp t;
  FailingSink sink;
  t.app.sink = &sink;
  t.app.xapReady = false;
  SendXap(t.app, "", "c", "first", "");
  SendXap(t.app, "", "c", "bad", "d1");
  SendXap(t.app, "", "c", "third", "");
  t.app.xapReady = true;
  EXPECT_THROW(SendXapOrThrow(t.app, "", "c", "bad", "d2"), Failure);
  SendXap(t.app, "", "c", "bad", "d3");
  SendXap(t.app, "", "c", "last", "");
  ASSERT_EQ(sink.sent.size(), 3u);
  EXPECT_EQ(sink.sent[1].section, "third");
  EXPECT_EQ(sink.sent[2].section, "last");
  EXPECT_EQ(t.Log(),
            "3/4/2026 3:06:07 PM | Sablewick SendXap  d1 0 Message too long\r\n"
            "3/4/2026 3:06:07 PM | Sablewick SendXap  d3 0 Message too long\r\n");
}

// The data of a failed send is an item list: its separators (0 between items, 1 after a name)
// and whatever a value holds (a CR LF that would start a forged line) show as escapes, and
// the line stays one line.
TEST(SendHelper, AFailedSendIsLoggedOnOneLineWithItsSeparatorsReadable) {
  TestApp t;
  FailingSink sink;
  t.app.sink = &sink;
  SendXap(t.app, "", "c", "bad",
          ItemList({{"state", "on"}, {"note", "x\r\n3/4/2026 3:06:07 PM | Sablewick forged"}}));
  EXPECT_EQ(t.Log(),
            "3/4/2026 3:06:07 PM | Sablewick SendXap  state\\x01on\\x00note\\x01x\\r\\n3/4/2026 "
            "3:06:07 PM | Sablewick forged 0 Message too long\r\n");
}

TEST(EventReport, MessageShapeAndErrorSuffix) {
  TestApp t;
  ReportEvent(t.app, "Sablewick", "Using xAP port  32768");
  t.app.Err = {11, 3, "Division by zero"};
  ReportEvent(t.app, "IniTool", "Oops");
  ASSERT_EQ(t.sink.sent.size(), 2u);
  const auto& plain = t.sink.sent[0];
  EXPECT_EQ(plain.target, "");
  EXPECT_EQ(plain.cls, "Homeseer.Event");
  EXPECT_EQ(plain.section, "Event.Log");
  EXPECT_EQ(plain.Items(), "Time=3/4/2026 3:06:07 PM|Type=Sablewick|Data=Using xAP port  32768");
  EXPECT_EQ(t.sink.sent[1].Items(),
            "Time=3/4/2026 3:06:07 PM|Type=IniTool|Data=Oops Line 3 Division by zero");
  EXPECT_FALSE(t.app.Err.IsSet());
}

TEST(LogFile, LineFormat) {
  TestApp t;
  LogToFile(t.app, "Sablewick", "a | b");
  t.app.Err = {5, 2, "Invalid procedure call"};
  LogToFile(t.app, "From XAP", "");
  EXPECT_EQ(t.Log(),
            "3/4/2026 3:06:07 PM | Sablewick a | b 0 \r\n"
            "3/4/2026 3:06:07 PM | From XAP  2 Invalid procedure call\r\n");
  EXPECT_FALSE(t.app.Err.IsSet());
  // The error's text is escaped too: a description from outside cannot start a line.
  t.app.Err = {5, 1, "bad\nline"};
  LogToFile(t.app, "Sablewick", "x");
  EXPECT_TRUE(t.Log().ends_with("| Sablewick x 1 bad\\nline\r\n")) << t.Log();
}

TEST(LogFile, MissingDataFolderLosesTheLineSilently) {
  TestApp t;
  t.app.AppPath = t.dir.Path() + "/nowhere";
  t.app.Err = {5, 1, "x"};
  LogToFile(t.app, "Sablewick", "lost");
  EXPECT_FALSE(t.app.Err.IsSet());
}

// The file stays open between lines, yet a line after the file was renamed (rotation) or
// deleted goes to a new file at the path.
TEST(LogFile, KeptOpenAndFollowsRotationAndDeletion) {
  TestApp t;
  const std::string path = t.dir.Path() + "/Data/Sablewick.txt";
  const auto openOnLog = [&] {
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
      std::error_code ec;
      if (std::filesystem::read_symlink(fd.path(), ec) == path) return true;
    }
    return false;
  };
  LogToFile(t.app, "one", "");
  EXPECT_TRUE(openOnLog());
  std::filesystem::rename(path, path + ".1");
  LogToFile(t.app, "two", "");
  EXPECT_EQ(testing::ReadFile(path + ".1"), "3/4/2026 3:06:07 PM | one  0 \r\n");
  EXPECT_EQ(t.Log(), "3/4/2026 3:06:07 PM | two  0 \r\n");
  std::filesystem::remove(path);
  LogToFile(t.app, "three", "");
  EXPECT_EQ(t.Log(), "3/4/2026 3:06:07 PM | three  0 \r\n");
  t.app.AppPath = t.dir.Path() + "/nowhere";
  LogToFile(t.app, "lost", "");
  EXPECT_FALSE(openOnLog());
}

TEST(StepRunner, ReportsEachFailureWithTheOperationAndGoesOn) {
  TestApp t;
  StepRunner step(t.app, "Sablewick", "InitApplication", ReportVia::Event);
  int ran = 0;
  step([&] { ++ran; });
  step([&] { throw Failure(13, "Type mismatch"); });
  step([&] { ++ran; });
  step([&] { throw std::runtime_error("boom"); });
  EXPECT_EQ(ran, 2);
  EXPECT_EQ(step.Failures(), 2);
  ASSERT_EQ(t.sink.sent.size(), 2u);
  EXPECT_NE(t.sink.sent[0].Items().find("Data=InitApplication Line 2 Type mismatch"),
            std::string::npos);
  EXPECT_NE(t.sink.sent[1].Items().find("Data=InitApplication Line 4 boom"), std::string::npos);
}

TEST(CreateFolders, CreatesTheFoldersOfAFilePathOnly) {
  TestApp t;
  const std::string base = t.dir.Path();
  CreateFolders(t.app, base + "/a/b/f.txt");
  EXPECT_TRUE(std::filesystem::is_directory(base + "/a/b"));
  EXPECT_FALSE(std::filesystem::exists(base + "/a/b/f.txt"));
  CreateFolders(t.app, base + "/a/b/f.txt");  // all there: nothing happens, nothing reported
  CreateFolders(t.app, "rel/x/f.txt");         // relative: nothing
  EXPECT_FALSE(std::filesystem::exists("rel"));
  EXPECT_TRUE(t.sink.sent.empty());
}

TEST(CreateFolders, ReportsAFolderThatCannotBeMadeAndGoesOn) {
  TestApp t;
  testing::WriteFile(t.dir.Path() + "/file", "x");
  CreateFolders(t.app, t.dir.Path() + "/file/sub/f.txt");
  ASSERT_EQ(t.sink.sent.size(), 2u);  // "file/sub" is reported too: the loop goes on
  EXPECT_NE(t.sink.sent[0].Items().find("Data= CreateFolders " + t.dir.Path() + "/file Line 0 "),
            std::string::npos)
      << t.sink.sent[0].Items();
}

class DispatcherTest : public ::testing::Test {
 protected:
  DispatcherTest() : dispatcher(t.app) {
    t.app.xap = std::make_unique<XapTransport>(t.app);
    t.app.xap->SetXapSource("Orbel.Script.host");
    t.app.ProgramPath = "/opt/Sablewick/sablewick";
  }
  void Receive(const std::string& header, const std::string& body) {
    dispatcher.Readmessage("xap-header\n{\nv=12\nhop=1\nuid=FF123400\nsource=acme.tool.pc\n" +
                           header + "}\n" + body);
  }
  TestApp t;
  Dispatcher dispatcher;
};

TEST_F(DispatcherTest, RoleQueries) {
  struct Case {
    const char* header;
    const char* role;
    bool answered;
  } cases[] = {
      {"class=Homeseer.Role\n", "application", true},
      {"class=HOMESEER.ROLE\ntarget=Orbel.Script.host\n", "ANY", true},
      {"class=Homeseer.Role\ntarget=Orbel.Script.*\n", "Application", true},
      {"class=Homeseer.Role\ntarget=other.node.x\n", "any", false},
      {"class=Homeseer.Role\n", "Other", false},
  };
  for (const Case& c : cases) {
    t.sink.sent.clear();
    Receive(c.header, std::string("Role.Query\n{\nRole=") + c.role + "\n}\n");
    ASSERT_EQ(t.sink.sent.size(), c.answered ? 1u : 0u) << c.header << c.role;
    if (c.answered) {
      EXPECT_EQ(t.sink.sent[0].cls, "Homeseer.Role");
      EXPECT_EQ(t.sink.sent[0].section, "Role.Notification");
      EXPECT_EQ(t.sink.sent[0].target, "");
      EXPECT_EQ(t.sink.sent[0].Items(), "Role=Application|Path=/opt/Sablewick/sablewick");
    }
  }
  EXPECT_EQ(dispatcher.MessageCounter, 5u);
}

TEST_F(DispatcherTest, EchoQueries) {
  Receive("class=WDT.Echo\n", "Echo.Query\n{\nQuery=AbC\n}\n");
  ASSERT_EQ(t.sink.sent.size(), 1u);
  EXPECT_EQ(t.sink.sent[0].target, "acme.tool.pc");
  EXPECT_EQ(t.sink.sent[0].cls, "WDT.Echo");
  EXPECT_EQ(t.sink.sent[0].section, "Echo.Response");
  EXPECT_EQ(t.sink.sent[0].Items(), "Response=abc");
  Receive("class=WDT.Echo\ntarget=other.node\n", "Echo.Query\n{\nQuery=x\n}\n");
  Receive("class=WDT.Echo\n", "Echo.Query\n{\nNotQuery=x\n}\n");
  EXPECT_EQ(t.sink.sent.size(), 1u);
}

TEST(ReceiveQueue, FilterOrderAndLimit) {
  TestApp t;
  XapTransport xap(t.app);
  xap.ProcessReceivedMessage("XAP-HEADER\n1");
  xap.ProcessReceivedMessage("xap-hbeat\n2");
  xap.ProcessReceivedMessage("xap-header\n3");
  EXPECT_EQ(xap.GetMessage(), "XAP-HEADER\n1");
  EXPECT_EQ(xap.GetMessage(), "xap-header\n3");
  EXPECT_EQ(xap.GetMessage(), "");
  xap.FilterHeartbeats = false;
  xap.ProcessReceivedMessage("xap-hbeat\n2");
  EXPECT_EQ(xap.GetMessage(), "xap-hbeat\n2");

  // A flood beyond the limit is dropped and counted, with one log line.
  for (size_t i = 0; i <= XapTransport::kQueueMaxDatagrams + 5; ++i) {
    xap.ProcessReceivedMessage("xap-header\n");
  }
  EXPECT_EQ(xap.QueueLength(), XapTransport::kQueueMaxDatagrams);
  EXPECT_EQ(xap.Dropped(), 6u);
  const std::string log = t.Log();
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
  EXPECT_NE(log.find("Receive queue full: 1 datagrams dropped"), std::string::npos) << log;
}

// A burst the loop cannot read in time overflows the socket's buffer: the kernel's drops are
// counted and logged, and with what was read they account for every datagram sent.
// A transport listening on loopback, and a peer's socket that sends to its port.
struct TransportOnLoopback : ::testing::Test {
  void SetUp() override {
    xap.BroadcastAddress = "127.0.0.1";
    xap.InterfaceAddress = "127.0.0.2";
    ASSERT_GT(xap.Init(), 0) << xap.InitProblem();
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(xap.ListenPort()));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  }
  ~TransportOnLoopback() override { ::close(out); }
  bool Send(std::string_view d) const {
    return ::sendto(out, d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                    sizeof to) == static_cast<ssize_t>(d.size());
  }

  TestApp t;
  XapTransport xap{t.app};
  const int out = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in to{};
};

TEST_F(TransportOnLoopback, KernelDropsAreCountedAndLogged) {
  const std::string datagram = "xap-header\n" + std::string(1000, 'x');
  constexpr int kSent = 40000;  // far beyond what 8 MB of socket buffer holds
  const auto send = [&] { return Send(datagram); };
  // Until the queue has not grown for 20 ms: under a flood the socket rests a moment between
  // reads, so an empty turn of the loop does not yet mean everything was read.
  const auto readAll = [&] {
    size_t before = SIZE_MAX;
    for (int i = 0; i < 1000 && xap.QueueLength() != before; ++i) {
      before = xap.QueueLength();
      for (const gint64 until = g_get_monotonic_time() + 20000; g_get_monotonic_time() < until;) {
        while (g_main_context_iteration(nullptr, FALSE)) {
        }
        g_usleep(1000);
      }
    }
  };
  for (int i = 0; i < kSent; ++i) ASSERT_TRUE(send());
  readAll();
  // The kernel's count rides on the datagrams queued after a drop: the next one brings it.
  ASSERT_TRUE(send());
  readAll();
  EXPECT_GT(xap.KernelDropped(), 0u);
  EXPECT_EQ(xap.QueueLength() + xap.KernelDropped(), static_cast<uint64_t>(kSent + 1));
  const std::string log = t.Log();
  EXPECT_NE(log.find("| Sablewick Receive socket full: "), std::string::npos) << log;
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
}

// Datagrams are read many at a time: every size up to the largest a datagram can carry comes
// through whole, in order, however small and large ones follow each other.
TEST_F(TransportOnLoopback, DatagramsOfEverySizeArriveWholeAndInOrder) {
  const size_t sizes[] = {11, 300, 4095, 4096, 4097, 65507, 12, 65507, 65507, 2000, 65000};
  std::vector<std::string> sent;
  for (int round = 0; round < 5; ++round) {
    for (size_t size : sizes) {
      std::string d = "xap-header\n" + std::to_string(sent.size()) + "\n";
      for (size_t i = d.size(); i < size; ++i) d += static_cast<char>('a' + (i * 7 + size) % 26);
      d.resize(size);
      ASSERT_TRUE(Send(d));
      sent.push_back(std::move(d));
    }
    // Read after each round: a round fits the socket's buffer.
    for (int i = 0; i < 1000 && xap.QueueLength() < sent.size(); ++i) {
      g_main_context_iteration(nullptr, FALSE);
    }
  }
  ASSERT_EQ(xap.QueueLength(), sent.size());
  for (size_t i = 0; i < sent.size(); ++i) {
    const std::string got = xap.GetMessage();
    EXPECT_EQ(got.size(), sent[i].size()) << i;
    EXPECT_TRUE(got == sent[i]) << i;
  }
  EXPECT_EQ(xap.KernelDropped(), 0u);
}

// Under a flood the socket rests a moment between reads. Every datagram of the flood still
// arrives, and once it is over the socket is watched again: a single datagram that follows wakes
// a loop that has nothing else to do.
TEST_F(TransportOnLoopback, AfterAFloodTheSocketIsWatchedAgain) {
  const auto send = [&](int i) {
    return Send("xap-header\n" + std::to_string(i) + "\n");
  };
  // Waits in the loop (blocking, as the node does) until the queue holds `count`, at most 2 s.
  const auto waitFor = [&](size_t count) {
    bool late = false;
    const guint guard = g_timeout_add(
        2000,
        [](gpointer p) -> gboolean {
          *static_cast<bool*>(p) = true;
          return G_SOURCE_REMOVE;
        },
        &late);
    for (int i = 0; i < 100000 && !late && xap.QueueLength() < count; ++i) {
      g_main_context_iteration(nullptr, TRUE);
    }
    if (!late) g_source_remove(guard);
    return xap.QueueLength() >= count;
  };
  constexpr int kFlood = 3000;  // several batches within a millisecond, well within the buffer
  for (int i = 0; i < kFlood; ++i) ASSERT_TRUE(send(i));
  ASSERT_TRUE(waitFor(kFlood)) << xap.QueueLength();
  // Quiet for longer than a rest, then one more: only the socket's watch can wake the loop.
  for (int i = 0; i < 20; ++i) {
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
    g_usleep(1000);
  }
  ASSERT_TRUE(send(kFlood));
  EXPECT_TRUE(waitFor(kFlood + 1)) << "the datagram after the flood was not read";
  for (int round = 0; round < 3; ++round) {  // floods come and go
    for (int i = 0; i < kFlood; ++i) ASSERT_TRUE(send(i));
    EXPECT_TRUE(waitFor(static_cast<size_t>((round + 2) * kFlood + 1))) << round;
  }
  EXPECT_EQ(xap.KernelDropped(), 0u);
  const std::string first = xap.GetMessage();
  EXPECT_EQ(first, "xap-header\n0\n");
}

TEST(Transport, AddressFitsMask) {
  struct Case {
    const char* mask;
    const char* address;
    bool fits;
  } cases[] = {
      {"255.255.255.255", "10.0.0.5", true}, {"192.168.1.255", "192.168.1.17", true},
      {"192.168.1.255", "10.0.0.5", false},  {"Default", "10.0.0.5", false},
      {"127.0.0.2", "127.0.0.1", false},     {"127.0.0.2", "127.0.0.2", true},
      {"1.2.3", "1.2.3.4", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(XapTransport::AddressFitsMask(c.mask, c.address), c.fits)
        << c.mask << " / " << c.address;
  }
  EXPECT_THROW(XapTransport::AddressFitsMask("a.b.c.d", "1.2.3.4"), Failure);
}

}  // namespace
}  // namespace sablewick
