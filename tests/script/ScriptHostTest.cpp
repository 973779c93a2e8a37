#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "core/Log.h"
#include "engine/Engine.h"
#include "script/Application.h"
#include "script/Dispatcher.h"
#include "script/Script.h"
#include "script/ScriptObjects.h"
#include "tests/TestSupport.h"
#include "xap/Transport.h"

namespace sablewick {
namespace {

using testing::ReadFile;
using testing::TestApp;
using testing::WriteFile;

// A node with a dispatcher whose script starts are recorded instead of run.
struct HostFixture : ::testing::Test {
  HostFixture() {
    t.app.ExePath = t.dir.Path() + "/sablewick";
    t.app.xap = std::make_unique<XapTransport>(t.app);
    t.app.xap->SetXapSource("Orbel.Script.host");
    t.app.dispatcher = std::make_unique<Dispatcher>(t.app);
    t.app.dispatcher->StartScript = [this](const std::string& script, int position) {
      starts.emplace_back(script, position);
    };
    api = vbs::MakeObject<Application>(t.app);
  }
  Dispatcher& D() { return *t.app.dispatcher; }
  void Receive(const std::string& header, const std::string& body = "Lamp\n{\nstate=on\n}\n") {
    D().Readmessage("xap-header\n{\nv=12\nhop=1\nuid=FF123400\n" + header + "}\n" + body);
  }
  std::string Scripts() const { return t.dir.Path() + "/scripts/"; }

