// Network and hardware recovery: every CheckInterval minutes Timer2 reads the machine's
// default gateway. When it is the expected one, the device X10Device is power-cycled through
// an X10 request on the xAP network: "on", ten seconds with the thread held, "off". Another
// gateway, or one that cannot be read, leaves the device alone.
//
// Start-up only prepares this: Timer2 is made disabled and the settings start empty.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/App.h"
#include "core/Timer.h"
#include "watchdog/Shell.h"

namespace sablewick {

// A queued X10 command as the hardware side describes it.
struct X10Queue {
  int16_t Header = 0;
  int16_t Command = 0;
  int16_t State = 0;
  int16_t Retry = 0;
  int16_t Brightness = 0;
};

class Recovery {
 public:
  static constexpr unsigned kTimer2Interval = 60000;
  static constexpr int32_t kRestartPause = 10000;

  explicit Recovery(App& app);
  Recovery(const Recovery&) = delete;
  Recovery& operator=(const Recovery&) = delete;

  // The recovery settings' keys, sections and defaults (all in "General").
  void BuildIniTables();

  // True when the default gateway differs from gateway, or could not be read (no restart is
  // the cautious answer). An empty gateway gives false without running anything.
  bool RouteCheck(const std::string& gateway);

  // The tick: once more than CheckInterval minute boundaries have passed since the last
  // check (StartupTime), check the route and restart the device when it calls for it.
  void Timer2_Timer();

  Timer& Timer2() { return timer2_; }

  std::vector<std::string> IniKeys;
  std::vector<std::string> IniSections;
  std::vector<std::string> IniDefaults;

  int16_t CheckInterval = 0;    // minutes between checks
  std::string ExpectedGateway;  // passed to RouteCheck
  std::string X10Device;        // the device the restart request names

  // How RouteCheck lists the routes; tests put captured listings here.
  std::shared_ptr<CommandRunner> commandRunner = std::make_shared<SpawnCommandRunner>();
  // The restart's pause; it holds the thread (tests replace it to not really wait).
  std::function<void(int32_t ms)> wait;

 private:
  void RestartSequence();
  void SendX10(std::string_view command);

  App& app_;
  Timer timer2_;
};

// The gateway of an `ip route show default` listing: the token after the first word "via",
// up to a blank or the line end. Empty when the listing names none.
std::string DefaultGateway(std::string_view listing);

// The minute boundaries crossed from one date to a later one (negative when it is earlier).
int64_t MinuteBoundaries(double from, double to);

// The route listing program: "ip" from PATH, else from the usual system folders (a user's
// PATH on Debian does not hold /usr/sbin).
std::string RouteTool();

}  // namespace sablewick
