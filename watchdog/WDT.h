// The device watchdog. A WDT record watches one other xAP device through two checks: its
// heartbeats must keep coming (the periodic scan, CheckWatchdogs), and every tenth heartbeat
// it is sent a random value that it must echo before its next heartbeat. Every change of the
// device's health is told twice: as a Homeseer.Event report and as an xAPBSC.event status
// message ("ON"/"OFF") whose DisplayText is the echo turnaround statistics.
//
// A failed device comes back only through an echo answer; resumed heartbeats alone do not
// count, since a device can keep beating while its application is stuck.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <string_view>

#include "core/App.h"
#include "core/StopWatch.h"

namespace sablewick {

class WDT {
 public:
  // The values of State.
  static constexpr int16_t kQueryOutstanding = 0;
  static constexpr int16_t kHealthy = 1;
  static constexpr int16_t kFailed = 2;

  explicit WDT(App& app);
  WDT(const WDT&) = delete;
  WDT& operator=(const WDT&) = delete;

  std::string Source;       // the device's xAP address; echo target, status subaddress
  int16_t Interval = 0;     // its heartbeat interval in seconds
  double LastReceivedTime;  // date of the last heartbeat (of construction before the first)
  int16_t State = kHealthy;
  int16_t index = 0;  // 0..255; ends the UID of the status messages

  // The turnaround statistics: "Count=.., Last=.., Avg=.., Max=.., Min=..".
  std::string Report() const { return timer_.Report(); }
  // The last completed echo turnaround in ms.
  int32_t ElapsedTime() const { return timer_.Last(); }

  // Call for every heartbeat received from Source.
  void Received_Heartbeat();
  // Call with the "Response" value of an echo answer from Source.
  void Received_Echo(std::string_view sEchoValue);

 private:
  friend void CheckWatchdogs(App& app);

  void Fail(std::string_view occasion);
  void SendStatus(std::string_view state);

  App& app_;
  int16_t heartbeatCount_ = 0;  // modulo 10
  std::string echoValue_;
  StopWatch timer_;
};

// The periodic scan (the transport's 55 s alive timer): every device not yet failed whose
// last heartbeat is more than 2 x Interval seconds old is reported once and marked failed.
void CheckWatchdogs(App& app);

// Two upper-case hex digits of n. 256 or more is reported as too large and taken as 0; a
// value that cannot be converted is reported and gives an empty text.
std::string ToHex(App& app, int16_t n);

// A new echo value: 1 plus a pseudo-random fraction in [0, 1), held in single precision, as
// EchoText writes it.
std::string MakeEchoValue(std::mt19937& random);

// value rounded to 5 decimal places (ties to even) in its shortest decimal form: 1.70555,
// 1.5, 2.
std::string EchoText(float value);

}  // namespace sablewick