  TestApp t;
  vbs::ObjectPtr<Application> api;
  std::vector<std::pair<std::string, int>> starts;
};

TEST_F(HostFixture, SubscribeStoresLowerCaseFiltersAndTheScriptPathAsWrittenOnce) {
  api->SelectXapMessage("Orbel.Script.*", "xAPBSC.Event", "Lamp", "Acme.>", "OnLamp.vbs");
  api->SelectXapMessage("orbel.script.*", "XAPBSC.EVENT", "lamp", "acme.>", "onlamp.VBS");
  ASSERT_EQ(D().Subscriptions.size(), 1u);
  const ScriptVBS s = D().Subscriptions[0];
  EXPECT_EQ(s.Target, "orbel.script.*");
  EXPECT_EQ(s.Schema, "xapbsc.event");
  EXPECT_EQ(s.Section, "lamp");
  EXPECT_EQ(s.Source, "acme.>");
  // The path names a file that exists (or would): not lower-cased; matched without case.
  EXPECT_EQ(s.Script, t.dir.Path() + "/Scripts/OnLamp.vbs");
  // A file on disk gives its own spelling.
  WriteFile(t.dir.Path() + "/Scripts/OFFLAMP.vbs", "");
  api->SelectXapMessage("", "", "", "", "offlamp.vbs");
  ASSERT_EQ(D().Subscriptions.size(), 2u);
  EXPECT_EQ(D().Subscriptions[1].Script, t.dir.Path() + "/Scripts/OFFLAMP.vbs");
  D().Subscriptions.pop_back();

  // Removal wants the stored forms exactly; the source takes no part.
  api->DeSelectXapMessage("Orbel.Script.*", "xAPBSC.Event", "Lamp", "", s.Script);
  api->DeSelectXapMessage("orbel.script.*", "xapbsc.event", "lamp", "", "OnLamp.vbs");
  EXPECT_EQ(D().Subscriptions.size(), 1u);
  api->DeSelectXapMessage("orbel.script.*", "xapbsc.event", "lamp", "anything", s.Script);
  EXPECT_TRUE(D().Subscriptions.empty());
}

TEST_F(HostFixture, FiltersDecideWhoGetsAMessage) {
  struct Case {
    const char *target, *cls, *section, *source;
    bool gets;
  } cases[] = {
      {"", "", "", "", true},
      {"", "xapbsc.event", "", "", true},
      {"", "xapbsc.*", "", "", false},  // no wildcards in the class filter
      {"", "", "", "acme.lamp.*", true},
      {"", "", "", "acme.>", true},
      {"", "", "", "other.>", false},
      {"*", "", "", "", true},  // a message without a target passes "*"
      {"", "", "LAMP", "", true},
      {"", "", "dimmer", "", false},
  };
  for (const Case& c : cases) {
    D().Subscriptions.clear();
    starts.clear();
    api->SelectXapMessage(c.target, c.cls, c.section, c.source, "s.vbs");
    Receive("class=xAPBSC.event\nsource=acme.lamp.kitchen\n");
    EXPECT_EQ(starts.size(), c.gets ? 1u : 0u)
        << c.target << "|" << c.cls << "|" << c.section << "|" << c.source;
  }
}

TEST_F(HostFixture, QueueStartsOneScriptPerSubscriptionAndScriptsFetchUntilNothing) {
  api->SelectXapMessage("", "", "", "", "a.vbs");
  api->SelectXapMessage("", "", "", "", "b.vbs");
  Receive("class=a.b\nsource=x.y.z\n");
  ASSERT_EQ(starts.size(), 2u);
  EXPECT_EQ(starts[0].second, 1);
  EXPECT_EQ(starts[1].second, 2);
  EXPECT_EQ(D().Store.Count(), 1u);  // shared by both subscriptions

  Receive("class=a.b\nsource=x.y.z\n", "Second\n{\nn=2\n}\n");
  EXPECT_EQ(starts.size(), 2u) << "a queued handle means the script is still fetching";

  auto first = api->GetXapMessage("1");
  ASSERT_TRUE(first);
  EXPECT_EQ(first->Handle, "M1");
  auto second = api->GetXapMessage("1abc");
  ASSERT_TRUE(second);
  EXPECT_EQ(second->GetItem("second", "n"), "2");
  EXPECT_FALSE(api->GetXapMessage("1"));
  EXPECT_FALSE(api->GetXapMessage("abc"));
  EXPECT_FALSE(api->GetXapMessage("7"));
  EXPECT_EQ(api->GetXapMessage("2")->Handle, "M1");  // fetching leaves the store alone
  EXPECT_EQ(D().Store.Count(), 2u);

  // The queue is empty again: the next message starts the script anew.
  Receive("class=a.b\nsource=x.y.z\n");
  EXPECT_EQ(starts.size(), 3u);
}

TEST_F(HostFixture, RoleMessagesAreNeverOfferedAndEchoQueriesAre) {
  api->SelectXapMessage("", "", "", "", "all.vbs");
  Receive("class=Homeseer.Role\ntarget=other.node\n", "Role.Query\n{\nRole=any\n}\n");
  Receive("class=Homeseer.Role\n", "Role.Query\n{\nRole=any\n}\n");
  EXPECT_TRUE(starts.empty());
  Receive("class=WDT.Echo\ntarget=other.node\n", "Echo.Query\n{\nQuery=x\n}\n");
  EXPECT_EQ(starts.size(), 1u);
  EXPECT_EQ(D().MessageCounter, 3u);
  EXPECT_TRUE(D().Store.Contains("M3"));
}

TEST_F(HostFixture, ExpiryEmptiesQueuesNobodyFetches) {
  api->SelectXapMessage("", "", "", "", "slow.vbs");
  Receive("class=a\n");
  t.clock.now += 30.0 / 86400;
  Receive("class=a\n");
  EXPECT_EQ(D().Subscriptions[0].MessageCount(), 2);
  t.clock.now += 31.0 / 86400;  // the first is 61 s old, the second 31 s
  D().ExpireMessages();
  EXPECT_EQ(D().Store.Count(), 1u);
  EXPECT_EQ(D().Subscriptions[0].MessageCount(), 1);
  t.clock.now += 29.0 / 86400;  // exactly 60 s: still kept
  D().ExpireMessages();
  EXPECT_EQ(D().Store.Count(), 1u);
  t.clock.now += 1.0 / 86400;
  D().ExpireMessages();
  EXPECT_EQ(D().Store.Count(), 0u);
  EXPECT_EQ(D().Subscriptions[0].MessageCount(), 0);
  Receive("class=a\n");
  EXPECT_EQ(starts.size(), 2u);
}

// Kept messages live in the store's memory, away from the heap, and hand it back as they
// expire; a message a script still holds outlives the store's hold on it, and reads as it came
// however many texts were parsed since.
TEST_F(HostFixture, KeptMessagesGiveBackTheirMemoryAsTheyExpire) {
  api->SelectXapMessage("", "", "", "", "a.vbs");
  for (int i = 0; i < 300; ++i) {
    Receive("class=a.b\nsource=x.y.z\n", "Lamp\n{\nn=" + std::to_string(i) + "\n}\n");
  }
  EXPECT_EQ(D().Store.Count(), 300u);
  auto held = api->GetXapMessage("1");
  ASSERT_TRUE(held);
  SlabResource& memory = t.app.keptMessages;
  if (SlabResource::kUsesSlabs) {
    EXPECT_GE(memory.Slabs(), 4u);
  }
  t.clock.now += 61.0 / 86400;
  D().ExpireMessages();
  EXPECT_EQ(D().Store.Count(), 0u);
  EXPECT_EQ(held->Handle, "M1");
  EXPECT_EQ(held->GetItem("lamp", "n"), "0");
  EXPECT_EQ(held->msgSource, "x.y.z");
  if (SlabResource::kUsesSlabs) {
    EXPECT_EQ(memory.Slabs(), 2u);  // the held message's, and the one to carve from
  }
  held.reset();
  if (SlabResource::kUsesSlabs) {
    EXPECT_EQ(memory.Slabs(), 1u);
  }
}

TEST_F(HostFixture, AScriptThatCannotStartIsLoggedAndDispatchGoesOn) {
  D().StartScript = [](const std::string&, int) { throw Failure(53, "File not found"); };
  api->SelectXapMessage("", "", "", "", "missing.vbs");
  api->SelectXapMessage("", "", "", "", "other.vbs");
  Receive("class=a\n");
  EXPECT_EQ(D().Subscriptions[1].MessageCount(), 1);
  const std::string log = t.Log();
  EXPECT_NE(log.find("| Sablewick Readmessage "), std::string::npos) << log;
  EXPECT_NE(log.find(" File not found\r\n"), std::string::npos) << log;
}

// Messages that expire unfetched are said, one line per subscription per minute at most.
TEST_F(HostFixture, MessagesThatExpireUnfetchedAreLoggedAtMostOnceAMinute) {
  api->SelectXapMessage("", "", "", "", "Quiet.vbs");
  auto expire = [&](int messages) {
    for (int i = 0; i < messages; ++i) Receive("class=a\n");
    t.clock.now += 61.0 / 86400;
    t.clock.ticks += 61000;
    D().ExpireMessages();
  };
  auto lines = [&] {
    const std::string log = t.Log();
    size_t n = 0;
    for (size_t at = 0; (at = log.find("without being fetched", at)) != std::string::npos; ++at)
      ++n;
    return n;
  };
  expire(3);
  EXPECT_NE(t.Log().find("Subscription 1 (Scripts/Quiet.vbs): 3 message(s) expired after 60 s "
                         "without being fetched"),
            std::string::npos)
      << t.Log();
  t.clock.ticks -= 30000;  // the next expiry only 31 s after the line: counted, not said
  expire(2);
  EXPECT_EQ(lines(), 1u);
  expire(1);  // a minute on: the count of both
  EXPECT_EQ(lines(), 2u);
  const std::string log = t.Log();
  const std::string both = "): 3 message(s) expired after 60 s without being fetched";
  EXPECT_NE(log.rfind(both), log.find(both)) << log;
  EXPECT_EQ(D().Subscriptions[0].MessageCount(), 0);
}

TEST_F(HostFixture, SettingsThroughTheScriptingObject) {
  EXPECT_EQ(api->GetIniSetting("General", "UID", "dflt", "New.ini"), "dflt");
  EXPECT_TRUE(std::filesystem::exists(t.dir.Path() + "/Config/New.ini"));
  EXPECT_EQ(api->GetINISection("Nothing", "New.ini"), "=");
  api->SaveIniSetting("General", "UID", "AB12CD34", "New.ini");
  api->SaveIniSetting("General", "Name", "x=y", "New.ini");
  EXPECT_EQ(api->GetIniSetting("general", "uid", "", "New.ini"), "AB12CD34");
  // Names in upper case, in the order of the file.
  EXPECT_EQ(api->GetINISection("GENERAL", "New.ini"), std::string("UID=AB12CD34\0NAME=x=y", 21));
  EXPECT_EQ(ReadFile(t.dir.Path() + "/Config/New.ini"), "[General]\nUID=AB12CD34\nName=x=y\n");
  EXPECT_EQ(api->GetAppPath(), t.dir.Path());
}

// A settings file a person wrote, with notes, repeated and oddly spaced keys, CR LF.
const std::string kCommentedSettings =
    "; Sablewick.ini of the kitchen node, kept by hand.\r\n"
    "; Ask Ann before changing the UID: the hall lights filter on it.\r\n"
    "\r\n"
    "[General]\r\n"
    "; The node's xAP UID: 8 hexadecimal digits.\r\n"
    "UID=FF00E800\r\n"
    ";UID=FF00E700   (before the move)\r\n"
    "\r\n"
    "[Scripts]\r\n"
    "MaxRunSeconds = 30\r\n"
    "\r\n"
    "; Read by the heating scripts with GetIniSetting.\r\n"
    "[Heating]\r\n"
    "Day=21\r\n"
    "Night=17 ; not a comment: part of the value\r\n"
    "\r\n"
    "[general]\r\n"
    "uid=00000000\r\n";

// The Setup window saves the UID through SaveIniSetting: everything else stays byte for byte.
TEST_F(HostFixture, SetupSaveOfTheUidChangesOnlyItsLine) {
  const std::string path = t.dir.Path() + "/Config/Sablewick.ini";
  WriteFile(path, kCommentedSettings);
  api->SaveIniSetting("General", "UID", "AB12CD34", "Sablewick.ini");
  std::string expected = kCommentedSettings;
  expected.replace(expected.find("UID=FF00E800"), 12, "UID=AB12CD34");
  EXPECT_EQ(ReadFile(path), expected);
  EXPECT_EQ(ReadFile(path + "_bck"), kCommentedSettings);
  EXPECT_EQ(api->GetIniSetting("general", "uid", "", "Sablewick.ini"), "AB12CD34");
  // The same UID again: not a byte changes.
  api->SaveIniSetting("General", "UID", "AB12CD34", "Sablewick.ini");
  EXPECT_EQ(ReadFile(path), expected);
  EXPECT_TRUE(t.sink.sent.empty());
}

// The real transport: a log message that fits goes out as an event; one too large for a
// datagram cannot be sent and lands in the log file in WriteLog's own form instead.
TEST_F(HostFixture, WriteLogThatCannotBeSentGoesToTheLogFile) {
  t.app.xap->BroadcastAddress = "127.0.0.1";
  t.app.xap->InterfaceAddress = "127.0.0.2";
  ASSERT_GT(t.app.xap->Init(), 0) << t.app.xap->InitProblem();
  t.app.sink = t.app.xap.get();
  api->WriteLog("Small", "fits");
  EXPECT_EQ(t.Log(), "");
  const std::string big(70000, 'x');
  api->WriteLog("Big", big);
  EXPECT_EQ(t.Log(), "3/4/2026 3:06:07 PM\tBig\t" + big + "\r\n");
}

// Mounts a small tmpfs over folder in a mount namespace of this test process alone (a user
// namespace as well when not root). False when the system allows neither.
bool MountSmallFilesystem(const std::string& folder) {
  if (::unshare(CLONE_NEWNS) != 0) {
    const uid_t uid = ::getuid();
    const gid_t gid = ::getgid();
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) return false;
    WriteFile("/proc/self/setgroups", "deny");
    WriteFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1");
    WriteFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
  }
  return ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
         ::mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=64k") == 0;
}

// Fills the file system of folder with one file; returns its path.
std::string FillUp(const std::string& folder) {
  const std::string path = folder + "/filler";
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  const std::string block(4096, 'f');
  for (int i = 0; i < 1000 && ::write(fd, block.data(), block.size()) > 0; ++i) {
  }
  ::close(fd);
  return path;
}

// A full disk: the caller of SaveIniSetting gets the error with its reason (besides the event),
// the file it had stays as it was, a file it did not have is not left behind empty, and no
// temporary file stays.
TEST_F(HostFixture, SaveIniSettingOnAFullDiskFailsToTheCaller) {
  const std::string config = t.dir.Path() + "/Config";
  if (!MountSmallFilesystem(config)) GTEST_SKIP() << "no mount namespace for a small tmpfs";
  WriteFile(config + "/Old.ini", "[General]\r\nUID=AB12CD34\r\n");
  const std::string filler = FillUp(config);
  for (const char* file : {"Old.ini", "New.ini"}) {
    SCOPED_TRACE(file);
    t.sink.sent.clear();
    try {
      api->SaveIniSetting("General", "Name", std::string(8000, 'n'), file);
      ADD_FAILURE() << "no error";
    } catch (const Failure& f) {
      EXPECT_EQ(f.Number(), 61);
      EXPECT_NE(std::string(f.what()).find("No space left on device"), std::string::npos)
          << f.what();
    }
    ASSERT_EQ(t.sink.sent.size(), 1u);
    EXPECT_NE(t.sink.sent[0].Items().find("Data=IniTool Save " + config + "/" + file + " Line 1"),
              std::string::npos)
        << t.sink.sent[0].Items();
  }
  std::vector<std::string> files;
  for (const auto& e : std::filesystem::directory_iterator(config)) {
    files.push_back(e.path().filename().string());
  }
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (std::vector<std::string>{"Old.ini", "filler"}));
  EXPECT_EQ(ReadFile(config + "/Old.ini"), "[General]\r\nUID=AB12CD34\r\n");

