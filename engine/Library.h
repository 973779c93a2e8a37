// The built-in functions that live outside Builtins.cpp (strings by bytes, math, dates,
// number formats, locale), with the argument helpers they share. Builtins.cpp lists them
// all in its one table; each group has its own file (Lib*.cpp).
#pragma once

#include <algorithm>
#include <string>

#include "engine/Builtins.h"
#include "engine/Errors.h"

namespace vbs::lib {

// ---- argument helpers: uniform checks, uniform errors

inline const Variant& Arg(Args a, size_t i) {
  return a[i]->Deref();
}
inline bool Given(Args a, size_t i) {
  return i < a.size() && !IsMissing(Arg(a, i));
}
inline std::string Text(Args a, size_t i) {
  return ToString(Arg(a, i));
}
// The text of argument i, read in place when it is a string (a loop of InStr calls over a
// long text must not copy it), and whether it is all ASCII (then bytes are characters).
class TextArg {
 public:
  TextArg(Args a, size_t i) {
    const Variant& v = Arg(a, i);
    if (v.IsString()) {
      rep_ = v.StringBlock();
      text_ = &rep_->text;
      kind_ = rep_->Kind();
    } else {
      copy_ = ToString(v);
      text_ = &copy_;
      kind_ = KindOf(copy_);
    }
  }
  TextArg(const TextArg&) = delete;
  TextArg& operator=(const TextArg&) = delete;
  const std::string& str() const { return *text_; }
  bool ascii() const { return kind_ == TextKind::kAscii; }
  TextKind kind() const { return kind_; }
  std::u16string units() const { return ToUnits(*text_); }
  // The string's block when the argument is a string (positions found without decoding).
  const StringRep* rep() const { return rep_; }

 private:
  const StringRep* rep_ = nullptr;
  std::string copy_;
  const std::string* text_;
  TextKind kind_;
};
// The first code unit of non-empty engine text.
inline char16_t FirstUnit(const std::string& s) {
  if (static_cast<unsigned char>(s[0]) < 0x80) return static_cast<unsigned char>(s[0]);
  return ToUnits(s.substr(0, std::min<size_t>(4, s.size())))[0];
}
// Case folding for text comparison: ASCII bytes, or code units by Unicode's simple mapping.
inline char Fold(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
}
inline char16_t Fold(char16_t u) {
  return LowerUnit(u);
}
inline int32_t Long(Args a, size_t i) {
  return ToLong(Arg(a, i));
}
inline int32_t LongOr(Args a, size_t i, int32_t dflt) {
  return Given(a, i) ? Long(a, i) : dflt;
}
inline void Require(bool ok) {
  if (!ok) Throw(kInvalidCall);
}
inline bool BoolOr(Args a, size_t i, bool dflt) {
  return Given(a, i) ? ToBoolean(Arg(a, i)) : dflt;
}
// The compare argument: 0 binary (default) or 1 text; any other number is refused.
inline bool TextCompareArg(Args a, size_t i) {
  if (!Given(a, i)) return false;
  int32_t c = Long(a, i);
  Require(c == 0 || c == 1);
  return c == 1;
}

// A date's serial as one line of days: the stored form keeps the time of day positive
// after a negative day number (-1.25 is 12/29/1899 6:00 AM), which arithmetic must undo.
double DateToLinear(double date);
double LinearToDate(double linear);
// Refuses (error 5) a date outside 1/1/100 .. 12/31/9999.
void CheckDateRange(double date);
// Weekday 1..7 of a serial counted from `firstDay` (1 = Sunday).
int WeekdayOf(double date, int firstDay);

// UTF-8 encoding of a code point.
inline void AppendUtf8(std::string& out, uint32_t cp) {
  AppendCodePoint(out, cp);
}

}  // namespace vbs::lib

namespace vbs {

#define VBS_LIBRARY_FUNCTIONS(X)                                                              \
  X(AscB) X(AscW) X(ChrB) X(ChrW) X(InStrB) X(LeftB) X(RightB) X(MidB) X(LenB) X(Filter)     \
  X(Escape) X(Unescape) X(Exp) X(Log) X(Sin) X(Cos) X(Tan) X(Atn) X(DateAdd) X(DateDiff)     \
  X(DatePart) X(DateValue) X(TimeValue) X(WeekdayName) X(MonthName) X(FormatDateTime)        \
  X(FormatNumber) X(FormatCurrency) X(FormatPercent) X(GetLocale) X(SetLocale) X(LoadPicture)

#define VBS_DECLARE_LIB(name) Variant Lib##name(Interpreter& vm, Args args);
VBS_LIBRARY_FUNCTIONS(VBS_DECLARE_LIB)
#undef VBS_DECLARE_LIB

// Standard objects with files of their own (RegExp.cpp, FileSystem.cpp).
// A RegExp stops at the interpreter's deadline.
ObjectPtr<HostObject> MakeRegExp(Interpreter& vm);
ObjectPtr<HostObject> MakeFileSystemObject();

}  // namespace vbs
