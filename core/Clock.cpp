#include "core/Clock.h"

#include "engine/Variant.h"

#include <cmath>
#include <cstdio>
#include <ctime>

namespace sablewick {
namespace {

// Days from 1970-01-01 to a civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}


// 1899-12-30 counted from 1970-01-01.
constexpr int64_t kDateEpoch = -25569;

}  // namespace

double Clock::Now() const {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  if (ts.tv_sec != cachedSecond_) {
    tm local{};
    localtime_r(&ts.tv_sec, &local);
    cachedDate_ = DateFromParts(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                                local.tm_hour, local.tm_min, local.tm_sec);
    cachedSecond_ = ts.tv_sec;
  }
  return cachedDate_;
}

uint32_t Clock::TickCount() const {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  const uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
  return static_cast<uint32_t>(ms);
}

int64_t Clock::FileTime() const {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 10000000 + ts.tv_nsec / 100;
}

Clock& SystemClock() {
  static Clock clock;
  return clock;
}

double DateFromParts(int year, int month, int day, int hour, int minute, int second) {
  const int64_t days = DaysFromCivil(year, static_cast<unsigned>(month),
                                     static_cast<unsigned>(day)) - kDateEpoch;
  const double time = (hour * 3600.0 + minute * 60.0 + second) / 86400.0;
  // Before the zero day the fraction counts away from zero, as the date type defines it.
  return days >= 0 ? static_cast<double>(days) + time : static_cast<double>(days) - time;
}

std::string FormatGeneralDate(double date) {
  // One format for the log, the "Time" items and the scripts' own date-to-text conversion.
  return vbs::FormatGeneralDate(date);
}

}  // namespace sablewick