  std::filesystem::remove(filler);
  api->SaveIniSetting("General", "Name", "n", "New.ini");
  EXPECT_EQ(ReadFile(config + "/New.ini"), "[General]\nName=n\n");
  ::umount2(config.c_str(), MNT_DETACH);
}

TEST_F(HostFixture, WaitMillisecondsReturnsAtOnceForNothingToWaitFor) {
  const gint64 start = g_get_monotonic_time();
  for (const char* ms : {"0", "-5", "abc", ""}) api->WaitMilliseconds(ms);
  EXPECT_LT(g_get_monotonic_time() - start, 50000);
  api->WaitMilliseconds("30.5");
  EXPECT_GE(g_get_monotonic_time() - start, 30000);
}

TEST_F(HostFixture, JobFileOfSpawn) {
  EXPECT_EQ(api->WrapWSF("Test.TXT", "Main", " a b "), "~Test.wsf");
  EXPECT_EQ(ReadFile(t.dir.Path() + "/Scripts/~Test.wsf"),
            "<job id=\"Test\">\n"
            "<script language=\"VBScript\" src=\"..\\Test.txt\"/>\n"
            "<script language=\"VBScript\">\n"
            "Dim hs\nDim xap\n"
            "Set hs = createobject(\"Sablewick.Application\")\n"
            "Set xap = hs\n"
            "Main \" a b \"\n"
            "Set hs = Nothing\nSet xap = Nothing\n</Script>\n</Job>\n");
}

