// The real daemon on a private session bus (and, for the setup dialog, a private X server),
// inside a network namespace with only loopback: a fake notification host talks to its tray
// icon and menu the way a panel does.
#include <gtest/gtest.h>

#include <csignal>

#include "app/TrayIcon.h"
#include "tests/daemon/DaemonHarness.h"
#include "tests/desktop/DesktopHarness.h"
#include "tests/desktop/XDisplay.h"

namespace sablewick {
namespace {

using testing::Clock;
using Daemon = testing::DesktopProcess;
using testing::FakeWatcher;
using testing::PrivateBus;
using testing::RunUntil;
using testing::UdpSocket;

constexpr const char* kItemIface = "org.kde.StatusNotifierItem";
constexpr const char* kMenuIface = "com.canonical.dbusmenu";

int CountLines(const std::string& text, const std::string& needle) {
  int n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

class DesktopDaemon : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(hub.Bound()) << "port 3639 is taken: run in a network namespace";
    ASSERT_FALSE(bus.Address().empty()) << "dbus-daemon did not start";
    ::unsetenv("DISPLAY");
    ::unsetenv("WAYLAND_DISPLAY");
    // GTK stays off the accessibility bus and dconf: neither exists on the private bus.
    ::setenv("NO_AT_BRIDGE", "1", 1);
    ::setenv("GSETTINGS_BACKEND", "memory", 1);
  }
  void TearDown() override {
    if (HasFailure()) std::fprintf(stderr, "--- daemon log ---\n%s\n", daemon->Log().c_str());
  }

  // Starts the daemon and waits for the host to hear from its icon; the item's bus name.
  std::string StartRegistered() {
    daemon->Start();
    if (!RunUntil([&] { return !host->registrations.empty(); }, 10000)) return {};
    item = host->registrations.back().service;
    daemonName = host->registrations.back().sender;
    return item;
  }
  // A click on a menu item as a panel sends it.
  bool Click(int32_t id) {
    sd_bus_message* reply = host->Call(item, "/MenuBar", kMenuIface, "Event", [&](sd_bus_message* m) {
      return sd_bus_message_append(m, "isvu", id, "clicked", "i", 0, 0u);
    });
    const bool ok = reply != nullptr && !sd_bus_message_is_method_error(reply, nullptr);
    if (reply) sd_bus_message_unref(reply);
    return ok;
  }
  // Waits for the daemon to end; its exit status or -1.
  int WaitExit(int timeoutMs = 10000) {
    int status = -1;
    RunUntil([&] { return (status = daemon->WaitExit(10)) != -1; }, timeoutMs);
    return status;
  }

