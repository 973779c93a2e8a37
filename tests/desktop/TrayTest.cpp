// The tray icon in process: the real TollkeepForm and TrayIcon on a private session bus, with
// a fake notification host on the same loop.
#include <gtest/gtest.h>

#include "app/TollkeepForm.h"
#include "app/TrayIcon.h"
#include "tests/desktop/DesktopHarness.h"

namespace sablewick {
namespace {

using testing::Clock;
using testing::FakeWatcher;
using testing::PrivateBus;
using testing::RunUntil;

std::string Flat(const TrayPixmap& p) { return std::string(p.argb.begin(), p.argb.end()); }

// A pixel's colour class: transparent, yellow, red or other.
char Classify(const TrayPixmap& p, int x, int y) {
  const uint8_t* px = &p.argb[(static_cast<size_t>(y) * p.width + x) * 4];
  if (px[0] < 16) return '.';
  if (px[0] < 200) return '~';  // anti-aliased edge
  if (px[1] > 200 && px[2] > 180 && px[3] < 80) return 'Y';
  if (px[1] > 120 && px[2] < 60 && px[3] < 80) return 'R';
  return '?';
}

TEST(TrayIcons, DrawnInThePanelSizesOnTransparentGround) {
  struct Case {
    const char* name;
    TrayImage image;
    bool yellow;
  };
  for (const Case& c : {Case{"S", DrawLetterS(), true}, Case{"heart", DrawHeart(), false}}) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(c.image.pixmaps.size(), 3u);
    int index = 0;
    for (int size : {16, 22, 32}) {
      const TrayPixmap& p = c.image.pixmaps[index++];
      EXPECT_EQ(p.width, size);
      EXPECT_EQ(p.height, size);
      ASSERT_EQ(p.argb.size(), static_cast<size_t>(size * size * 4));
      for (auto [x, y] : {std::pair{0, 0}, {size - 1, 0}, {0, size - 1}, {size - 1, size - 1}}) {
        EXPECT_EQ(Classify(p, x, y), '.') << "corner " << x << "," << y << " at " << size;
      }
      int yellow = 0, red = 0, opaque = 0;
      for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
          const char k = Classify(p, x, y);
          yellow += k == 'Y';
          red += k == 'R';
          opaque += k != '.' && k != '~';
        }
      }
      // Sharp: most of the drawn area is fully opaque, not a blur of edge pixels.
      EXPECT_GT(opaque, size * size / 5) << size;
      EXPECT_GT(red, size) << size;
      if (c.yellow) {
        EXPECT_GT(yellow, size * 2) << size;
      } else {
        EXPECT_EQ(yellow, 0) << size;
      }
    }
  }
}

class TrayInProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(bus.Address().empty()) << "dbus-daemon did not start";
    app.AppPath = dir.Path();
    std::filesystem::create_directories(dir.Path() + "/Data");
  }
  void TearDown() override {
    if (HasFailure()) std::fprintf(stderr, "--- log ---\n%s\n", Log().c_str());
  }
  std::string Log() const { return testing::ReadFile(dir.Path() + "/Data/Sablewick.txt"); }
  int LogLines() const {
    const std::string log = Log();
    return static_cast<int>(std::count(log.begin(), log.end(), '\n'));
  }
  std::vector<testing::Pixmap> Pixmaps(FakeWatcher& host, const std::string& item) {
    sd_bus_message* m = host.GetProperty(item, "/StatusNotifierItem",
                                         "org.kde.StatusNotifierItem", "IconPixmap", "a(iiay)");
    if (m == nullptr) return {};
    auto p = testing::ReadPixmaps(m);
    sd_bus_message_unref(m);
    return p;
  }

  PrivateBus bus{/*asSessionBus=*/true};
  testing::TempDir dir;
  App app;
};

