#include "engine/Builtins.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <ctime>

#include <unistd.h>

#include "engine/Engine.h"
#include "engine/Errors.h"
#include "engine/Interpreter.h"
#include "engine/Library.h"

namespace vbs {

namespace {

using namespace lib;

// Null in any of the first n arguments (those the script gave).
bool AnyNull(Args a, size_t n) {
  for (size_t i = 0; i < n && i < a.size(); ++i)
    if (Arg(a, i).IsNull()) return true;
  return false;
}
Variant Str(std::string s) {
  return Variant::Text(std::move(s));
}
Variant AsciiStr(std::string s) {
  return Variant::Text(std::move(s), TextKind::kAscii);
}
Variant UnitsStr(std::u16string_view units) {
  return Variant::Text(FromUnits(units));
}

// Whether engine text holds a surrogate alone (ChrW(&HD800), a stray byte from outside):
// text without one can be searched and cut on its bytes.
bool HasSurrogate(const std::string& s) {
  for (size_t p = s.find('\xED'); p != std::string::npos; p = s.find('\xED', p + 1))
    if (p + 1 < s.size() && static_cast<unsigned char>(s[p + 1]) >= 0xA0) return true;
  return false;
}

// Position of `what` in `s` from `from` (0-based), npos when absent; bytes of ASCII text or
// code units.
template <class S>
size_t Find(const S& s, const S& what, size_t from, bool text) {
  if (!text) return s.find(what, from);
  if (what.size() > s.size()) return S::npos;
  for (size_t i = from; i + what.size() <= s.size(); ++i) {
    size_t k = 0;
    while (k < what.size() && Fold(s[i + k]) == Fold(what[k])) ++k;
    if (k == what.size()) return i;
  }
  return S::npos;
}

template <class S>
size_t FindLast(const S& s, const S& what, size_t endPos, bool text) {
  if (what.size() > endPos) return S::npos;
  for (size_t i = endPos - what.size() + 1; i-- > 0;) {
    size_t k = 0;
    while (k < what.size() && (text ? Fold(s[i + k]) == Fold(what[k]) : s[i + k] == what[k])) ++k;
    if (k == what.size()) return i;
  }
  return S::npos;
}

Variant MakeStringArray(std::vector<std::string> items, TextKind kind) {
  Variant arr = NewArray({static_cast<int32_t>(items.size())});
  ArrayRep* a = arr.AsArray();
  for (size_t i = 0; i < items.size(); ++i) a->data[i] = Variant::Text(std::move(items[i]), kind);
  return arr;
}
Variant MakeStringArray(const std::vector<std::u16string>& items) {
  Variant arr = NewArray({static_cast<int32_t>(items.size())});
  ArrayRep* a = arr.AsArray();
  for (size_t i = 0; i < items.size(); ++i) a->data[i] = UnitsStr(items[i]);
  return arr;
}

ArrayRep& ArrayArg(Args a, size_t i) {
  const Variant& v = Arg(a, i);
  if (!v.IsArray()) Throw(kTypeMismatch);
  return *v.AsArray();
}

double LocalNow() {
  using namespace std::chrono;
  auto now = system_clock::now();
  std::time_t t = system_clock::to_time_t(now);
  std::tm tm{};
  localtime_r(&t, &tm);
  return DateSerial(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday) +
         TimeSerial(tm.tm_hour, tm.tm_min, tm.tm_sec);
}

// ---- strings

Variant FnLen(Interpreter&, Args a) {
  const Variant& v = Arg(a, 0);
  if (v.IsNull()) return Variant::Null();
  if (v.IsString()) return Variant::Long(static_cast<int32_t>(v.StringBlock()->Units()));
  return Variant::Long(static_cast<int32_t>(CountUnits(ToString(v))));
}

Variant FnLeft(Interpreter&, Args a) {
  int32_t n = Long(a, 1);
  Require(n >= 0);
  if (Arg(a, 0).IsNull()) return Variant::Null();
  TextArg s(a, 0);
  if (s.ascii()) return AsciiStr(s.str().substr(0, std::min<size_t>(n, s.str().size())));
  if (const StringRep* r = s.rep()) return Str(r->Slice(0, std::min<size_t>(n, r->Units())));
  std::u16string u = s.units();
  return UnitsStr(std::u16string_view(u).substr(0, std::min<size_t>(n, u.size())));
}

Variant FnRight(Interpreter&, Args a) {
  int32_t n = Long(a, 1);
  Require(n >= 0);
  if (Arg(a, 0).IsNull()) return Variant::Null();
  TextArg s(a, 0);
  if (s.ascii()) {
    size_t k = std::min<size_t>(n, s.str().size());
    return AsciiStr(s.str().substr(s.str().size() - k));
  }
  if (const StringRep* r = s.rep()) {
    size_t units = r->Units();
    return Str(r->Slice(units - std::min<size_t>(n, units), units));
  }
  std::u16string u = s.units();
  size_t k = std::min<size_t>(n, u.size());
  return UnitsStr(std::u16string_view(u).substr(u.size() - k));
}

Variant FnMid(Interpreter&, Args a) {
  // A Null length is refused before the start is even read.
  if (Given(a, 2) && Arg(a, 2).IsNull()) Throw(kInvalidNull);
  int32_t start = Long(a, 1);
  Require(start >= 1);
  int32_t len = -1;
  if (Given(a, 2)) {
    len = Long(a, 2);
    Require(len >= 0);
  }
  if (Arg(a, 0).IsNull()) return Variant::Null();
  TextArg s(a, 0);
  size_t count = len < 0 ? std::string::npos : static_cast<size_t>(len);
  if (s.ascii()) {
    if (static_cast<size_t>(start) > s.str().size()) return AsciiStr("");
    return AsciiStr(s.str().substr(start - 1, count));
  }
  if (const StringRep* r = s.rep()) {
    size_t units = r->Units();
    if (static_cast<size_t>(start) > units) return AsciiStr("");
    return Str(r->Slice(start - 1, count >= units - (start - 1) ? units : start - 1 + count));
  }
  std::u16string u = s.units();
  if (static_cast<size_t>(start) > u.size()) return AsciiStr("");
  return UnitsStr(std::u16string_view(u).substr(start - 1, count));
}

Variant FnInStr(Interpreter&, Args a) {
  size_t base = 0;
  int32_t start = 1;
  bool text = false;
  if (a.size() >= 3) {
    if (Arg(a, 0).IsNull()) Throw(kInvalidNull);
    start = Long(a, 0);
    Require(start >= 1);
    base = 1;
    text = TextCompareArg(a, 3);
  }
  if (Arg(a, base).IsNull() || Arg(a, base + 1).IsNull()) return Variant::Null();
  const Variant& sv = Arg(a, base);
  const Variant& wv = Arg(a, base + 1);
  if (sv.IsString() && wv.IsString() && sv.StringBlock()->Ascii() && wv.StringBlock()->Ascii()) {
    // The loop over a long ASCII text: read in place, nothing else to set up.
    const std::string& st = sv.AsString();
    const std::string& wt = wv.AsString();
    if (static_cast<size_t>(start) > st.size()) return Variant::Long(0);
    if (wt.empty()) return Variant::Long(start);
    size_t p = Find(st, wt, start - 1, text);
    return Variant::Long(p == std::string::npos ? 0 : static_cast<int32_t>(p + 1));
  }
  TextArg s(a, base), what(a, base + 1);
  if (s.ascii() && what.ascii()) {
    if (static_cast<size_t>(start) > s.str().size()) return Variant::Long(0);
    if (what.str().empty()) return Variant::Long(start);
    size_t p = Find(s.str(), what.str(), start - 1, text);
    return Variant::Long(p == std::string::npos ? 0 : static_cast<int32_t>(p + 1));
  }
  // A binary search for whole characters finds them in the bytes: UTF-8 never matches
  // inside another character. A surrogate alone in `what` takes the code unit road.
  const StringRep* r = s.rep();
  if (!text && r && what.str().find('\xED') == std::string::npos) {
    if (static_cast<size_t>(start) > r->Units()) return Variant::Long(0);
    if (what.str().empty()) return Variant::Long(start);
    bool inPair;
    size_t from = r->ByteOfUnit(start - 1, inPair);
    if (inPair) from += 4;
    size_t p = r->text.find(what.str(), from);
    return Variant::Long(p == std::string::npos ? 0 : static_cast<int32_t>(r->UnitOfByte(p) + 1));
  }
  std::u16string su = s.units(), wu = what.units();
  if (static_cast<size_t>(start) > su.size()) return Variant::Long(0);
  if (wu.empty()) return Variant::Long(start);
  size_t p = Find(su, wu, start - 1, text);
  return Variant::Long(p == std::u16string::npos ? 0 : static_cast<int32_t>(p + 1));
}

template <class S>
Variant InStrRevOf(const S& s, const S& what, int32_t start, bool text) {
  size_t endPos = start == -1 ? s.size() : std::min<size_t>(start, s.size());
  if (start != -1 && static_cast<size_t>(start) > s.size()) return Variant::Long(0);
  if (what.empty()) return Variant::Long(static_cast<int32_t>(endPos));
  size_t p = FindLast(s, what, endPos, text);
  return Variant::Long(p == S::npos ? 0 : static_cast<int32_t>(p + 1));
}

Variant FnInStrRev(Interpreter&, Args a) {
  if (AnyNull(a, 2)) Throw(kInvalidNull);
  TextArg s(a, 0), what(a, 1);
  int32_t start = LongOr(a, 2, -1);
  Require(start == -1 || start >= 1);
  bool text = TextCompareArg(a, 3);
  if (s.ascii() && what.ascii()) return InStrRevOf(s.str(), what.str(), start, text);
  // As InStr: whole characters are found in the bytes, before the byte of the end position
  // (a loop walking backwards by InStrRev costs what the text does).
  const StringRep* r = s.rep();
  if (!text && r && what.str().find('\xED') == std::string::npos) {
    size_t units = r->Units();
    if (start != -1 && static_cast<size_t>(start) > units) return Variant::Long(0);
    size_t endPos = start == -1 ? units : static_cast<size_t>(start);
    if (what.str().empty()) return Variant::Long(static_cast<int32_t>(endPos));
    bool inPair;
    size_t limit = r->ByteOfUnit(endPos, inPair);
    if (limit < what.str().size()) return Variant::Long(0);
    size_t p = r->text.rfind(what.str(), limit - what.str().size());
    return Variant::Long(p == std::string::npos ? 0 : static_cast<int32_t>(r->UnitOfByte(p) + 1));
  }
  return InStrRevOf(s.units(), what.units(), start, text);
}

Variant FnLCase(Interpreter&, Args a) {
  if (Arg(a, 0).IsNull()) return Variant::Null();
  TextArg s(a, 0);
  return Variant::Text(LowerText(s.str()), s.kind());
}

Variant FnUCase(Interpreter&, Args a) {
  if (Arg(a, 0).IsNull()) return Variant::Null();
  TextArg s(a, 0);
  return Variant::Text(UpperText(s.str()), s.kind());
}

Variant TrimImpl(Args a, bool left, bool right) {
  if (Arg(a, 0).IsNull()) return Variant::Null();
  // A space never occurs inside a character's bytes: trimming bytes trims characters.
  TextArg t(a, 0);
  const std::string& s = t.str();
  size_t b = 0, e = s.size();
  if (left)
    while (b < e && s[b] == ' ') ++b;
  if (right)
    while (e > b && s[e - 1] == ' ') --e;
  return Variant::Text(s.substr(b, e - b), t.kind());
}
Variant FnTrim(Interpreter&, Args a) {
  return TrimImpl(a, true, true);
}
Variant FnLTrim(Interpreter&, Args a) {
  return TrimImpl(a, true, false);
}
Variant FnRTrim(Interpreter&, Args a) {
  return TrimImpl(a, false, true);
}

template <class S>
S ReplaceIn(const S& whole, const S& find, const S& repl, size_t from, int32_t count, bool text) {
  if (find.empty() || count == 0) return whole.substr(from);
  S out;
  out.reserve(whole.size() - from);
  size_t pos = from;
  int32_t done = 0;
  while (count < 0 || done < count) {
    size_t p = Find(whole, find, pos, text);
    if (p == S::npos) break;
    out.append(whole, pos, p - pos);
    CheckStringSize(out.size() + repl.size());
    out += repl;
    pos = p + find.size();
    ++done;
  }
  out.append(whole, pos, S::npos);
  return out;
}

Variant FnReplace(Interpreter&, Args a) {
  if (AnyNull(a, 3)) Throw(kInvalidNull);
  // The source is read in place: Replace over a long text must not copy it first.
  TextArg whole(a, 0), find(a, 1), repl(a, 2);
  int32_t start = LongOr(a, 3, 1);
  Require(start >= 1);
  int32_t count = LongOr(a, 4, -1);
  Require(count >= -1);
  bool text = TextCompareArg(a, 5);
  if (whole.ascii() && find.ascii() && repl.ascii()) {
    if (static_cast<size_t>(start) > whole.str().size()) return AsciiStr("");
    return AsciiStr(ReplaceIn(whole.str(), find.str(), repl.str(), start - 1, count, text));
  }
  // Binary, from the start, no surrogates alone anywhere: on the bytes (see InStr).
  if (!text && start == 1 && !HasSurrogate(whole.str()) && !HasSurrogate(find.str()) &&
      !HasSurrogate(repl.str()))
    return Str(ReplaceIn(whole.str(), find.str(), repl.str(), 0, count, false));
  std::u16string w = whole.units();
  if (static_cast<size_t>(start) > w.size()) return AsciiStr("");
  return UnitsStr(ReplaceIn(w, find.units(), repl.units(), start - 1, count, text));
}

template <class S>
std::vector<S> SplitOf(const S& s, const S& delim, int32_t count, bool text) {
  std::vector<S> parts;
  if (s.empty() || count == 0) return parts;
  if (delim.empty()) return {s};
  size_t pos = 0;
  while (count < 0 || static_cast<int32_t>(parts.size()) < count - 1) {
    size_t p = Find(s, delim, pos, text);
    if (p == S::npos) break;
    if (parts.size() >= kMaxArrayElements) Throw(kOutOfMemory);
    parts.push_back(s.substr(pos, p - pos));
    pos = p + delim.size();
  }
  parts.push_back(s.substr(pos));
  return parts;
}

Variant FnSplit(Interpreter&, Args a) {
  if (Arg(a, 0).IsNull()) Throw(kInvalidNull);
  TextArg s(a, 0);
  std::string delimText = Given(a, 1) ? Text(a, 1) : " ";
  int32_t count = LongOr(a, 2, -1);
  Require(count >= -1);
  bool text = TextCompareArg(a, 3);
  if (s.ascii() && IsAscii(delimText))
    return MakeStringArray(SplitOf(s.str(), delimText, count, text), TextKind::kAscii);
  if (!text && !HasSurrogate(s.str()) && !HasSurrogate(delimText))
    return MakeStringArray(SplitOf(s.str(), delimText, count, false), TextKind::kUnknown);
  return MakeStringArray(SplitOf(s.units(), ToUnits(delimText), count, text));
}

Variant FnJoin(Interpreter&, Args a) {
  ArrayRep& arr = ArrayArg(a, 0);
  if (arr.bounds.size() > 1) Throw(kTypeMismatch);
  std::string delim = Given(a, 1) ? Text(a, 1) : " ";
  TextKind kind = KindOf(delim);
  std::string out;
  for (size_t i = 0; i < arr.data.size(); ++i) {
    if (i) AppendJoined(out, delim);
    kind = JoinKinds(kind,
                     AppendText(out, arr.data[i].IsObject() ? ValueOf(arr.data[i]) : arr.data[i]));
  }
  return Variant::Text(std::move(out), kind);
}

// Chr and Asc go through the ANSI code page, Windows-1252.
Variant FnChr(Interpreter&, Args a) {
  int32_t c = Long(a, 0);
  Require(c >= 0 && c <= 255);
  std::string out;
  AppendCodePoint(out, FromWindows1252(static_cast<uint8_t>(c)));
  return Str(std::move(out));
}

Variant FnAsc(Interpreter&, Args a) {
  if (Arg(a, 0).IsNull()) Throw(kInvalidNull);
  TextArg s(a, 0);
  Require(!s.str().empty());
  if (s.ascii()) return Variant::Integer(static_cast<unsigned char>(s.str()[0]));
  return Variant::Integer(ToWindows1252(FirstUnit(s.str())));
}

Variant FnSpace(Interpreter&, Args a) {
  int32_t n = Long(a, 0);
  Require(n >= 0);
  CheckStringSize(static_cast<size_t>(n));
  return AsciiStr(std::string(n, ' '));
}

Variant FnString(Interpreter&, Args a) {
  int32_t n = Long(a, 0);
  Require(n >= 0);
  CheckStringSize(static_cast<size_t>(n));
  if (Arg(a, 1).IsNull()) return Variant::Null();
  char16_t c;
  if (Arg(a, 1).IsString()) {
    Require(!Arg(a, 1).AsString().empty());
    c = FirstUnit(Arg(a, 1).AsString());
  } else {
    c = FromWindows1252(static_cast<uint8_t>(Long(a, 1) & 0xFF));
  }
  if (c < 0x80) return AsciiStr(std::string(n, static_cast<char>(c)));
  std::string one;
  AppendUnit(one, c);
  CheckStringSize(one.size() * static_cast<size_t>(n));
  std::string out;
  out.reserve(one.size() * n);
  for (int32_t i = 0; i < n; ++i) out += one;  // a lone surrogate repeated stays lone
  return Str(std::move(out));
}

Variant FnStrReverse(Interpreter&, Args a) {
  if (Arg(a, 0).IsNull()) Throw(kInvalidNull);
  TextArg s(a, 0);
  if (s.ascii()) {
    std::string r(s.str().rbegin(), s.str().rend());
    return AsciiStr(std::move(r));
  }
  std::u16string u = s.units();
  std::reverse(u.begin(), u.end());
  return UnitsStr(u);
}

Variant FnStrComp(Interpreter&, Args a) {
  if (AnyNull(a, 2)) return Variant::Null();
  std::string x = Text(a, 0), y = Text(a, 1);
  bool text = TextCompareArg(a, 2);
  int c = CompareValues(Str(x), Str(y), false, false, text);
  return Variant::Integer(static_cast<int16_t>(c));
}

// ---- conversions

Variant FnCStr(Interpreter&, Args a) {
  return Str(Text(a, 0));
}
Variant FnCInt(Interpreter&, Args a) {
  return Variant::Integer(ToInteger(Arg(a, 0)));
}
Variant FnCLng(Interpreter&, Args a) {
  return Variant::Long(ToLong(Arg(a, 0)));
}
Variant FnCByte(Interpreter&, Args a) {
  // True is all bits set: its low byte, 255.
  const Variant& v = Arg(a, 0);
  if (v.Type() == VarType::Boolean) return Variant::Byte(v.AsBoolean() ? 255 : 0);
  return Variant::Byte(ToByte(v));
}
Variant FnCDbl(Interpreter&, Args a) {
  return Variant::Double(ToDouble(Arg(a, 0)));
}
Variant FnCSng(Interpreter&, Args a) {
  double d = ToDouble(Arg(a, 0));
  if (std::fabs(d) > 3.402823466e38) Throw(kOverflow);
  return Variant::Single(static_cast<float>(d));
}
Variant FnCCur(Interpreter&, Args a) {
  return Variant::Currency(ToCurrency(Arg(a, 0)));
}
Variant FnCBool(Interpreter&, Args a) {
  return Variant::Boolean(ToBoolean(Arg(a, 0)));
}
Variant FnCDate(Interpreter&, Args a) {
  return Variant::Date(ToDate(Arg(a, 0)));
}

Variant FnHex(Interpreter&, Args a) {
  if (Arg(a, 0).IsNull()) return Variant::Null();
  int32_t v = Long(a, 0);
  char buf[16];
  const Variant& x = Arg(a, 0);
  if ((x.Type() == VarType::Integer || x.Type() == VarType::Byte) && v < 0)
    std::snprintf(buf, sizeof buf, "%X", static_cast<unsigned>(v) & 0xFFFF);
  else
    std::snprintf(buf, sizeof buf, "%X", static_cast<unsigned>(v));
  return Str(buf);
}

Variant FnOct(Interpreter&, Args a) {
  if (Arg(a, 0).IsNull()) return Variant::Null();
  int32_t v = Long(a, 0);
  char buf[16];
  const Variant& x = Arg(a, 0);
  if ((x.Type() == VarType::Integer || x.Type() == VarType::Byte) && v < 0)
    std::snprintf(buf, sizeof buf, "%o", static_cast<unsigned>(v) & 0xFFFF);
  else
    std::snprintf(buf, sizeof buf, "%o", static_cast<unsigned>(v));
  return Str(buf);
}

// Int, Fix, Abs and Sgn keep the argument's type where the language does.
Variant KeepType(const Variant& like, double d) {
  switch (like.Type()) {
    case VarType::Integer:
      return Variant::Integer(static_cast<int16_t>(d));
    case VarType::Long:
      return Variant::Long(static_cast<int32_t>(d));
    case VarType::Byte:
      return Variant::Byte(static_cast<uint8_t>(d));
    case VarType::Single:
      return Variant::Single(static_cast<float>(d));
    case VarType::Currency:
      return Variant::Currency(static_cast<int64_t>(d * 10000.0));
    case VarType::Date:
      return Variant::Date(d);
    case VarType::Boolean:
    case VarType::Empty:
      return Variant::Integer(static_cast<int16_t>(d));
    default:
      return Variant::Double(d);
  }
}

Variant FnInt(Interpreter&, Args a) {
  const Variant v = ValueOf(Arg(a, 0));
  if (v.IsNull()) return Variant::Null();
  return KeepType(v, std::floor(ToDouble(v)));
}
Variant FnFix(Interpreter&, Args a) {
  const Variant v = ValueOf(Arg(a, 0));
  if (v.IsNull()) return Variant::Null();
  return KeepType(v, std::trunc(ToDouble(v)));
}
Variant FnAbs(Interpreter&, Args a) {
  const Variant v = ValueOf(Arg(a, 0));
  if (v.IsNull()) return Variant::Null();
  if (v.Type() == VarType::Integer && v.AsInteger() == INT16_MIN) return Variant::Long(32768);
  if (v.Type() == VarType::Long && v.AsLong() == INT32_MIN) return Variant::Double(2147483648.0);
  return KeepType(v, std::fabs(ToDouble(v)));
}
Variant FnSgn(Interpreter&, Args a) {
  const Variant& v = Arg(a, 0);
  if (v.IsNull()) Throw(kInvalidNull);
  double d = ToDouble(v);
  return Variant::Integer(d > 0 ? 1 : d < 0 ? -1 : 0);
}
Variant FnSqr(Interpreter&, Args a) {
  double d = ToDouble(Arg(a, 0));
  Require(d >= 0);
  return Variant::Double(std::sqrt(d));
}
Variant FnRound(Interpreter&, Args a) {
  const Variant v = ValueOf(Arg(a, 0));
  if (v.IsNull()) return Variant::Null();
  int32_t places = LongOr(a, 1, 0);
  Require(places >= 0);
  // Whole-number types (Boolean too) are already round.
  switch (v.Type()) {
    case VarType::Integer:
    case VarType::Long:
    case VarType::Byte:
    case VarType::Boolean:
      return v;
    case VarType::Empty:
      return Variant::Integer(0);
    default:
      break;
  }
  double d = ToDouble(v);
  double scale = std::pow(10.0, places);
  double r = RoundHalfEven(d * scale) / scale;
  if (v.Type() == VarType::Single) return Variant::Single(static_cast<float>(r));
  if (v.Type() == VarType::Currency) return Variant::Currency(ToCurrency(Variant::Double(r)));
  return Variant::Double(r);
}

// ---- inspection

Variant FnIsEmpty(Interpreter&, Args a) {
  return Variant::Boolean(Arg(a, 0).IsEmpty());
}
Variant FnIsNull(Interpreter&, Args a) {
  return Variant::Boolean(Arg(a, 0).IsNull());
}
Variant FnIsObject(Interpreter&, Args a) {
  return Variant::Boolean(Arg(a, 0).IsObject());
}
Variant FnIsArray(Interpreter&, Args a) {
  return Variant::Boolean(Arg(a, 0).IsArray());
}
Variant FnIsNumeric(Interpreter&, Args a) {
  // An object counts by its default value; one without a default value is not a number.
  const Variant& given = Arg(a, 0);
  Variant v = given;
  if (given.IsObject()) {
    if (!given.AsObject()) return Variant::Boolean(false);
    try {
      v = ValueOf(given);
    } catch (const ScriptError& e) {
      if (e.number != kNoSuchMember) throw;
      return Variant::Boolean(false);
    }
  }
  switch (v.Type()) {
    case VarType::Empty:
    case VarType::Integer:
    case VarType::Long:
    case VarType::Single:
    case VarType::Double:
    case VarType::Currency:
    case VarType::Boolean:
    case VarType::Byte:
      return Variant::Boolean(true);
    case VarType::String: {
      double d;
      return Variant::Boolean(ParseNumber(v.AsString(), d));
    }
    default:
      return Variant::Boolean(false);
  }
}
Variant FnIsDate(Interpreter&, Args a) {
  const Variant& v = Arg(a, 0);
  if (v.Type() == VarType::Date) return Variant::Boolean(true);
  if (!v.IsString()) return Variant::Boolean(false);
  double d;
  return Variant::Boolean(ParseDate(v.AsString(), d));
}
Variant FnVarType(Interpreter&, Args a) {
  return Variant::Integer(static_cast<int16_t>(static_cast<uint16_t>(Arg(a, 0).Type())));
}
Variant FnTypeName(Interpreter&, Args a) {
  return Str(TypeNameOf(Arg(a, 0)));
}

Variant Bound(Args a, bool upper) {
  ArrayRep& arr = ArrayArg(a, 0);
  int32_t dim = LongOr(a, 1, 1);
  if (arr.bounds.empty()) Throw(kSubscriptOutOfRange);
  if (dim < 1 || static_cast<size_t>(dim) > arr.bounds.size()) Throw(kSubscriptOutOfRange);
  const auto& b = arr.bounds[dim - 1];
  return Variant::Long(upper ? b.lower + b.count - 1 : b.lower);
}
Variant FnUBound(Interpreter&, Args a) {
  return Bound(a, true);
}
Variant FnLBound(Interpreter&, Args a) {
  return Bound(a, false);
}

Variant FnArray(Interpreter&, Args a) {
  Variant arr = NewArray({static_cast<int32_t>(a.size())});
  for (size_t i = 0; i < a.size(); ++i) arr.AsArray()->data[i] = Arg(a, i);
  return arr;
}

// ---- dates

Variant FnNow(Interpreter&, Args) {
  return Variant::Date(LocalNow());
}
Variant FnDate(Interpreter&, Args) {
  return Variant::Date(std::floor(LocalNow()));
}
Variant FnTime(Interpreter&, Args) {
  double n = LocalNow();
  return Variant::Date(n - std::floor(n));
}
Variant FnTimer(Interpreter&, Args) {
  using namespace std::chrono;
  auto now = system_clock::now();
  std::time_t t = system_clock::to_time_t(now);
  std::tm tm{};
  localtime_r(&t, &tm);
  double frac = duration_cast<microseconds>(now.time_since_epoch()).count() % 1000000 / 1e6;
  double secs = tm.tm_hour * 3600.0 + tm.tm_min * 60.0 + tm.tm_sec + frac;
  return Variant::Single(static_cast<float>(std::floor(secs * 100) / 100));
}

int DatePart(Args a, int which) {
  if (Arg(a, 0).IsNull()) return -1;
  int y, mo, d, h, mi, s;
  SplitDate(ToDate(Arg(a, 0)), y, mo, d, h, mi, s);
  int parts[] = {y, mo, d, h, mi, s};
  return parts[which];
}
Variant DatePartResult(Args a, int which) {
  if (Arg(a, 0).IsNull()) return Variant::Null();
  return Variant::Integer(static_cast<int16_t>(DatePart(a, which)));
}
Variant FnYear(Interpreter&, Args a) {
  return DatePartResult(a, 0);
}
Variant FnMonth(Interpreter&, Args a) {
  return DatePartResult(a, 1);
}
Variant FnDay(Interpreter&, Args a) {
  return DatePartResult(a, 2);
}
Variant FnHour(Interpreter&, Args a) {
  return DatePartResult(a, 3);
}
Variant FnMinute(Interpreter&, Args a) {
  return DatePartResult(a, 4);
}
Variant FnSecond(Interpreter&, Args a) {
  return DatePartResult(a, 5);
}
Variant FnWeekday(Interpreter&, Args a) {
  int first = LongOr(a, 1, 1);
  Require(first >= 0 && first <= 7);
  if (Arg(a, 0).IsNull()) return Variant::Null();
  double d = std::floor(ToDate(Arg(a, 0)));
  if (first == 0) first = 1;
  // 12/30/1899 was a Saturday (7).
  int wd = static_cast<int>(std::fmod(std::fmod(d + 6, 7) + 7, 7)) + 1;
  return Variant::Integer(static_cast<int16_t>((wd - first + 7) % 7 + 1));
}
Variant FnDateSerial(Interpreter&, Args a) {
  int y = Long(a, 0);
  if (y >= 0 && y < 30)
    y += 2000;
  else if (y >= 30 && y < 100)
    y += 1900;
  double date = DateSerial(y, Long(a, 1), Long(a, 2));
  CheckDateRange(date);
  return Variant::Date(date);
}
Variant FnTimeSerial(Interpreter&, Args a) {
  double t = TimeSerial(Long(a, 0), Long(a, 1), Long(a, 2));
  return Variant::Date(t);
}

// ---- random numbers: the language's 24-bit generator, so seeded sequences repeat

Variant FnRnd(Interpreter& vm, Args a) {
  uint32_t& seed = vm.rndSeed;
  if (Given(a, 0)) {
    double x = ToDouble(Arg(a, 0));
    if (x == 0) return Variant::Single(static_cast<float>(seed) / 16777216.0f);
    if (x < 0) {
      uint32_t bits = std::bit_cast<uint32_t>(static_cast<float>(x));
      seed = (bits + (bits >> 24)) & 0xFFFFFF;
    }
  }
  seed = (seed * 1140671485u + 12820163u) & 0xFFFFFF;
  return Variant::Single(static_cast<float>(seed) / 16777216.0f);
}

Variant FnRandomize(Interpreter& vm, Args a) {
  double n;
  if (Given(a, 0)) {
    n = ToDouble(Arg(a, 0));
  } else {
    Variant t = FnTimer(vm, a);
    n = t.AsSingle();
  }
  uint64_t bits = std::bit_cast<uint64_t>(n);
  uint32_t high = static_cast<uint32_t>(bits >> 32);
  uint32_t mixed = ((high & 0xFFFF) ^ (high >> 16)) << 8;
  vm.rndSeed = (vm.rndSeed & 0xFF) | (mixed & 0xFFFF00);
  return Variant();
}

// ---- dynamic code, objects, messages

Variant FnEval(Interpreter& vm, Args a) {
  return vm.Eval(Text(a, 0));
}
Variant FnExecute(Interpreter& vm, Args a) {
  vm.Execute(Text(a, 0), false);
  return Variant();
}
Variant FnExecuteGlobal(Interpreter& vm, Args a) {
  vm.Execute(Text(a, 0), true);
  return Variant();
}
Variant FnGetRef(Interpreter& vm, Args a) {
  return vm.GetRef(Text(a, 0));
}
// Whether a CreateObject server name means this machine: empty, ".", localhost, a
// loopback address or this host's name ("\\\\name" as well as "name").
bool ThisMachine(std::string server) {
  while (!server.empty() && (server.front() == '\\' || server.front() == '/')) server.erase(0, 1);
  if (server.empty() || server == "." || NameEquals(server, "localhost") || server == "::1" ||
      server.starts_with("127."))
    return true;
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0) return false;
  std::string_view name(host);
  return NameEquals(server, name) || NameEquals(server, name.substr(0, name.find('.')));
}

// CreateObject(progId[, server]): objects are only made here, so another machine named
// as the server is unreachable (462) instead of silently standing for this one.
Variant FnCreateObject(Interpreter& vm, Args a) {
  std::string progId = Text(a, 0);
  if (Given(a, 1) && !ThisMachine(Text(a, 1))) Throw(462);
  return vm.CreateObject(progId);
}
Variant FnGetObject(Interpreter& vm, Args a) {
  if (Given(a, 1)) return vm.CreateObject(Text(a, 1));
  Throw(kCannotCreateObject);
}
Variant FnErr(Interpreter& vm, Args) {
  return Variant::Object(vm.ErrObject());
}

Variant FnMsgBox(Interpreter& vm, Args a) {
  MessageRequest r;
  r.kind = MessageRequest::Kind::MsgBox;
  r.prompt = Arg(a, 0).IsNull() ? "" : Text(a, 0);
  r.buttons = LongOr(a, 1, 0);
  if (Given(a, 2)) r.title = Text(a, 2);
  return vm.Message(r);
}
Variant FnInputBox(Interpreter& vm, Args a) {
  MessageRequest r;
  r.kind = MessageRequest::Kind::InputBox;
  r.prompt = Text(a, 0);
  if (Given(a, 1)) r.title = Text(a, 1);
  if (Given(a, 2)) r.defaultText = Text(a, 2);
  return vm.Message(r);
}

Variant FnRGB(Interpreter&, Args a) {
  auto part = [&](size_t i) {
    int32_t v = Long(a, i);
    Require(v >= 0);
    return std::min(v, 255);
  };
  return Variant::Long(part(0) + part(1) * 256 + part(2) * 65536);
}

Variant FnScriptEngine(Interpreter&, Args) {
  return Str("VBScript");
}
Variant FnMajor(Interpreter&, Args) {
  return Variant::Long(5);
}
Variant FnMinor(Interpreter&, Args) {
  return Variant::Long(8);
}
Variant FnBuild(Interpreter&, Args) {
  return Variant::Long(16384);
}

// Every built-in function: name, argument count, implementation.
constexpr Builtin kBuiltins[] = {
    {"Abs", 1, 1, FnAbs},
    {"Array", 0, -1, FnArray},
    {"Asc", 1, 1, FnAsc},
    {"AscB", 1, 1, LibAscB},
    {"AscW", 1, 1, LibAscW},
    {"Atn", 1, 1, LibAtn},
    {"CBool", 1, 1, FnCBool},
    {"CByte", 1, 1, FnCByte, Builtin::Use::ValueOnly},
    {"CCur", 1, 1, FnCCur, Builtin::Use::ValueOnly},
    {"CDate", 1, 1, FnCDate, Builtin::Use::ValueOnly},
    {"CDbl", 1, 1, FnCDbl, Builtin::Use::ValueOnly},
    {"Chr", 1, 1, FnChr},
    {"ChrB", 1, 1, LibChrB},
    {"ChrW", 1, 1, LibChrW},
    {"CInt", 1, 1, FnCInt, Builtin::Use::ValueOnly},
    {"CLng", 1, 1, FnCLng, Builtin::Use::ValueOnly},
    {"Cos", 1, 1, LibCos},
    {"CreateObject", 1, 2, FnCreateObject},
    {"CSng", 1, 1, FnCSng, Builtin::Use::ValueOnly},
    {"CStr", 1, 1, FnCStr},
    {"Date", 0, 0, FnDate},
    {"DateAdd", 3, 3, LibDateAdd},
    {"DateDiff", 3, 5, LibDateDiff},
    {"DatePart", 2, 4, LibDatePart},
    {"DateSerial", 3, 3, FnDateSerial},
    {"DateValue", 1, 1, LibDateValue},
    {"Day", 1, 1, FnDay},
    {"Err", 0, 0, FnErr},
    {"Escape", 1, 1, LibEscape},
    {"Eval", 1, 1, FnEval},
    {"Execute", 1, 1, FnExecute},
    {"ExecuteGlobal", 1, 1, FnExecuteGlobal},
    {"Exp", 1, 1, LibExp},
    {"Filter", 2, 4, LibFilter},
    {"Fix", 1, 1, FnFix},
    {"FormatCurrency", 1, 5, LibFormatCurrency},
    {"FormatDateTime", 1, 2, LibFormatDateTime},
    {"FormatNumber", 1, 5, LibFormatNumber},
    {"FormatPercent", 1, 5, LibFormatPercent},
    {"GetLocale", 0, 0, LibGetLocale},
    {"GetObject", 0, 2, FnGetObject},
    {"GetRef", 1, 1, FnGetRef},
    {"Hex", 1, 1, FnHex},
    {"Hour", 1, 1, FnHour},
    {"InputBox", 1, 7, FnInputBox},
    {"InStr", 2, 4, FnInStr},
    {"InStrB", 2, 4, LibInStrB},
    {"InStrRev", 2, 4, FnInStrRev},
    {"Int", 1, 1, FnInt},
    {"IsArray", 1, 1, FnIsArray},
    {"IsDate", 1, 1, FnIsDate},
    {"IsEmpty", 1, 1, FnIsEmpty},
    {"IsNull", 1, 1, FnIsNull},
    {"IsNumeric", 1, 1, FnIsNumeric},
    {"IsObject", 1, 1, FnIsObject},
    {"Join", 1, 2, FnJoin},
    {"LBound", 1, 2, FnLBound},
    {"LCase", 1, 1, FnLCase},
    {"Left", 2, 2, FnLeft},
    {"LeftB", 2, 2, LibLeftB},
    {"Len", 1, 1, FnLen},
    {"LenB", 1, 1, LibLenB},
    {"LoadPicture", 1, 1, LibLoadPicture},
    {"Log", 1, 1, LibLog},
    {"LTrim", 1, 1, FnLTrim},
    {"Mid", 2, 3, FnMid},
    {"MidB", 2, 3, LibMidB},
    {"Minute", 1, 1, FnMinute},
    {"Month", 1, 1, FnMonth},
    {"MonthName", 1, 2, LibMonthName},
    {"MsgBox", 1, 5, FnMsgBox},
    {"Now", 0, 0, FnNow},
    {"Oct", 1, 1, FnOct},
    {"Randomize", 0, 1, FnRandomize, Builtin::Use::StatementOnly},
    {"Replace", 3, 6, FnReplace},
    {"RGB", 3, 3, FnRGB},
    {"Right", 2, 2, FnRight},
    {"RightB", 2, 2, LibRightB},
    {"Rnd", 0, 1, FnRnd},
    {"Round", 1, 2, FnRound},
    {"RTrim", 1, 1, FnRTrim},
    {"ScriptEngine", 0, 0, FnScriptEngine},
    {"ScriptEngineBuildVersion", 0, 0, FnBuild},
    {"ScriptEngineMajorVersion", 0, 0, FnMajor},
    {"ScriptEngineMinorVersion", 0, 0, FnMinor},
    {"Second", 1, 1, FnSecond},
    {"SetLocale", 0, 1, LibSetLocale},
    {"Sgn", 1, 1, FnSgn},
    {"Sin", 1, 1, LibSin},
    {"Space", 1, 1, FnSpace},
    {"Split", 1, 4, FnSplit},
    {"Sqr", 1, 1, FnSqr},
    {"StrComp", 2, 3, FnStrComp},
    {"String", 2, 2, FnString},
    {"StrReverse", 1, 1, FnStrReverse},
    {"Tan", 1, 1, LibTan},
    {"Time", 0, 0, FnTime},
    {"Timer", 0, 0, FnTimer},
    {"TimeSerial", 3, 3, FnTimeSerial},
    {"TimeValue", 1, 1, LibTimeValue},
    {"Trim", 1, 1, FnTrim},
    {"TypeName", 1, 1, FnTypeName},
    {"UBound", 1, 2, FnUBound},
    {"UCase", 1, 1, FnUCase},
    {"Unescape", 1, 1, LibUnescape},
    {"VarType", 1, 1, FnVarType},
    {"Weekday", 1, 2, FnWeekday},
    {"WeekdayName", 1, 3, LibWeekdayName},
    {"Year", 1, 1, FnYear},
};

struct Constant {
  std::string_view name;
  enum Kind { kInt, kLong, kStr } kind;
  int32_t number;
  std::string_view text;
};

constexpr Constant kConstants[] = {
    {"vbCr", Constant::kStr, 0, "\r"},
    {"vbCrLf", Constant::kStr, 0, "\r\n"},
    {"vbLf", Constant::kStr, 0, "\n"},
    {"vbNewLine", Constant::kStr, 0, "\r\n"},
    {"vbTab", Constant::kStr, 0, "\t"},
    {"vbFormFeed", Constant::kStr, 0, "\f"},
    {"vbVerticalTab", Constant::kStr, 0, "\v"},
    {"vbNullChar", Constant::kStr, 0, std::string_view("\0", 1)},
    {"vbNullString", Constant::kStr, 0, ""},
    {"vbBinaryCompare", Constant::kInt, 0, {}},
    {"vbTextCompare", Constant::kInt, 1, {}},
    {"vbDatabaseCompare", Constant::kInt, 2, {}},
    {"vbEmpty", Constant::kInt, 0, {}},
    {"vbNull", Constant::kInt, 1, {}},
    {"vbInteger", Constant::kInt, 2, {}},
    {"vbLong", Constant::kInt, 3, {}},
    {"vbSingle", Constant::kInt, 4, {}},
    {"vbDouble", Constant::kInt, 5, {}},
    {"vbCurrency", Constant::kInt, 6, {}},
    {"vbDate", Constant::kInt, 7, {}},
    {"vbString", Constant::kInt, 8, {}},
    {"vbObject", Constant::kInt, 9, {}},
    {"vbError", Constant::kInt, 10, {}},
    {"vbBoolean", Constant::kInt, 11, {}},
    {"vbVariant", Constant::kInt, 12, {}},
    {"vbDataObject", Constant::kInt, 13, {}},
    {"vbDecimal", Constant::kInt, 14, {}},
    {"vbByte", Constant::kInt, 17, {}},
    {"vbArray", Constant::kInt, 8192, {}},
    {"vbTrue", Constant::kInt, -1, {}},
    {"vbFalse", Constant::kInt, 0, {}},
    {"vbUseDefault", Constant::kInt, -2, {}},
    {"vbObjectError", Constant::kLong, static_cast<int32_t>(0x80040000), {}},
    {"vbSunday", Constant::kInt, 1, {}},
    {"vbMonday", Constant::kInt, 2, {}},
    {"vbTuesday", Constant::kInt, 3, {}},
    {"vbWednesday", Constant::kInt, 4, {}},
    {"vbThursday", Constant::kInt, 5, {}},
    {"vbFriday", Constant::kInt, 6, {}},
    {"vbSaturday", Constant::kInt, 7, {}},
    {"vbUseSystem", Constant::kInt, 0, {}},
    {"vbUseSystemDayOfWeek", Constant::kInt, 0, {}},
    {"vbFirstJan1", Constant::kInt, 1, {}},
    {"vbFirstFourDays", Constant::kInt, 2, {}},
    {"vbFirstFullWeek", Constant::kInt, 3, {}},
    {"vbGeneralDate", Constant::kInt, 0, {}},
    {"vbLongDate", Constant::kInt, 1, {}},
    {"vbShortDate", Constant::kInt, 2, {}},
    {"vbLongTime", Constant::kInt, 3, {}},
    {"vbShortTime", Constant::kInt, 4, {}},
    {"vbOKOnly", Constant::kInt, 0, {}},
    {"vbOKCancel", Constant::kInt, 1, {}},
    {"vbAbortRetryIgnore", Constant::kInt, 2, {}},
    {"vbYesNoCancel", Constant::kInt, 3, {}},
    {"vbYesNo", Constant::kInt, 4, {}},
    {"vbRetryCancel", Constant::kInt, 5, {}},
    {"vbCritical", Constant::kInt, 16, {}},
    {"vbQuestion", Constant::kInt, 32, {}},
    {"vbExclamation", Constant::kInt, 48, {}},
    {"vbInformation", Constant::kInt, 64, {}},
    {"vbDefaultButton1", Constant::kInt, 0, {}},
    {"vbDefaultButton2", Constant::kInt, 256, {}},
    {"vbDefaultButton3", Constant::kInt, 512, {}},
    {"vbDefaultButton4", Constant::kInt, 768, {}},
    {"vbApplicationModal", Constant::kInt, 0, {}},
    {"vbSystemModal", Constant::kInt, 4096, {}},
    {"vbMsgBoxHelpButton", Constant::kLong, 16384, {}},
    {"vbMsgBoxSetForeground", Constant::kLong, 65536, {}},
    {"vbMsgBoxRight", Constant::kLong, 524288, {}},
    {"vbMsgBoxRtlReading", Constant::kLong, 1048576, {}},
    {"vbOK", Constant::kInt, 1, {}},
    {"vbCancel", Constant::kInt, 2, {}},
    {"vbAbort", Constant::kInt, 3, {}},
    {"vbRetry", Constant::kInt, 4, {}},
    {"vbIgnore", Constant::kInt, 5, {}},
    {"vbYes", Constant::kInt, 6, {}},
    {"vbNo", Constant::kInt, 7, {}},
    {"vbBlack", Constant::kLong, 0, {}},
    {"vbRed", Constant::kLong, 255, {}},
    {"vbGreen", Constant::kLong, 65280, {}},
    {"vbYellow", Constant::kLong, 65535, {}},
    {"vbBlue", Constant::kLong, 16711680, {}},
    {"vbMagenta", Constant::kLong, 16711935, {}},
    {"vbCyan", Constant::kLong, 16776960, {}},
    {"vbWhite", Constant::kLong, 16777215, {}},
};

}  // namespace

