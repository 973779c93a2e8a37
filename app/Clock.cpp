#include "app/Clock.h"

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

void CivilFromDays(int64_t z, int& y, int& m, int& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(static_cast<int64_t>(yoe) + era * 400 + (m <= 2));
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
  const double whole = std::trunc(date);
  int64_t seconds = std::llround(std::fabs(date - whole) * 86400.0);
  int64_t days = static_cast<int64_t>(whole);
  if (seconds >= 86400) {  // rounding reached the next day
    seconds -= 86400;
    days += date < 0 ? -1 : 1;
  }
  std::string out;
  char buf[64];
  if (days != 0) {
    int y, m, d;
    CivilFromDays(days + kDateEpoch, y, m, d);
    std::snprintf(buf, sizeof buf, "%d/%d/%d", m, d, y);
    out = buf;
  }
  if (seconds != 0 || days == 0) {
    const int h = static_cast<int>(seconds / 3600);
    const int mi = static_cast<int>(seconds / 60 % 60);
    const int s = static_cast<int>(seconds % 60);
    const int h12 = h % 12 == 0 ? 12 : h % 12;
    std::snprintf(buf, sizeof buf, "%d:%02d:%02d %s", h12, mi, s, h < 12 ? "AM" : "PM");
    if (!out.empty()) out += ' ';
    out += buf;
  }
  return out;
}

}  // namespace sablewick
