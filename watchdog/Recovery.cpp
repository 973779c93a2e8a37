#include "watchdog/Recovery.h"

#include <glib.h>
#include <unistd.h>

#include <cmath>

#include "core/CWaitNDispatch.h"
#include "core/Log.h"
#include "xap/SendHelper.h"

namespace sablewick {
namespace {

std::vector<std::string> Split(std::string_view text, char separator) {
  std::vector<std::string> pieces;
  for (;;) {
    const size_t end = text.find(separator);
    pieces.emplace_back(text.substr(0, end));
    if (end == std::string_view::npos) return pieces;
    text.remove_prefix(end + 1);
  }
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}
bool EndsToken(char c) {
  return IsBlank(c) || c == '\r' || c == '\n';
}

int64_t FloorDiv(int64_t a, int64_t b) {
  return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

}  // namespace

Recovery::Recovery(App& app) : app_(app), timer2_([this] { Timer2_Timer(); }) {
  wait = [](int32_t ms) {
    CWaitNDispatch pause;
    pause.Wait(ms);
  };
}

void Recovery::BuildIniTables() {
  IniDefaults = {"ORBEL6", "B12", "10", "192.168.0.1"};
  IniKeys = Split("Computer,X10Address,Timeout,Gateway", ',');
  IniSections = Split("General", ',');
}

bool Recovery::RouteCheck(const std::string& gateway) {
  if (gateway.empty()) return false;
  try {
    if (!commandRunner) throw Failure(91, "Object variable not set");
    const std::string listing = commandRunner->Run({RouteTool(), "route", "show", "default"});
    return DefaultGateway(listing) != gateway;
  } catch (...) {
    SetPendingError(app_, 0);
    ReportEvent(app_, "Sablewick", "ReRouted");
    return true;
  }
}

void Recovery::Timer2_Timer() {
  StepRunner step(app_, "Sablewick", "Timer2_Timer", ReportVia::Log);
  step([&] {
    const double now = app_.clock->Now();
    if (MinuteBoundaries(app_.StartupTime, now) <= CheckInterval) return;
    app_.StartupTime = now;
    if (RouteCheck(ExpectedGateway)) return;
    RestartSequence();
  });
}

void Recovery::RestartSequence() {
  SendX10("on");
  // Once "on" is out, "off" must follow even if the pause fails: a device left switched on
  // would stay so until someone notices.
  StepRunner step(app_, "Sablewick", "Timer2_Timer", ReportVia::Log);
  const bool paused = step([&] {
    if (app_.SwapIcons) app_.SwapIcons();
    if (wait) wait(kRestartPause);
  });
  if (paused) LogToFile(app_, "Restarted", "");
  SendX10("off");
}

void Recovery::SendX10(std::string_view command) {
  SendXap(app_, "", "xap-x10.request", "xap-x10.request",
          ItemList({{"Device", X10Device}, {"Command", command}}));
}

std::string DefaultGateway(std::string_view listing) {
  constexpr std::string_view kLabel = "via";
  for (size_t at = listing.find(kLabel); at != std::string_view::npos;
       at = listing.find(kLabel, at + 1)) {
    const size_t after = at + kLabel.size();
    const bool wordStart = at == 0 || EndsToken(listing[at - 1]);
    const bool wordEnd = after == listing.size() || EndsToken(listing[after]);
    if (!wordStart || !wordEnd) continue;  // part of another word, e.g. a device name
    size_t begin = after;
    while (begin < listing.size() && IsBlank(listing[begin])) ++begin;
    size_t end = begin;
    while (end < listing.size() && !EndsToken(listing[end])) ++end;
    return std::string(listing.substr(begin, end - begin));
  }
  return {};
}

int64_t MinuteBoundaries(double from, double to) {
  // Through whole seconds, so that 10:05:00 is not read as 10:04:59.999.
  const int64_t fromMinute = FloorDiv(std::llround(from * 86400.0), 60);
  const int64_t toMinute = FloorDiv(std::llround(to * 86400.0), 60);
  return toMinute - fromMinute;
}

std::string RouteTool() {
  if (gchar* found = g_find_program_in_path("ip")) {
    std::string path = found;
    g_free(found);
    return path;
  }
  for (const char* path : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"}) {
    if (::access(path, X_OK) == 0) return path;
  }
  return "ip";  // let the start fail with the runner's own message
}

}  // namespace sablewick
