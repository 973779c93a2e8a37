// Number formats (FormatNumber, FormatCurrency, FormatPercent), the math functions, the
// locale (en-US, 1033, is the only one) and LoadPicture (refused: a daemon has no pictures).
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/Library.h"

namespace vbs {

using namespace lib;

namespace {

constexpr int32_t kTrue = -1, kFalse = 0, kUseDefault = -2;

struct NumberStyle {
  int digits = 2;
  bool leadingDigit = true;
  bool parens = false;
  bool grouping = true;
};

bool TriState(Args a, size_t i, bool dflt) {
  if (!Given(a, i)) return dflt;
  int32_t v = Long(a, i);
  if (v == kUseDefault) return dflt;
  Require(v == kTrue || v == kFalse || v == 1);
  return v != kFalse;
}

// Reads the optional arguments from `first` on: digits, leading digit, parentheses, grouping.
NumberStyle StyleArgs(Args a, size_t first, NumberStyle style) {
  if (Given(a, first)) {
    int32_t d = Long(a, first);
    Require(d >= -1 && d <= 99);
    if (d >= 0) style.digits = d;
  }
  style.leadingDigit = TriState(a, first + 1, style.leadingDigit);
  style.parens = TriState(a, first + 2, style.parens);
  style.grouping = TriState(a, first + 3, style.grouping);
  return style;
}

// Rounds half away from zero on the decimal digits the value shows (15 significant, as the
// language keeps), so 2.345 formats as 2.35 although the binary double lies just below.
std::string Digits(double value, int decimals, bool& negative) {
  negative = std::signbit(value) && value != 0;
  double mag = std::fabs(value);
  char buf[400];
  std::snprintf(buf, sizeof buf, "%.14e", mag);
  // buf: d.ddddddddddddddde[+-]XX
  std::string mant;
  mant += buf[0];
  mant.append(buf + 2, 14);
  int exp = std::atoi(std::strchr(buf, 'e') + 1);
  // Digit string mant with the decimal point after position exp+1.
  int pointAt = exp + 1;
  if (pointAt < 0) {
    mant.insert(0, static_cast<size_t>(-pointAt), '0');
    pointAt = 0;
  }
  int keep = pointAt + decimals;
  if (keep < static_cast<int>(mant.size())) {
    bool up = keep >= 0 && mant[static_cast<size_t>(keep)] >= '5';
    mant.resize(static_cast<size_t>(std::max(keep, 0)));
    if (up) {
      int i = keep - 1;
      while (i >= 0 && mant[static_cast<size_t>(i)] == '9') mant[static_cast<size_t>(i--)] = '0';
      if (i >= 0) {
        ++mant[static_cast<size_t>(i)];
      } else {
        mant = "1" + mant;
        ++pointAt;
      }
    }
  } else {
    mant.append(static_cast<size_t>(keep) - mant.size(), '0');
  }
  if (pointAt > static_cast<int>(mant.size())) mant.append(pointAt - mant.size(), '0');
  if (mant.find_first_not_of('0') == std::string::npos) negative = false;
  std::string intPart = mant.substr(0, static_cast<size_t>(pointAt));
  std::string frac = mant.substr(static_cast<size_t>(pointAt));
  return intPart + "." + frac;  // split again by the caller
}

std::string FormatWith(double value, const NumberStyle& style, std::string_view prefix,
                       std::string_view suffix) {
  if (!std::isfinite(value)) Throw(kOverflow);
  bool negative;
  std::string both = Digits(value, style.digits, negative);
  size_t dot = both.find('.');
  std::string intPart = both.substr(0, dot), frac = both.substr(dot + 1);
  size_t nz = intPart.find_first_not_of('0');
  intPart = nz == std::string::npos ? std::string() : intPart.substr(nz);
  if (intPart.empty() && (style.leadingDigit || frac.empty())) intPart.assign(1, '0');
  if (style.grouping && intPart.size() > 3) {
    std::string grouped;
    size_t lead = intPart.size() % 3;
    for (size_t i = 0; i < intPart.size(); ++i) {
      if (i && (i - lead) % 3 == 0) grouped += ',';
      grouped += intPart[i];
    }
    intPart = std::move(grouped);
  }
  std::string body(prefix);
  body += intPart;
  if (!frac.empty()) body += "." + frac;
  body += suffix;
  if (!negative) return body;
  return style.parens ? "(" + body + ")" : "-" + body;
}

double NumberArg(Args a) {
  const Variant& v = Arg(a, 0);
  if (v.IsNull()) Throw(kInvalidNull);
  return ToDouble(v);
}

// The Format functions refuse a Null value as a type mismatch.
double FormatArg(Args a) {
  if (Arg(a, 0).IsNull()) Throw(kTypeMismatch);
  return ToDouble(Arg(a, 0));
}

double Checked(double r) {
  if (!std::isfinite(r)) Throw(kOverflow);
  return r;
}

}  // namespace

Variant LibFormatNumber(Interpreter&, Args a) {
  double v = FormatArg(a);
  return Variant::String(FormatWith(v, StyleArgs(a, 1, {}), "", ""));
}

// en-US currency: "$1,234.50"; negative amounts in parentheses unless the script says not.
Variant LibFormatCurrency(Interpreter&, Args a) {
  double v = FormatArg(a);
  NumberStyle style;
  style.parens = true;
  return Variant::String(FormatWith(v, StyleArgs(a, 1, style), "$", ""));
}

Variant LibFormatPercent(Interpreter&, Args a) {
  double v = FormatArg(a);
  return Variant::String(FormatWith(v * 100.0, StyleArgs(a, 1, {}), "", "%"));
}

Variant LibExp(Interpreter&, Args a) {
  return Variant::Double(Checked(std::exp(NumberArg(a))));
}
Variant LibLog(Interpreter&, Args a) {
  double d = NumberArg(a);
  Require(d > 0);
  return Variant::Double(std::log(d));
}
Variant LibSin(Interpreter&, Args a) {
  return Variant::Double(std::sin(NumberArg(a)));
}
Variant LibCos(Interpreter&, Args a) {
  return Variant::Double(std::cos(NumberArg(a)));
}
Variant LibTan(Interpreter&, Args a) {
  return Variant::Double(std::tan(NumberArg(a)));
}
Variant LibAtn(Interpreter&, Args a) {
  return Variant::Double(std::atan(NumberArg(a)));
}

// Only en-US (1033) exists here: SetLocale accepts it under any of its names (and 0, the
// system's, which is the same) and refuses the others with error 5.
Variant LibGetLocale(Interpreter&, Args) {
  return Variant::Long(1033);
}
Variant LibSetLocale(Interpreter&, Args a) {
  if (Given(a, 0)) {
    const Variant& v = Arg(a, 0);
    if (v.IsString()) {
      std::string name = LowerName(v.AsString());
      Require(name.empty() || name == "en-us" || name == "1033" || name == "english");
    } else {
      int32_t id = ToLong(v);
      Require(id == 0 || id == 1033 || id == 1024 || id == 2048);
    }
  }
  return Variant::Long(1033);
}

Variant LibLoadPicture(Interpreter&, Args) {
  Throw(481, "Invalid picture");
}

}  // namespace vbs