// ---- in-process scripts ----------------------------------------------------------------------

struct InProcess : HostFixture {
  void Script(const std::string& name, const std::string& text) {
    WriteFile(t.dir.Path() + "/Scripts/" + name, text);
  }
  // Runs a script that must fail: the error number its caller gets (0 when none came).
  int32_t RunFailing(const std::string& name) {
    try {
      api->Run(name);
    } catch (const Failure& f) {
      return f.Number();
    }
    return 0;
  }
  // The data items of the events reported so far.
  std::vector<std::string> Reports() const {
    std::vector<std::string> out;
    for (const auto& m : t.sink.sent) {
      if (m.cls == "Homeseer.Event") out.push_back(m.Items().substr(m.Items().find("|Type=")));
    }
    return out;
  }
};

TEST_F(InProcess, IncludesLoadDepthFirstInEveryForm) {
  Script("lib/one.vbs", "Function One()\n One = \"1\" & Two()\nEnd Function\n");
  Script("two.vbs", "Function Two() : Two = \"2\" : End Function\n");
  Script("Main.vbs",
         "' #INCLUDE \"lib/one.vbs\" still counts inside a comment\n"
         "#Include\n\n   \"  two.vbs  \"\n"
         "#include \"missing.vbs\"\n"
         "#include \"Main.vbs\"\n"  // itself: the cycle is cut
         "Function Main(p)\n Main = One() & \"-\" & p\nEnd Function\n");
  vbs::Variant r = api->Runex("main.VBS", "MAIN", "x");
  EXPECT_EQ(vbs::ToString(r), "12-x");
  EXPECT_TRUE(Reports().empty()) << Reports()[0];
}

