// The example handlers that ship in examples/scripts, copied into the node's Scripts/ as a user
// copies them, against simulated devices on the fake hub: their Startup.vbs subscribes them,
// a motion event at night switches the light, temperatures land in the CSV file, a display
// text reaches the LCD. And the handlers docs/scripting.md shows, in VBScript, shell and
// Python, taken from the page as they stand.
#include <sys/stat.h>
#include <time.h>

#include <algorithm>

#include <cmath>
#include <functional>
#include <regex>
#include <sstream>

#include "tests/daemon/DaemonFixture.h"

namespace sablewick {
namespace {

using testing::DaemonTest;
using testing::Parse;
using testing::ReadFile;
using testing::WriteFile;

bool WaitFor(const std::function<bool()>& done, int timeoutMs) {
  for (int waited = 0; waited < timeoutMs; waited += 20) {
    if (done()) return true;
    ::usleep(20000);
  }
  return done();
}

// A longitude where the sun now stands at its lowest (night) or highest (day) point: the local
// solar time is UTC plus longitude/15 hours. On the equator day and night last about 12 hours
// all year, so the result holds for hours on either side of now.
double LongitudeFor(bool night) {
  const time_t now = ::time(nullptr);
  tm utc{};
  ::gmtime_r(&now, &utc);
  const double hours = utc.tm_hour + utc.tm_min / 60.0;
  double longitude = ((night ? 0.0 : 12.0) - hours) * 15.0;
  while (longitude < -180) longitude += 360;
  while (longitude >= 180) longitude -= 360;
  return longitude;
}

class Examples : public DaemonTest {
 protected:
  // Copies the shipped examples into Scripts/ and sets NightLight's place as a user edits it.
  void Install(double latitude, double longitude) {
    const std::string from = std::string(SABLEWICK_SOURCE_DIR) + "/examples/scripts/";
    for (const char* name : {"Startup.vbs", "NightLight.vbs", "TempLog.vbs", "LcdText.vbs"}) {
      std::filesystem::copy_file(from + name, daemon->Root() + "/Scripts/" + name,
                                 std::filesystem::copy_options::overwrite_existing);
    }
    Place(latitude, longitude);
  }
  void Place(double latitude, double longitude) {
    const std::string path = daemon->Root() + "/Scripts/NightLight.vbs";
    std::string text = ReadFile(path);
    const std::string before = text;
    text = std::regex_replace(text, std::regex("Const Latitude = [-0-9.]+"),
                              "Const Latitude = " + std::to_string(latitude));
    text = std::regex_replace(text, std::regex("Const Longitude = [-0-9.]+"),
                              "Const Longitude = " + std::to_string(longitude));
    ASSERT_NE(text, before) << "NightLight.vbs has no Latitude/Longitude constants";
    WriteFile(path, text);
  }
  void StartNode() {
    StartAndGreet();
    ASSERT_TRUE(WaitFor(
        [&] { return daemon->Log().find("stdout: subscriptions made") != std::string::npos; },
        10000))
        << "Startup.vbs did not finish\n"
        << daemon->Log();
  }
  std::string Device(const std::string& cls, const std::string& source, const std::string& body) {
    return "xap-header\n{\nv=12\nhop=1\nuid=FF123400\nclass=" + cls + "\nsource=" + source +
           "\n}\n" + body;
  }
  // The next message the node sends as "target|class|section|items" (items name=value, ";").
  std::string NextSent(int timeoutMs = 8000) {
    auto d = hub.ReceiveMessage(timeoutMs);
    if (!d) return "(none)";
    const XapMessage m = Parse(*d);
    std::string out = std::string(m.MsgTarget) + "|" + std::string(m.MsgClass) + "|";
    const std::vector<std::string> sections = m.MsgSection();
    out += sections.empty() ? std::string() : sections[0];
    out += "|";
    if (auto items = m.msgCollection(0)) {
      for (const std::string& line : items->Lines()) out += line + ";";
    }
    return out;
  }
  size_t LogCount(const std::string& text) {
    const std::string log = daemon->Log();
    size_t n = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
    return n;
  }
};

TEST_F(Examples, MotionAtNightSwitchesTheLightAndInDaylightLeavesItAlone) {
  Install(0, LongitudeFor(/*night=*/true));
  StartNode();
  const std::string motion = "input.state\n{\nstate=on\n}\n";
  // Other sources, and a sensor going quiet, switch nothing.
  hub.SendTo(port, Device("xAPBSC.event", "acme.door.front:contact", motion));
  hub.SendTo(port,
             Device("xAPBSC.event", "acme.pir.hall:motion", "input.state\n{\nstate=off\n}\n"));
  hub.SendTo(port, Device("xAPBSC.event", "acme.pir.hall:motion", motion));
  EXPECT_EQ(NextSent(), "acme.light.hall:porch|xAPBSC.cmd|output.state.1|id=*;State=on;");
  EXPECT_EQ(NextSent(1500), "(none)") << "one command for one movement";

  // Noon at the same latitude: the script is read afresh at every run.
  Place(0, LongitudeFor(/*night=*/false));
  hub.SendTo(port, Device("xAPBSC.event", "acme.pir.garden:motion", motion));
  ASSERT_TRUE(WaitFor([&] { return LogCount("daylight, light left alone") == 1; }, 8000))
      << daemon->Log();
  EXPECT_EQ(NextSent(500), "(none)");

  // Polar night (north in December, south in June): no sunrise at all, so night all day.
  const time_t now = ::time(nullptr);
  tm utc{};
  ::gmtime_r(&now, &utc);
  const bool northernWinter = utc.tm_mon >= 9 || utc.tm_mon <= 1;  // October to February
  const bool southernWinter = utc.tm_mon >= 4 && utc.tm_mon <= 7;  // May to August
  if (northernWinter || southernWinter) {
    Place(northernWinter ? 85 : -85, LongitudeFor(/*night=*/false));
    hub.SendTo(port, Device("xAPBSC.event", "acme.pir.hall:motion", motion));
    EXPECT_EQ(NextSent(), "acme.light.hall:porch|xAPBSC.cmd|output.state.1|id=*;State=on;");
  }
  EXPECT_EQ(LogCount("stderr:"), 0u) << daemon->Log();
}

TEST_F(Examples, TemperaturesAreAppendedToTheCsvFile) {
  Install(52.37, 4.90);
  StartNode();
  hub.SendTo(port, Device("xAPBSC.event", "acme.thermo.lounge:temp",
                          "input.state\n{\nstate=on\ntext=21.5\n}\n"));
  hub.SendTo(port, Device("xAPBSC.info", "acme.thermo.attic:temp",
                          "input.state\n{\nstate=on\nlevel=183/1000\n}\n"));
  // Not a sensor it is subscribed to; not a state report; a report without a reading.
  hub.SendTo(port, Device("xAPBSC.event", "acme.other.cellar:temp",
                          "input.state\n{\nstate=on\ntext=9\n}\n"));
  hub.SendTo(port, Device("xAPBSC.query", "acme.thermo.lounge:temp",
                          "input.state\n{\nstate=on\ntext=7\n}\n"));
  hub.SendTo(port,
             Device("xAPBSC.event", "acme.thermo.porch:temp", "input.state\n{\nstate=on\n}\n"));
  hub.SendTo(port, Device("xAPBSC.event", "acme.thermo.porch:temp",
                          "input.state\n{\nstate=on\ntext=4,5 \"frost\"\n}\n"));
  const std::string csv = daemon->Root() + "/Data/Temperatures.csv";
  auto lines = [&] {
    std::vector<std::string> out;
    std::istringstream in(ReadFile(csv));
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
  };
  ASSERT_TRUE(WaitFor([&] { return lines().size() >= 4; }, 10000)) << ReadFile(csv) << "\n"
                                                                   << daemon->Log();
  ::usleep(300000);
  const std::vector<std::string> got = lines();
  ASSERT_EQ(got.size(), 4u) << ReadFile(csv);
  EXPECT_EQ(got[0], "time,sensor,temperature");
  const std::regex stamp("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d,");
  const std::vector<std::string> rest = {"acme.thermo.lounge:temp,21.5",
                                         "acme.thermo.attic:temp,18.3",
                                         "acme.thermo.porch:temp,\"4,5 \"\"frost\"\"\""};
  for (size_t i = 0; i < rest.size(); ++i) {
    EXPECT_TRUE(std::regex_search(got[i + 1], stamp)) << got[i + 1];
    EXPECT_EQ(got[i + 1].substr(got[i + 1].find(',') + 1), rest[i]);
  }
}

TEST_F(Examples, ADisplayTextIsSentToTheLcd) {
  Install(52.37, 4.90);
  StartNode();
  hub.SendTo(port, Device("Message.Display", "acme.phone.hall",
                          "Display.Text\n{\nLine1=Call from\nLine2=Anna\n}\n"));
  EXPECT_EQ(
      NextSent(),
      "acme.lcd.kitchen:display|xAPBSC.cmd|output.state.1|id=*;State=on;Text=Call from Anna;");
  // One line only, cut to the LCD's 32 characters.
  hub.SendTo(port, Device("Message.Display", "acme.phone.hall",
                          "Display.Text\n{\nLine1=0123456789012345678901234567890123456789\n}\n"));
  EXPECT_EQ(NextSent(),
            "acme.lcd.kitchen:display|xAPBSC.cmd|output.state.1|id=*;State=on;"
            "Text=01234567890123456789012345678901;");
  EXPECT_EQ(LogCount("stderr:"), 0u) << daemon->Log();
}

// Every fenced block of the page whose first or second line names a file in Scripts/
// ("' Scripts/OnLamp.vbs: ..." or "# Scripts/onlamp.sh: ..."): its name and its text.
std::vector<std::pair<std::string, std::string>> GuideHandlers(const std::string& page) {
  std::vector<std::pair<std::string, std::string>> out;
  const std::regex named("^(?:'|#) Scripts/([A-Za-z0-9_.-]+)");
  size_t at = 0;
  for (int guard = 0; guard < 1000; ++guard) {
    const size_t open = page.find("\n```", at);
    if (open == std::string::npos) break;
    const size_t body = page.find('\n', open + 4);
    const size_t close = page.find("\n```", body);
    if (body == std::string::npos || close == std::string::npos) break;
    const std::string text = page.substr(body + 1, close - body);
    at = close + 4;
    std::istringstream lines(text);
    std::string line;
    for (int i = 0; i < 2 && std::getline(lines, line); ++i) {
      std::smatch m;
      if (std::regex_search(line, m, named)) {
        out.emplace_back(m[1], text);
        break;
      }
    }
  }
  return out;
}

TEST_F(Examples, TheHandlersOfTheScriptingGuideWorkAsShown) {
  const std::string page = ReadFile(std::string(SABLEWICK_SOURCE_DIR) + "/docs/scripting.md");
  std::string startup = "Set hs = CreateObject(\"Sablewick.Application\")\n";
  std::vector<std::string> names;
  for (const auto& [name, text] : GuideHandlers(page)) {
    if (name == "Startup.vbs" || name.ends_with(".txt")) continue;
    const std::string path = daemon->Root() + "/Scripts/" + name;
    WriteFile(path, text);
    if (text.starts_with("#!")) ::chmod(path.c_str(), 0755);
    startup +=
        "hs.SelectXapMessage \"\", \"xAPBSC.event\", \"\", \"acme.lamp.>\", \"" + name + "\"\n";
    names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  ASSERT_EQ(names,
            (std::vector<std::string>{"OnLamp.vbs", "onlamp-dbus.py", "onlamp.py", "onlamp.sh"}));
  WriteFile(daemon->Root() + "/Scripts/Startup.vbs",
            startup + "WScript.Echo \"subscriptions made\"\n");
  StartNode();
  hub.SendTo(port, Device("xAPBSC.event", "acme.lamp.hall", "input.state\n{\nstate=on\n}\n"));
  std::vector<std::string> sent;
  for (int i = 0; i < 4; ++i) sent.push_back(NextSent(15000));
  std::sort(sent.begin(), sent.end());
  EXPECT_EQ(sent,
            (std::vector<std::string>{"Unknown|my.class|body|k=v;",
                                      "acme.light.hall|xAPBSC.cmd|output.state.1|id=*;State=on;",
                                      "acme.light.hall|xAPBSC.cmd|output.state.1|id=*;State=on;",
                                      "acme.light.hall|xAPBSC.cmd|output.state.1|id=*;State=on;"}));
  // What each prints reaches the log.
  EXPECT_TRUE(WaitFor(
      [&] {
        return LogCount("lamp acme.lamp.hall is on") == 3 && LogCount("stdout: lamp is on") == 1;
      },
      10000))
      << daemon->Log();
  EXPECT_EQ(LogCount("stderr:"), 0u) << daemon->Log();
}

}  // namespace
}  // namespace sablewick
