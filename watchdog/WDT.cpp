#include "watchdog/WDT.h"

#include <cmath>
#include <cstdio>
#include <memory>

#include "core/Log.h"
#include "watchdog/WatchedDevices.h"
#include "xap/SendHelper.h"

namespace sablewick {
namespace {

constexpr int32_t kInvalidArgument = 5;

// Whole seconds of a date. The clock reads whole seconds, and comparing whole numbers keeps
// a deadline that falls exactly on "now" from tipping either way through rounding.
int64_t DateSeconds(double date) {
  return std::llround(date * 86400.0);
}

}  // namespace

WDT::WDT(App& app) : LastReceivedTime(app.clock->Now()), app_(app), timer_(*app.clock) {}

void WDT::Received_Heartbeat() {
  heartbeatCount_ = static_cast<int16_t>((heartbeatCount_ + 1) % 10);
  // A new value at every heartbeat, so that an answer to an older query never matches.
  echoValue_ = MakeEchoValue(app_.random);

  if (State == kQueryOutstanding) Fail("WDT Echo Fail");

  if (heartbeatCount_ == 1) {
    if (State != kFailed) State = kQueryOutstanding;
    SendXap(app_, Source, "wdt.echo", "Echo.Query", ItemList({{"Query", echoValue_}}));
    timer_.StartTime();
  }
  LastReceivedTime = app_.clock->Now();
}

void WDT::Received_Echo(std::string_view sEchoValue) {
  timer_.StopTime();
  if (State == kFailed) {
    ReportEvent(app_, "WDT Recover", Source + " = " + Report());
    SendStatus("ON");
  }
  State = kHealthy;
  if (echoValue_ != sEchoValue) {
    std::string message = Source + " = " + Report() + ", Sent=" + echoValue_ + ", Received=";
    message += sEchoValue;
    ReportEvent(app_, "WDT Echo Value Fail", message);
  }
}

void WDT::Fail(std::string_view occasion) {
  ReportEvent(app_, occasion, Source + " = " + Report());
  State = kFailed;
  SendStatus("OFF");
}

void WDT::SendStatus(std::string_view state) {
  // Each device speaks as a sub-device of this node: its number ends the UID.
  const std::string uid = app_.UID.substr(0, 6) + ToHex(app_, index);
  SendXap(app_, "", "xAPBSC.event", "input.state.1",
          ItemList({{"State", state}, {"DisplayText", Report()}}), Source, uid, "");
}

void CheckWatchdogs(App& app) {
  if (!app.WatchedDevices) return;  // before start-up made the table there is nothing to watch
  const int64_t now = DateSeconds(app.clock->Now());
  for (const std::string& key : app.WatchedDevices->Keys()) {
    const std::shared_ptr<WDT> device = app.WatchedDevices->Item(key);
    // A failed device was reported when it failed; it is not reported again until it recovers.
    if (!device || device->State == WDT::kFailed) continue;
    // Widened first: twice a 16-bit interval does not always fit in 16 bits.
    const int64_t deadline = DateSeconds(device->LastReceivedTime) + 2 * int64_t{device->Interval};
    if (deadline < now) device->Fail("WDT No Heartbeat");
  }
}

std::string ToHex(App& app, int16_t n) {
  try {
    int32_t value = n;
    if (value >= 256) {
      ReportEvent(app, "Sablewick",
                  "Attempting to send " + std::to_string(n) + " to Rain8, which is too large");
      value = 0;
    }
    if (value < 0) throw Failure(kInvalidArgument, "Invalid procedure call or argument");
    static constexpr char kDigits[] = "0123456789ABCDEF";
    return {kDigits[value / 16], kDigits[value % 16]};
  } catch (...) {
    SetPendingError(app, 0);
    ReportEvent(app, "Sablewick", "ToHex ");
    return {};
  }
}

std::string MakeEchoValue(std::mt19937& random) {
  // 24 random bits: every fraction a single-precision number can hold in [0, 1).
  const float fraction = static_cast<float>(random() >> 8) * 0x1p-24f;
  const float value = 1.0f + fraction;
  return EchoText(value);
}

std::string EchoText(float value) {
  // A float times 1e5 is exact in a double, so a value halfway between two 5-place numbers is
  // seen as a tie and goes to the even one (nearbyint in the default rounding mode).
  const auto scaled = static_cast<int64_t>(std::nearbyint(static_cast<double>(value) * 1e5));
  const bool negative = scaled < 0;
  const int64_t magnitude = negative ? -scaled : scaled;
  std::string text = negative ? "-" : "";
  text += std::to_string(magnitude / 100000);
  int64_t fraction = magnitude % 100000;
  if (fraction != 0) {
    char digits[8];
    std::snprintf(digits, sizeof digits, ".%05lld", static_cast<long long>(fraction));
    std::string decimals = digits;
    while (decimals.back() == '0') decimals.pop_back();
    text += decimals;
  }
  return text;
}

}  // namespace sablewick