  UdpSocket hub{3639};
  PrivateBus bus{/*asSessionBus=*/true};
  std::unique_ptr<FakeWatcher> host = std::make_unique<FakeWatcher>(bus.Address());
  std::unique_ptr<Daemon> daemon = std::make_unique<Daemon>();
  std::string item, daemonName;
};

TEST_F(DesktopDaemon, IconTooltipMenuAsAPanelSeesThem) {
  ASSERT_FALSE(StartRegistered().empty());
  EXPECT_EQ(item.rfind("org.kde.StatusNotifierItem-", 0), 0u) << item;

  sd_bus_message* m = host->GetProperty(item, "/StatusNotifierItem", kItemIface, "ToolTip",
                                        "(sa(iiay)ss)");
  ASSERT_NE(m, nullptr);
  const char *iconName = nullptr, *title = nullptr, *text = nullptr;
  ASSERT_GE(sd_bus_message_enter_container(m, 'r', "sa(iiay)ss"), 0);
  sd_bus_message_read(m, "s", &iconName);
  sd_bus_message_skip(m, "a(iiay)");
  sd_bus_message_read(m, "ss", &title, &text);
  EXPECT_STREQ(title, "Tollkeep");
  sd_bus_message_unref(m);

  m = host->GetProperty(item, "/StatusNotifierItem", kItemIface, "ItemIsMenu", "b");
  ASSERT_NE(m, nullptr);
  int isMenu = 0;
  sd_bus_message_read(m, "b", &isMenu);
  EXPECT_TRUE(isMenu);
  sd_bus_message_unref(m);

  m = host->GetProperty(item, "/StatusNotifierItem", kItemIface, "IconPixmap", "a(iiay)");
  ASSERT_NE(m, nullptr);
  const auto pixmaps = testing::ReadPixmaps(m);
  sd_bus_message_unref(m);
  const TrayImage normal = DrawLetterS();
  ASSERT_EQ(pixmaps.size(), normal.pixmaps.size());
  for (size_t i = 0; i < pixmaps.size(); ++i) {
    EXPECT_EQ(pixmaps[i].width, normal.pixmaps[i].width);
    EXPECT_EQ(pixmaps[i].argb, std::string(normal.pixmaps[i].argb.begin(), normal.pixmaps[i].argb.end()));
  }

  m = host->Call(item, "/MenuBar", kMenuIface, "GetLayout", [](sd_bus_message* call) {
    return sd_bus_message_append(call, "iias", 0, -1, 0);
  });
  ASSERT_NE(m, nullptr);
  ASSERT_FALSE(sd_bus_message_is_method_error(m, nullptr));
  uint32_t revision = 0;
  sd_bus_message_read(m, "u", &revision);
  testing::MenuNode root;
  ASSERT_TRUE(testing::ReadMenuNode(m, root));
  sd_bus_message_unref(m);
  EXPECT_EQ(root.props["children-display"], "submenu");
  std::vector<std::string> shown;
  for (auto& child : root.children) {
    shown.push_back(child.props["type"] == "separator" ? "-" : child.props["label"]);
  }
  EXPECT_EQ(shown, (std::vector<std::string>{"Setup", "System Config", "System Status", "Help",
                                             "-", "Exit"}));

  // The three placeholders do nothing: the daemon runs on, the icon stays, nothing is logged.
  const std::string logBefore = daemon->Log();
  for (int32_t id : {2, 3, 4}) EXPECT_TRUE(Click(id)) << id;
  RunUntil([] { return false; }, 300);
  EXPECT_TRUE(daemon->Running());
  EXPECT_EQ(daemon->WaitExit(10), -1);
  EXPECT_FALSE(host->Vanished(item));
  EXPECT_EQ(daemon->Log(), logBefore);
}

TEST_F(DesktopDaemon, RegistersAgainWhenTheHostRestarts) {
  ASSERT_FALSE(StartRegistered().empty());
  for (int restart = 0; restart < 2; ++restart) {
    SCOPED_TRACE(restart);
    host.reset();
    host = std::make_unique<FakeWatcher>(bus.Address());
    ASSERT_TRUE(host->Ready());
    ASSERT_TRUE(RunUntil([&] { return !host->registrations.empty(); }, 5000));
    EXPECT_EQ(host->registrations[0].service, item);
  }
  EXPECT_EQ(CountLines(daemon->Log(), "tray icon"), 0) << daemon->Log();
}

TEST_F(DesktopDaemon, ExitFromTheMenuRemovesTheIconThenEnds) {
  ASSERT_FALSE(StartRegistered().empty());
  const std::string logBefore = daemon->Log();
  ASSERT_TRUE(Click(6));  // the reply comes before the daemon goes
  EXPECT_EQ(WaitExit(), 0);
  ASSERT_TRUE(RunUntil([&] { return host->Vanished(daemonName); }, 2000));
  // The icon is taken down (its name released) before the connection closes.
  ASSERT_FALSE(host->vanished.empty());
  EXPECT_EQ(host->vanished.front().first, item);
  EXPECT_EQ(daemon->Log(), logBefore);  // nothing failed on the way out
}

TEST_F(DesktopDaemon, SessionEndSignalsRunTheSameShutdown) {
  for (int sig : {SIGTERM, SIGINT}) {  // SIGHUP reloads
    SCOPED_TRACE(strsignal(sig));
    host.reset();  // the name must be free for the next host
    host = std::make_unique<FakeWatcher>(bus.Address());
    daemon = std::make_unique<Daemon>();
    ASSERT_FALSE(StartRegistered().empty());
    daemon->Signal(sig);
    EXPECT_EQ(WaitExit(), 0);
    ASSERT_TRUE(RunUntil([&] { return host->Vanished(daemonName); }, 2000));
    EXPECT_EQ(host->vanished.front().first, item);
  }
}

TEST_F(DesktopDaemon, WithoutAHostItRunsOnAndRegistersWhenOneComes) {
  host.reset();
  daemon->Start();
  ASSERT_TRUE(hub.Receive()) << "no heartbeat";
  ASSERT_TRUE(RunUntil([&] { return CountLines(daemon->Log(), "tray icon") == 1; }, 5000));
  host = std::make_unique<FakeWatcher>(bus.Address());
  ASSERT_TRUE(RunUntil([&] { return !host->registrations.empty(); }, 5000));
  EXPECT_EQ(CountLines(daemon->Log(), "tray icon"), 1) << daemon->Log();
  daemon->Signal(SIGTERM);
  EXPECT_EQ(WaitExit(), 0);
}

TEST_F(DesktopDaemon, WithoutASessionBusItRunsOnAndSaysSoOnce) {
  ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/sablewick-test-bus", 1);
  daemon->Start();
  ASSERT_TRUE(hub.Receive()) << "no heartbeat";
  auto notice = hub.Receive();
  ASSERT_TRUE(notice) << "no port notice";
  EXPECT_NE(notice->find("Using xAP port"), std::string::npos);
  // Wait for the line (a loaded or sanitized machine is slow), then a while for a second one.
  RunUntil([&] { return CountLines(daemon->Log(), "tray icon") >= 1; }, 5000);
  RunUntil([] { return false; }, 300);
  const std::string log = daemon->Log();
  EXPECT_EQ(CountLines(log, "tray icon"), 1) << log;
  EXPECT_NE(log.find("no desktop session: no tray icon"), std::string::npos) << log;
  // "Setup" cannot be reached without a bus, and the daemon still ends cleanly.
  daemon->Signal(SIGTERM);
  EXPECT_EQ(WaitExit(), 0);
}

// ---- The setup dialog on a private X server ----------------------------------------------

class SetupDialog : public DesktopDaemon {
 protected:
  void SetUp() override {
    DesktopDaemon::SetUp();
    ASSERT_TRUE(x.Ready()) << "Xvfb did not start (Debian package xvfb)";
    ::setenv("DISPLAY", x.Name().c_str(), 1);
    daemon = std::make_unique<Daemon>(
        "[Interface]\nBroadcastAddress=127.0.0.1\nInterfaceAddress=127.0.0.2\n",
        "; The kitchen node: ask Ann before changing the UID.\r\n\r\n[General]\r\n"
        "; 8 hexadecimal digits\r\nUID=FF00E800\r\n;UID=FF00E700 (before the move)\r\n\r\n"
        "[Heating]\r\nDay = 21\r\n");
  }
  std::string Ini() const { return testing::ReadFile(daemon->Root() + "/Config/Sablewick.ini"); }
  std::optional<testing::XWindow> OpenSetup() {
    if (!Click(1)) return std::nullopt;
    return x.WaitWindow(kCaption);
  }