// Names that a script gives relative to Scripts/ (Config/ for settings) may not climb out of
// it: each call fails with the path in its error, and nothing outside is run, read or written.
// An absolute name still reaches any file.
TEST_F(InProcess, RelativePathsThatClimbOutOfTheirFolderAreRefused) {
  WriteFile(t.dir.Path() + "/outside.vbs",
            "Sub Main(p)\n  SaveIniSetting \"S\", \"Ran\", \"yes\", \"r.ini\"\nEnd Sub\n");
  WriteFile(t.dir.Path() + "/outside.ini", "[S]\r\nK=secret\r\n");
  Script(
      "try.vbs",
      "Function Try(p)\n"
      "  On Error Resume Next\n"
      "  hs.Run \"../outside.vbs\" : r = r & Err.Number & \" \" & Err.Description & \";\"\n"
      "  Err.Clear : hs.Runex \"lib\\..\\..\\outside.vbs\", \"Main\", \"\" : r = r & Err.Number\n"
      "  Err.Clear : x = GetIniSetting(\"S\", \"K\", \"none\", \"../outside.ini\")\n"
      "  r = r & \";\" & Err.Number & x\n"
      "  Err.Clear : SaveIniSetting \"S\", \"K\", \"v\", \"sub\\..\\..\\made.ini\"\n"
      "  r = r & \";\" & Err.Number\n"
      "  Err.Clear : hs.Spawn \"lib/../../made\", \"Main\", \"\" : r = r & \";\" & Err.Number\n"
      "  Try = r\n"
      "End Function\n");
  EXPECT_EQ(vbs::ToString(api->Runex("try.vbs", "Try", "")),
            "75 the path \"../outside.vbs\" leaves Scripts/ (\"..\" climbs above it);75;75;75;75");
  EXPECT_EQ(api->GetIniSetting("S", "Ran", "no", "r.ini"), "no");
  EXPECT_FALSE(std::filesystem::exists(t.dir.Path() + "/made.ini"));
  EXPECT_FALSE(std::filesystem::exists(t.dir.Path() + "/made.wsf"));

  // An include that climbs out fails the run and is named in the report.
  Script("inc.vbs", "#include \"../outside.vbs\"\nSub Other(p)\nEnd Sub\n");
  EXPECT_EQ(RunFailing("inc.vbs"), 75);
  EXPECT_EQ(api->GetIniSetting("S", "Ran", "no", "r.ini"), "no");
  const auto r = Reports();
  ASSERT_FALSE(r.empty());
  EXPECT_NE(r.back().find("Script-AccumulateReferences the path \"../outside.vbs\" leaves "
                          "Scripts/"),
            std::string::npos)
      << r.back();

  // A subscription to such a name is not made; the report says why.
  api->SelectXapMessage("", "", "", "", "..\\outside.vbs");
  EXPECT_TRUE(D().Subscriptions.empty());
  EXPECT_TRUE(Reports().back().starts_with("|Type=Sablewick|Data=ReceiveXapMessage "));
  EXPECT_NE(Reports().back().find("the path \"..\\outside.vbs\" leaves Scripts/"),
            std::string::npos)
      << Reports().back();

  // Absolute names stay allowed, for a script elsewhere on purpose.
  api->Run(t.dir.Path() + "/outside.vbs");
  EXPECT_EQ(api->GetIniSetting("S", "Ran", "no", "r.ini"), "yes");
  api->SelectXapMessage("", "", "", "", t.dir.Path() + "/outside.vbs");
  ASSERT_EQ(D().Subscriptions.size(), 1u);
  EXPECT_EQ(D().Subscriptions[0].Script, t.dir.Path() + "/outside.vbs");
}