std::span<const Builtin> Builtins() {
  return kBuiltins;
}

int FindBuiltin(std::string_view name) {
  for (size_t i = 0; i < std::size(kBuiltins); ++i)
    if (NameEquals(kBuiltins[i].name, name)) return static_cast<int>(i);
  return -1;
}

bool FindConstant(std::string_view name, Variant& out) {
  for (const auto& c : kConstants) {
    if (!NameEquals(c.name, name)) continue;
    switch (c.kind) {
      case Constant::kInt:
        out = Variant::Integer(static_cast<int16_t>(c.number));
        break;
      case Constant::kLong:
        out = Variant::Long(c.number);
        break;
      case Constant::kStr:
        out = Variant::String(std::string(c.text));
        break;
    }
    return true;
  }
  return false;
}

// ---------------------------------------------------------------------------------------
// The Err object

namespace {

class ErrObjectImpl : public TableObject<ErrObjectImpl> {
 public:
  static constexpr std::string_view kTypeName = "ErrObject";
  static const Member<ErrObjectImpl> kMembers[];
  explicit ErrObjectImpl(Interpreter* vm) : vm_(vm) {}
  ErrState& State() { return vm_->Err(); }

 private:
  Interpreter* vm_;
};

// What Raise is not given comes from the Err object as it stands, unless cleared.
Variant ErrRaise(ErrObjectImpl& self, Args a) {
  int32_t number = Long(a, 0);
  if (number == 0) Throw(kInvalidCall);
  ScriptError e(number);
  const ErrState& s = self.State();
  if (Given(a, 1))
    e.source = Text(a, 1);
  else if (!s.source.empty())
    e.source = s.source;
  if (Given(a, 2))
    e.description = Text(a, 2);
  else if (!s.description.empty())
    e.description = s.description;
  e.helpFile = Given(a, 3) ? Text(a, 3) : s.helpFile;
  e.helpContext = Given(a, 4) ? Long(a, 4) : s.helpContext;
  throw e;
}

const Member<ErrObjectImpl> ErrObjectImpl::kMembers[] = {
    {"Number", MemberKind::Get, 0, 0,
     [](ErrObjectImpl& s, Args) { return Variant::Long(s.State().number); }, true},
    {"Number", MemberKind::Let, 0, 0,
     [](ErrObjectImpl& s, Args a) {
       s.State().number = Long(a, 0);
       return Variant();
     }},
    {"Description", MemberKind::Get, 0, 0,
     [](ErrObjectImpl& s, Args) { return Str(s.State().description); }},
    {"Description", MemberKind::Let, 0, 0,
     [](ErrObjectImpl& s, Args a) {
       s.State().description = Text(a, 0);
       return Variant();
     }},
    {"Source", MemberKind::Get, 0, 0, [](ErrObjectImpl& s, Args) { return Str(s.State().source); }},
    {"Source", MemberKind::Let, 0, 0,
     [](ErrObjectImpl& s, Args a) {
       s.State().source = Text(a, 0);
       return Variant();
     }},
    {"HelpFile", MemberKind::Get, 0, 0,
     [](ErrObjectImpl& s, Args) { return Str(s.State().helpFile); }},
    {"HelpFile", MemberKind::Let, 0, 0,
     [](ErrObjectImpl& s, Args a) {
       s.State().helpFile = Text(a, 0);
       return Variant();
     }},
    {"HelpContext", MemberKind::Get, 0, 0,
     [](ErrObjectImpl& s, Args) { return Variant::Long(s.State().helpContext); }},
    {"HelpContext", MemberKind::Let, 0, 0,
     [](ErrObjectImpl& s, Args a) {
       s.State().helpContext = Long(a, 0);
       return Variant();
     }},
    {"Raise", MemberKind::Method, 1, 5, ErrRaise},
    {"Clear", MemberKind::Method, 0, 0,
     [](ErrObjectImpl& s, Args) {
       s.State().Clear();
       return Variant();
     }},
};

}  // namespace

HostObject* Interpreter::ErrObject() {
  if (!errObject_) errObject_ = MakeObject<ErrObjectImpl>(this);
  return errObject_.Get();
}

}  // namespace vbs
