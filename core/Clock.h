// Time as the program sees it: local date-times as days since 30 December 1899 (the script
// engine's date type), a 32-bit millisecond tick count, and the UTC file time. Tests replace
// the clock through App::clock.
#pragma once

#include <cstdint>
#include <string>

namespace sablewick {

class Clock {
 public:
  virtual ~Clock() = default;
  // Current local date and time as days since 1899-12-30 00:00.
  virtual double Now() const;
  // Milliseconds of CLOCK_MONOTONIC truncated to 32 bits, like a system tick count.
  virtual uint32_t TickCount() const;
  // CLOCK_REALTIME in 100 ns units.
  virtual int64_t FileTime() const;

 private:
  // Local time changes its offset at most on a second boundary: one conversion per second.
  mutable int64_t cachedSecond_ = -1;
  mutable double cachedDate_ = 0;
};

// The process-wide real clock.
Clock& SystemClock();

// Converts a local broken-down time to the date type and back.
double DateFromParts(int year, int month, int day, int hour, int minute, int second);

// The one "general date" format: M/D/YYYY h:mm:ss AM (date only at midnight, time only on
// the zero day). Used by the log line, the "Time" items and the script engine.
std::string FormatGeneralDate(double date);

}  // namespace sablewick