TEST_F(TrayInProcess, SwapIconsBlinksToTheHeartAndBackAfter200Ms) {
  FakeWatcher host(bus.Address());
  ASSERT_TRUE(host.Ready());
  TollkeepForm form(app);
  form.ShowTrayIcon();
  ASSERT_TRUE(RunUntil([&] { return !host.registrations.empty(); }));
  const std::string item = host.registrations[0].service;
  const std::string normal = Flat(DrawLetterS().pixmaps[0]);
  const std::string heart = Flat(DrawHeart().pixmaps[0]);
  auto p = Pixmaps(host, item);
  ASSERT_EQ(p.size(), 3u);
  EXPECT_EQ(p[0].argb, normal);
  EXPECT_TRUE(host.newIcons.empty());

  form.SwapIcons();
  ASSERT_TRUE(RunUntil([&] { return host.newIcons.size() >= 1; }, 1000));
  p = Pixmaps(host, item);
  ASSERT_EQ(p.size(), 3u);
  EXPECT_EQ(p[0].argb, heart);
  ASSERT_TRUE(RunUntil([&] { return host.newIcons.size() >= 2; }, 1000));
  const auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(host.newIcons[1] -
                                                                          host.newIcons[0]);
  EXPECT_GE(gap.count(), 150);
  EXPECT_LE(gap.count(), 400);
  p = Pixmaps(host, item);
  ASSERT_EQ(p.size(), 3u);
  EXPECT_EQ(p[0].argb, normal);
  EXPECT_FALSE(form.Timer1().Enabled());
  // No third swap follows: the blink is a one-shot.
  RunUntil([] { return false; }, 400);
  EXPECT_EQ(host.newIcons.size(), 2u);
  form.Form_Unload();
}

TEST_F(TrayInProcess, WithoutAHostLogsOnceAndRegistersWhenOneAppears) {
  TollkeepForm form(app);
  form.ShowTrayIcon();
  ASSERT_TRUE(RunUntil([&] { return LogLines() == 1; }));
  EXPECT_NE(Log().find("no tray icon: no notification area host"), std::string::npos) << Log();
  // The program goes on: blinks without a host do no harm.
  form.SwapIcons();
  RunUntil([] { return false; }, 300);

  // A panel starting later gets the icon; one that restarts gets it again.
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    FakeWatcher host(bus.Address());
    ASSERT_TRUE(host.Ready());
    ASSERT_TRUE(RunUntil([&] { return !host.registrations.empty(); }));
    EXPECT_EQ(host.registrations[0].service, form.Tray()->ItemName());
  }
  EXPECT_EQ(LogLines(), 1) << Log();
  form.Form_Unload();
}

TEST_F(TrayInProcess, RemovedIconReleasesItsNameAndComesBack) {
  FakeWatcher host(bus.Address());
  TollkeepForm form(app);
  form.ShowTrayIcon();
  ASSERT_TRUE(RunUntil([&] { return host.registrations.size() == 1; }));
  const std::string item = host.registrations[0].service;
  form.Tray()->Update(false, form.Image1());
  ASSERT_TRUE(RunUntil([&] { return host.Vanished(item); }));
  form.Tray()->Update(true, form.Image1());
  ASSERT_TRUE(RunUntil([&] { return host.registrations.size() == 2; }));
  EXPECT_EQ(host.registrations[1].service, item);
  form.Form_Unload();
}

TEST(TrayNoBus, NoSessionBusMeansNoIconAndOneLogLine) {
  testing::TempDir dir;
  std::filesystem::create_directories(dir.Path() + "/Data");
  ::setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + dir.Path() + "/no-bus").c_str(), 1);
  App app;
  app.AppPath = dir.Path();
  {
    TollkeepForm form(app);
    form.ShowTrayIcon();
    EXPECT_FALSE(form.Tray()->Connected());
    form.SwapIcons();
    RunUntil([] { return false; }, 300);
    form.Form_Unload();
  }
  ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
  const std::string log = testing::ReadFile(dir.Path() + "/Data/Sablewick.txt");
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
  EXPECT_NE(log.find("no desktop session: no tray icon"), std::string::npos) << log;
}

}  // namespace
}  // namespace sablewick
