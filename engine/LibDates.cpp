// Date arithmetic and names: DateAdd, DateDiff, DatePart, DateValue, TimeValue,
// WeekdayName, MonthName, FormatDateTime. en-US names and formats; Sunday is the first day
// of the week wherever the script leaves it to the system (vbUseSystemDayOfWeek).
#include <cmath>
#include <cstdio>

#include "engine/Library.h"

namespace vbs {

namespace lib {

double DateToLinear(double date) {
  double whole = std::trunc(date);
  return whole + std::fabs(date - whole);
}

double LinearToDate(double linear) {
  double whole = std::floor(linear);
  double frac = linear - whole;
  if (whole >= 0 || frac == 0) return linear;
  return whole - frac;
}

void CheckDateRange(double date) {
  // 1/1/100 and 12/31/9999, the language's whole range of dates.
  if (!(date > -657435.0 && date < 2958466.0)) Throw(kInvalidCall);
}

int WeekdayOf(double date, int firstDay) {
  double d = std::floor(DateToLinear(date));
  // 12/30/1899 (serial 0) was a Saturday, day 7 counted from Sunday.
  int sunday = static_cast<int>(std::fmod(std::fmod(d + 6, 7) + 7, 7)) + 1;
  return (sunday - firstDay + 7) % 7 + 1;
}

}  // namespace lib

using namespace lib;

namespace {

constexpr const char* kDayNames[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                     "Thursday", "Friday", "Saturday"};
constexpr const char* kMonthNames[] = {"January", "February", "March",     "April",
                                       "May",     "June",     "July",      "August",
                                       "September", "October", "November", "December"};

enum class Interval { Year, Quarter, Month, DayOfYear, Day, Weekday, Week, Hour, Minute, Second };

struct IntervalName {
  std::string_view name;
  Interval interval;
};
constexpr IntervalName kIntervals[] = {
    {"yyyy", Interval::Year}, {"q", Interval::Quarter},   {"m", Interval::Month},
    {"y", Interval::DayOfYear}, {"d", Interval::Day},     {"w", Interval::Weekday},
    {"ww", Interval::Week},   {"h", Interval::Hour},      {"n", Interval::Minute},
    {"s", Interval::Second},
};

Interval IntervalArg(Args a, size_t i) {
  std::string name = Text(a, i);
  for (const auto& k : kIntervals)
    if (NameEquals(k.name, name)) return k.interval;
  Throw(kInvalidCall);
}

int FirstDayArg(Args a, size_t i) {
  int32_t d = LongOr(a, i, 1);
  Require(d >= 0 && d <= 7);
  return d == 0 ? 1 : d;
}

int FirstWeekArg(Args a, size_t i) {
  int32_t w = LongOr(a, i, 1);
  Require(w >= 0 && w <= 3);
  return w == 0 ? 1 : w;
}

struct Parts {
  int year, month, day, hour, minute, second;
};
Parts Split(double date) {
  Parts p{};
  SplitDate(date, p.year, p.month, p.day, p.hour, p.minute, p.second);
  return p;
}

int64_t WholeSeconds(double date) {
  return std::llround(DateToLinear(date) * 86400.0);
}
int64_t FloorDiv(int64_t a, int64_t b) {
  return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

// The first day of week 1 of `year` under the first-week rule.
double WeekOneStart(int year, int firstDay, int firstWeek) {
  double jan1 = DateSerial(year, 1, 1);
  int before = WeekdayOf(jan1, firstDay) - 1;  // days of that week still in December
  double start = jan1 - before;
  if (firstWeek == 2 && 7 - before < 4) start += 7;   // vbFirstFourDays
  if (firstWeek == 3 && before != 0) start += 7;      // vbFirstFullWeek
  return start;
}

int WeekOfYear(double date, int firstDay, int firstWeek) {
  double day = std::floor(DateToLinear(date));
  int year = Split(date).year;
  double start = WeekOneStart(year, firstDay, firstWeek);
  if (day < start) start = WeekOneStart(year - 1, firstDay, firstWeek);
  return static_cast<int>((day - start) / 7) + 1;
}

Variant Int16(int v) {
  return Variant::Integer(static_cast<int16_t>(v));
}

}  // namespace

Variant LibDateAdd(Interpreter&, Args a) {
  Interval iv = IntervalArg(a, 0);
  double n = ToDouble(Arg(a, 1));
  if (Arg(a, 2).IsNull()) return Variant::Null();
  double date = ToDate(Arg(a, 2));
  CheckDateRange(date);
  double count = std::trunc(n);
  double result;
  switch (iv) {
    case Interval::Year:
    case Interval::Quarter:
    case Interval::Month: {
      double months = count * (iv == Interval::Year ? 12 : iv == Interval::Quarter ? 3 : 1);
      Require(std::fabs(months) < 200000);
      Parts p = Split(date);
      int total = p.month - 1 + static_cast<int>(months);
      int year = p.year + (total >= 0 ? total / 12 : (total - 11) / 12);
      int month = ((total % 12) + 12) % 12 + 1;
      // The day sticks to the end of a shorter month: Jan 31 + 1 month is Feb 28/29.
      int last = static_cast<int>(DateSerial(year, month + 1, 1) - DateSerial(year, month, 1));
      double day = DateSerial(year, month, std::min(p.day, last));
      double time = std::fabs(date - std::trunc(date));
      result = day < 0 && time != 0 ? day - time : day + time;
      break;
    }
    case Interval::DayOfYear:
    case Interval::Day:
    case Interval::Weekday:
    case Interval::Week: {
      double days = count * (iv == Interval::Week ? 7 : 1);
      Require(std::fabs(days) < 4e6);
      result = LinearToDate(DateToLinear(date) + days);
      break;
    }
    default: {
      double unit = iv == Interval::Hour ? 3600 : iv == Interval::Minute ? 60 : 1;
      Require(std::fabs(count * unit) < 4e11);
      double secs = static_cast<double>(WholeSeconds(date)) + count * unit;
      result = LinearToDate(secs / 86400.0);
      break;
    }
  }
  CheckDateRange(result);
  return Variant::Date(result);
}

Variant LibDateDiff(Interpreter&, Args a) {
  Interval iv = IntervalArg(a, 0);
  int firstDay = FirstDayArg(a, 3);
  FirstWeekArg(a, 4);
  if (Arg(a, 1).IsNull() || Arg(a, 2).IsNull()) return Variant::Null();
  double d1 = ToDate(Arg(a, 1)), d2 = ToDate(Arg(a, 2));
  Parts p1 = Split(d1), p2 = Split(d2);
  double day1 = std::floor(DateToLinear(d1)), day2 = std::floor(DateToLinear(d2));
  int64_t r = 0;
  switch (iv) {
    case Interval::Year:
      r = p2.year - p1.year;
      break;
    case Interval::Quarter:
      r = (p2.year * 4 + (p2.month - 1) / 3) - (p1.year * 4 + (p1.month - 1) / 3);
      break;
    case Interval::Month:
      r = (p2.year * 12 + p2.month) - (p1.year * 12 + p1.month);
      break;
    case Interval::DayOfYear:
    case Interval::Day:
      r = static_cast<int64_t>(day2 - day1);
      break;
    case Interval::Weekday:
      r = static_cast<int64_t>(day2 - day1) / 7;
      break;
    case Interval::Week: {
      // Counts the week starts (firstDay) passed between the two dates.
      auto start = [&](double day, double date) { return day - (WeekdayOf(date, firstDay) - 1); };
      r = static_cast<int64_t>(start(day2, d2) - start(day1, d1)) / 7;
      break;
    }
    case Interval::Hour:
      r = FloorDiv(WholeSeconds(d2), 3600) - FloorDiv(WholeSeconds(d1), 3600);
      break;
    case Interval::Minute:
      r = FloorDiv(WholeSeconds(d2), 60) - FloorDiv(WholeSeconds(d1), 60);
      break;
    case Interval::Second:
      r = WholeSeconds(d2) - WholeSeconds(d1);
      break;
  }
  if (r > INT32_MAX || r < INT32_MIN) Throw(kOverflow);
  return Variant::Long(static_cast<int32_t>(r));
}

Variant LibDatePart(Interpreter&, Args a) {
  Interval iv = IntervalArg(a, 0);
  int firstDay = FirstDayArg(a, 2);
  int firstWeek = FirstWeekArg(a, 3);
  if (Arg(a, 1).IsNull()) return Variant::Null();
  double date = ToDate(Arg(a, 1));
  Parts p = Split(date);
  switch (iv) {
    case Interval::Year:
      return Int16(p.year);
    case Interval::Quarter:
      return Int16((p.month - 1) / 3 + 1);
    case Interval::Month:
      return Int16(p.month);
    case Interval::DayOfYear:
      return Int16(static_cast<int>(DateSerial(p.year, p.month, p.day) - DateSerial(p.year, 1, 1)) + 1);
    case Interval::Day:
      return Int16(p.day);
    case Interval::Weekday:
      return Int16(WeekdayOf(date, firstDay));
    case Interval::Week:
      return Int16(WeekOfYear(date, firstDay, firstWeek));
    case Interval::Hour:
      return Int16(p.hour);
    case Interval::Minute:
      return Int16(p.minute);
    case Interval::Second:
      return Int16(p.second);
  }
  return Variant();
}

Variant LibDateValue(Interpreter&, Args a) {
  const Variant& v = Arg(a, 0);
  if (v.IsNull()) return Variant::Null();
  return Variant::Date(std::trunc(ToDate(v)));
}

Variant LibTimeValue(Interpreter&, Args a) {
  const Variant& v = Arg(a, 0);
  if (v.IsNull()) return Variant::Null();
  double d = ToDate(v);
  return Variant::Date(std::fabs(d - std::trunc(d)));
}

Variant LibWeekdayName(Interpreter&, Args a) {
  int32_t wd = Long(a, 0);
  bool abbreviate = BoolOr(a, 1, false);
  int firstDay = FirstDayArg(a, 2);
  Require(wd >= 1 && wd <= 7);
  std::string name = kDayNames[(wd - 1 + firstDay - 1) % 7];
  return Variant::String(abbreviate ? name.substr(0, 3) : name);
}

Variant LibMonthName(Interpreter&, Args a) {
  bool abbreviate = BoolOr(a, 1, false);
  int32_t m = Long(a, 0);
  Require(m >= 1 && m <= 12);
  std::string name = kMonthNames[m - 1];
  return Variant::String(abbreviate ? name.substr(0, 3) : name);
}

// vbGeneralDate, vbLongDate ("Tuesday, March 4, 2003"), vbShortDate (3/4/2003),
// vbLongTime (1:02:03 PM), vbShortTime (13:02): the en-US forms.
Variant LibFormatDateTime(Interpreter&, Args a) {
  if (Arg(a, 0).IsNull()) Throw(kTypeMismatch);
  double date = ToDate(Arg(a, 0));
  int32_t format = LongOr(a, 1, 0);
  Require(format >= 0 && format <= 4);
  Parts p = Split(date);
  char buf[96];
  switch (format) {
    case 1:
      std::snprintf(buf, sizeof buf, "%s, %s %d, %d", kDayNames[WeekdayOf(date, 1) - 1],
                    kMonthNames[p.month - 1], p.day, p.year);
      break;
    case 2:
      std::snprintf(buf, sizeof buf, "%d/%d/%d", p.month, p.day, p.year);
      break;
    case 3: {
      int h12 = p.hour % 12 == 0 ? 12 : p.hour % 12;
      std::snprintf(buf, sizeof buf, "%d:%02d:%02d %s", h12, p.minute, p.second,
                    p.hour < 12 ? "AM" : "PM");
      break;
    }
    case 4:
      std::snprintf(buf, sizeof buf, "%02d:%02d", p.hour, p.minute);
      break;
    default:
      return Variant::String(FormatGeneralDate(date));
  }
  return Variant::String(buf);
}

}  // namespace vbs