TEST_F(InProcess, RunCallsMainWithTheEmptyTextAndMembersByBareName) {
  Script("r.vbs",
         "Sub Main(p)\n"
         "  SaveIniSetting \"S\", \"K\", \"[\" & p & \"]\" & hs.GetAppPath & (xap Is hs), \"r.ini\"\n"
         "End Sub\n");
  api->Run("r.vbs");
  EXPECT_EQ(api->GetIniSetting("S", "K", "", "r.ini"), "[]" + t.dir.Path() + "True");
}

// A script's saves change the lines of the keys it sets and add the ones it adds; the notes
// and the rest of the file stay.
TEST_F(InProcess, SaveIniSettingFromAScriptKeepsTheNotes) {
  const std::string path = t.dir.Path() + "/Config/Sablewick.ini";
  WriteFile(path, kCommentedSettings);
  Script("heat.vbs",
         "Sub Main(p)\n"
         "  SaveIniSetting \"Heating\", \"Night\", \"16\", \"Sablewick.ini\"\n"
         "  SaveIniSetting \"heating\", \"Away\", \"12\", \"Sablewick.ini\"\n"
         "  SaveIniSetting \"Holiday\", \"From\", \"2026-12-24\", \"Sablewick.ini\"\n"
         "End Sub\n");
  api->Run("heat.vbs");
  std::string expected = kCommentedSettings;
  const std::string night = "Night=17 ; not a comment: part of the value\r\n";
  expected.replace(expected.find(night), night.size(), "Night=16\r\nAway=12\r\n");
  expected += "\r\n[Holiday]\r\nFrom=2026-12-24\r\n";
  EXPECT_EQ(ReadFile(path), expected);
  EXPECT_TRUE(Reports().empty()) << Reports()[0];
}