  static constexpr const char* kCaption = "Sablewick Setup";
  testing::XDisplay x;
};

// Closing saves 8 hexadecimal digits; other text keeps the window open (the reason is shown
// under the field) until it is corrected or Escape closes the window without saving.
TEST_F(SetupDialog, ClosingSavesEightHexDigitsRefusesOthersAndEscapeDiscards) {
  ASSERT_FALSE(StartRegistered().empty());
  const std::string original = Ini();
  enum class Then { Saved, Refused, Escaped };
  struct Case {
    const char* typed;
    Then then;
  };
  for (const Case& c : {Case{"abcd123", Then::Refused}, Case{"abcd12345", Then::Refused},
                        Case{"", Then::Refused}, Case{"abcd12zz", Then::Refused},
                        Case{"beefbeef", Then::Escaped}, Case{"abcd1234", Then::Saved}}) {
    SCOPED_TRACE(c.typed);
    auto w = OpenSetup();
    ASSERT_TRUE(w);
    x.Type(*w, c.typed);
    if (c.then == Then::Escaped) {
      x.PressEscape();
    } else {
      x.Close(*w);
    }
    if (c.then == Then::Refused) {
      EXPECT_FALSE(x.WaitGone(kCaption, 500)) << "closed on a UID it did not save";
      x.PressEscape();
    }
    // The close step runs before the window leaves the screen.
    ASSERT_TRUE(x.WaitGone(kCaption));
    if (c.then == Then::Saved) {
      // Only the UID's line changes: the notes and the rest stay byte for byte.
      std::string expected = original;
      expected.replace(expected.find("\nUID=FF00E800") + 1, 12, std::string("UID=") + c.typed);
      EXPECT_EQ(Ini(), expected);
    } else {
      EXPECT_EQ(Ini(), original);
    }
  }
  EXPECT_TRUE(daemon->Running());
  EXPECT_EQ(daemon->WaitExit(10), -1);
}

TEST_F(SetupDialog, OpensWideEnoughForItsTitleAndEnterClosesAndSaves) {
  ASSERT_FALSE(StartRegistered().empty());
  auto w = OpenSetup();
  ASSERT_TRUE(w);
  // The title bar holds the caption besides the icon and the buttons: wider than the fields.
  EXPECT_GE(x.Width(*w), 300) << "the title would be cut";
  x.Type(*w, "abcd5678");
  x.PressEnter();
  ASSERT_TRUE(x.WaitGone(kCaption));
  EXPECT_NE(Ini().find("UID=abcd5678"), std::string::npos) << Ini();
  EXPECT_TRUE(daemon->Running());
}

TEST_F(SetupDialog, ASecondSetupBringsBackTheSameWindow) {
  ASSERT_FALSE(StartRegistered().empty());
  auto first = OpenSetup();
  ASSERT_TRUE(first);
  ASSERT_TRUE(Click(1));
  RunUntil([] { return false; }, 500);
  EXPECT_EQ(x.Windows(kCaption), std::vector<testing::XWindow>{*first});
  x.Close(*first);
  ASSERT_TRUE(x.WaitGone(kCaption));
}

TEST_F(SetupDialog, ShutdownWithTheDialogOpenRunsItsSaveStep) {
  struct Case {
    const char* how;
    std::string uid;
  };
  for (const Case& c : {Case{"SIGTERM", "beef5678"}, Case{"Exit", "cafe4321"}}) {
    SCOPED_TRACE(c.how);
    host.reset();
    host = std::make_unique<FakeWatcher>(bus.Address());
    daemon = std::make_unique<Daemon>(
        "[Interface]\nBroadcastAddress=127.0.0.1\nInterfaceAddress=127.0.0.2\n",
        "[General]\nUID=FF00E800\n");
    ASSERT_FALSE(StartRegistered().empty());
    auto w = OpenSetup();
    ASSERT_TRUE(w);
    x.Type(*w, c.uid);
    if (std::string(c.how) == "Exit") {
      ASSERT_TRUE(Click(6));
    } else {
      daemon->Signal(SIGTERM);
    }
    EXPECT_EQ(WaitExit(), 0);
    EXPECT_NE(Ini().find("UID=" + c.uid), std::string::npos) << Ini();
    EXPECT_TRUE(x.WaitGone(kCaption));
  }
}

TEST_F(DesktopDaemon, SetupWithoutADisplayLogsIt) {
  ASSERT_FALSE(StartRegistered().empty());
  ASSERT_TRUE(Click(1));
  ASSERT_TRUE(RunUntil([&] { return CountLines(daemon->Log(), "no display") == 1; }, 5000))
      << daemon->Log();
  EXPECT_TRUE(daemon->Running());
  daemon->Signal(SIGTERM);
  EXPECT_EQ(WaitExit(), 0);
}

}  // namespace
}  // namespace sablewick