TEST_F(InProcess, UnknownProceduresAndZeroArgumentFunctions) {
  Script("f.vbs", "Function NoArgs()\n NoArgs = 5\nEnd Function\n");
  EXPECT_TRUE(api->Runex("f.vbs", "nosuch", "").IsEmpty());
  EXPECT_TRUE(api->Runex("f.vbs", "NOARGS", "").IsEmpty());
  // The second load into "M1" is refused by the engine and reported; its code still goes
  // into the module that is there.
  const auto r = Reports();
  ASSERT_EQ(r.size(), 1u) << r[0] << r[1];
  EXPECT_EQ(r[0].substr(0, 30), "|Type=Sablewick|Data=Script-Ad");
}

TEST_F(InProcess, SyntaxAndRunErrorsAreReportedWithTheirTexts) {
  Script("bad.vbs", "Sub Main(\nEnd Sub\n");
  EXPECT_NE(RunFailing("bad.vbs"), 0);
  Script("div.vbs", "Sub Main(p)\n  x = 1\n  y = x / 0\nEnd Sub\n");
  EXPECT_EQ(RunFailing("div.vbs"), 11);
  const auto r = Reports();
  ASSERT_EQ(r.size(), 3u);
  EXPECT_TRUE(r[0].starts_with("|Type=Sablewick|Data=Error in script syntax  / bad.vbs "))
      << r[0];
  EXPECT_NE(r[0].find("@ Line 1 col "), std::string::npos) << r[0];
  EXPECT_TRUE(r[1].starts_with("|Type=Sablewick|Data=Script-Add ")) << r[1];
  EXPECT_EQ(r[2], "|Type=Sablewick|Data=Script Run Error  / 11 - Division by zero@ Line 3 col 3")
      << r[2];
}

TEST_F(InProcess, MessagesAndTheirCollectionsAsScriptsSeeThem) {
  api->SelectXapMessage("", "", "", "", "s.vbs");
  Receive("class=xAPBSC.event\nsource=acme.lamp.kitchen\n",
          "Lamp\n{\nState=on\nLevel=50%\n}\n");
  Script("m.vbs",
         "Function Main(p)\n"
         "  Set m = hs.GetXapMessage(1)\n"
         "  Set c = m.msgCollection(0)\n"
         "  For Each line In c : s = s & line & \";\" : Next\n"
         "  s = s & c.Count & c(1) & c(\"LEVEL\") & m.GetItem(\"lamp\", \"state\")\n"
         "  s = s & UBound(m.MsgSection) & m.MsgSection(0) & TypeName(m.msgCollection(9))\n"
         "  s = s & TypeName(hs.GetXapMessage(1))\n"
         "  Main = s\n"
         "End Function\n");
  EXPECT_EQ(vbs::ToString(api->Runex("m.vbs", "Main", "")),
            "State=on;Level=50%;2State=onLevel=50%on0lampNothingNothing");
}

TEST_F(InProcess, ANewScriptingObjectDropsLoadedCode) {
  Script("keep.vbs", "Function Kept(p)\n Kept = 1\nEnd Function\n");
  api->Runex("keep.vbs", "Kept", "");
  ASSERT_NE(t.app.engine->Modules().Item("M1"), nullptr);
  auto second = vbs::MakeObject<Application>(t.app);
  EXPECT_EQ(t.app.engine->Modules().Item("M1"), nullptr);
  EXPECT_EQ(vbs::ToString(api->Runex("keep.vbs", "Kept", "")), "1")
      << (Reports().empty() ? "no report" : Reports().back());
}

TEST_F(InProcess, AScriptRunningItselfWithoutEndStopsWithOutOfStack) {
  // Once from its script-level code (each load runs it again) and once from Main.
  const struct {
    const char* name;
    const char* text;
  } cases[] = {
      {"top.vbs", "hs.Run \"top.vbs\"\nSub Main(p)\nEnd Sub\n"},
      {"main.vbs", "Sub Main(p)\n  hs.Run \"main.vbs\"\nEnd Sub\n"},
  };
  for (const auto& c : cases) {
    t.sink.sent.clear();
    Script(c.name, c.text);
    // The caller gets the error as well as the report.
    try {
      api->Run(c.name);
      ADD_FAILURE() << c.name << ": no error for the caller";
    } catch (const Failure& f) {
      EXPECT_EQ(f.Number(), 28) << f.what();
      EXPECT_LT(std::string(f.what()).size(), 1000u) << "one name, not one per depth";
    }
    bool outOfStack = false;
    for (const std::string& r : Reports()) outOfStack |= r.find("Out of stack space") != r.npos;
    EXPECT_TRUE(outOfStack) << c.name;
    // The engine is still usable.
    EXPECT_EQ(vbs::ToString(t.app.engine->Eval("1 + 1")), "2") << c.name;
  }
}

TEST_F(InProcess, ARunawayScriptStopsAtTheMemoryBudget) {
  Script("big.vbs",
         "Sub Main(p)\n  Dim keep(7)\n  For i = 0 To 7\n    ReDim a(16777215)\n"
         "    keep(i) = a\n  Next\nEnd Sub\n");
  EXPECT_EQ(RunFailing("big.vbs"), 7);
  const auto r = Reports();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_NE(r[0].find("7 - Out of memory@ Line 4"), std::string::npos) << r[0];
  EXPECT_LT(t.app.engine->MemoryUsed(), size_t{1} << 20) << "the arrays were given back";
}

TEST_F(InProcess, AMisspelledMemberIsNamedInTheReport) {
  Script("typo.vbs", "Sub Main(p)\n  Set m = hs.GetXapMesage(1)\nEnd Sub\n");
  EXPECT_EQ(RunFailing("typo.vbs"), 438);
  const auto r = Reports();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0],
            "|Type=Sablewick|Data=Script Run Error  / 438 - Object doesn't support this property "
            "or method: 'hs.GetXapMesage'@ Line 2 col 3");
}

}  // namespace
}  // namespace sablewick
