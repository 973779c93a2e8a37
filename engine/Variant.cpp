#include "engine/Variant.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>
#include <memory>

#include "engine/Errors.h"

namespace vbs {

bool NameEquals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  // Names are ASCII; an inline fold keeps a libc call per character out of every
  // member lookup by name.
  auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
  for (size_t i = 0; i < a.size(); ++i)
    if (fold(a[i]) != fold(b[i])) return false;
  return true;
}

std::string LowerName(std::string_view s) {
  std::string r(s);
  for (auto& c : r) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return r;
}

std::unique_ptr<Enumerator> HostObject::Enumerate() {
  return nullptr;
}

namespace detail {
int FindMemberId(std::span<const MemberView> members, std::string_view name) {
  if (name.empty()) {
    for (size_t i = 0; i < members.size(); ++i)
      if (members[i].isDefault) return kDefaultMember;
    return kUnknownMember;
  }
  for (size_t i = 0; i < members.size(); ++i)
    if (NameEquals(members[i].name, name)) return static_cast<int>(i) + 1;
  return kUnknownMember;
}

Variant IndexResult(const Variant& result, InvokeKind kind, Args args) {
  const Variant& r = result.Deref();
  if (r.IsObject()) {
    if (!r.AsObject()) Throw(kObjectNotSet);
    return r.AsObject()->Invoke(kDefaultMember, kind, args);
  }
  if (r.IsArray()) {
    int32_t idx[64];
    if (args.size() > 64) Throw(kSubscriptOutOfRange);
    for (size_t i = 0; i < args.size(); ++i) idx[i] = ToLong(*args[i]);
    return ArrayElement(*r.AsArray(), idx, args.size());
  }
  Throw(kWrongArgCount);
}

size_t SelectMember(std::span<const MemberView> members, int id, InvokeKind kind, size_t argCount,
                    bool& indexResult) {
  indexResult = false;
  std::string_view name;
  if (id == kDefaultMember) {
    for (const auto& m : members)
      if (m.isDefault) {
        name = m.name;
        break;
      }
    if (name.empty()) Throw(kNoSuchMember);
  } else if (id > 0 && static_cast<size_t>(id) <= members.size()) {
    name = members[id - 1].name;
  } else {
    Throw(kNoSuchMember);
  }
  bool assign = kind == InvokeKind::Let || kind == InvokeKind::Set;
  size_t n = assign ? argCount - 1 : argCount;
  size_t fallback = members.size();
  for (size_t i = 0; i < members.size(); ++i) {
    const auto& m = members[i];
    if (!NameEquals(m.name, name)) continue;
    bool fits;
    switch (kind) {
      case InvokeKind::Get:
      case InvokeKind::Call:
        fits = m.kind == MemberKind::Method || m.kind == MemberKind::Get;
        break;
      case InvokeKind::Let:
        fits = m.kind == MemberKind::Let;
        break;
      case InvokeKind::Set:
        fits = m.kind == MemberKind::Set;
        break;
    }
    // Let and Set stand in for each other when a class offers only one of them.
    if (!fits && assign && (m.kind == MemberKind::Let || m.kind == MemberKind::Set)) {
      fallback = i;
      continue;
    }
    if (!fits) continue;
    if (!assign && m.maxArgs == 0 && n > 0) {
      indexResult = true;
      return i;
    }
    if (static_cast<int>(n) < m.minArgs || (m.maxArgs >= 0 && static_cast<int>(n) > m.maxArgs))
      Throw(kWrongArgCount);
    return i;
  }
  if (fallback < members.size()) {
    const auto& m = members[fallback];
    if (static_cast<int>(n) < m.minArgs || (m.maxArgs >= 0 && static_cast<int>(n) > m.maxArgs))
      Throw(kWrongArgCount);
    return fallback;
  }
  Throw(assign ? kWrongArgCount : kNoSuchMember);
}
}  // namespace detail

// ---------------------------------------------------------------------------------------
// Strings and arrays

void Variant::RetainBlock() const noexcept {
  switch (type_) {
    case VarType::String:
      ++s_->refs;
      break;
    case VarType::Object:
      if (o_) o_->AddRef();
      break;
    case VarType::Array:
      ++a_->refs;
      break;
    default:
      break;
  }
}

// Arrays of arrays may nest as deep as a script likes (a = Array(a) in a loop): they are
// freed with a work list, not by recursion, so the native stack cannot run out.
static void DestroyArray(ArrayRep* first) noexcept {
  std::vector<ArrayRep*> pending{first};
  while (!pending.empty()) {
    ArrayRep* a = pending.back();
    pending.pop_back();
    for (auto& v : a->data) {
      if (v.Type() == VarType::Array && v.AsArray()->refs == 1) {
        pending.push_back(v.AsArray());
        v.ForgetArray();
      }
    }
    delete a;
  }
}

void Variant::DropBlock() noexcept {
  switch (type_) {
    case VarType::String:
      if (--s_->refs == 0) delete s_;
      break;
    case VarType::Object:
      if (o_) o_->Release();
      break;
    case VarType::Array:
      if (--a_->refs == 0) DestroyArray(a_);
      break;
    default:
      break;
  }
}

namespace {
// Length of the character whose first byte is c (a stray byte counts as one).
inline size_t CharLength(unsigned char c) {
  return c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
}
}  // namespace

void StringRep::DropIndex() const {
  if (budget && index->charged) budget->used -= index->charged;
  delete index;
  index = nullptr;
}

const UnitIndex* StringRep::IndexFor(size_t want, bool byByte) const {
  const size_t n = text.size();
  if (n <= kIndexFrom) return nullptr;
  if (!index) index = new UnitIndex;
  UnitIndex& x = *index;
  constexpr size_t K = UnitIndex::kStep;
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  size_t u = x.units, b = x.bytes;
  // Scan on to the end or until the mark at or before what is wanted is set.
  auto enough = [&] { return byByte ? b > want : x.marks.size() > want / K; };
  if (b < n && !enough()) {
    size_t capacity = x.marks.capacity();
    while (b < n && !enough()) {
      size_t len = CharLength(p[b]);
      size_t w = len == 4 ? 2 : 1;
      while (x.marks.size() * K < u + w)
        x.marks.push_back(static_cast<uint32_t>(b) |
                          (x.marks.size() * K == u ? 0 : UnitIndex::kSecondHalf));
      u += w;
      b = std::min(b + len, n);
    }
    x.units = u;
    x.bytes = b;
    size_t bytes = x.marks.capacity() * sizeof(uint32_t);
    if (budget && x.marks.capacity() != capacity && bytes > x.charged) {
      if (!budget->Charge(bytes - x.charged)) {
        // No room for the marks: positions are counted from the start, as in short text.
        DropIndex();
        return nullptr;
      }
      x.charged = bytes;
    }
  }
  return x.marks.empty() ? nullptr : index;
}

size_t StringRep::ByteOfUnit(size_t unit, bool& inPair) const {
  inPair = false;
  if (Ascii()) return unit;
  constexpr size_t K = UnitIndex::kStep;
  detail::PositionMemo& memo = detail::positionMemo;
  size_t u = 0, b = 0;
  if (memo.rep == this && memo.unit <= unit && unit - memo.unit <= K) {
    u = memo.unit;
    b = memo.byte;
  } else if (const UnitIndex* x = IndexFor(unit, false)) {
    size_t i = std::min(unit / K, x->marks.size() - 1);
    uint32_t mark = x->marks[i];
    u = i * K - (mark & UnitIndex::kSecondHalf ? 1 : 0);
    b = mark & ~UnitIndex::kSecondHalf;
  } else if (memo.rep == this && memo.unit <= unit) {
    u = memo.unit;
    b = memo.byte;
  }
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  while (u < unit && b < n) {
    size_t len = CharLength(p[b]);
    if (len == 4 && u + 1 == unit) {
      inPair = true;
      return b;
    }
    u += len == 4 ? 2 : 1;
    b = std::min(b + len, n);
  }
  memo = {this, u, b};
  return b;
}

size_t StringRep::UnitOfByte(size_t byte) const {
  if (Ascii()) return byte;
  constexpr size_t K = UnitIndex::kStep;
  detail::PositionMemo& memo = detail::positionMemo;
  size_t u = 0, b = 0;
  if (memo.rep == this && memo.byte <= byte && byte - memo.byte <= 4 * K) {
    u = memo.unit;
    b = memo.byte;
  } else if (const UnitIndex* x = IndexFor(byte, true)) {
    // The last mark at or before the byte.
    auto it = std::upper_bound(x->marks.begin(), x->marks.end(), byte, [](size_t v, uint32_t m) {
      return v < (m & ~UnitIndex::kSecondHalf);
    });
    if (it != x->marks.begin()) {
      size_t i = static_cast<size_t>(it - x->marks.begin()) - 1;
      uint32_t mark = x->marks[i];
      u = i * K - (mark & UnitIndex::kSecondHalf ? 1 : 0);
      b = mark & ~UnitIndex::kSecondHalf;
    }
  } else if (memo.rep == this && memo.byte <= byte) {
    u = memo.unit;
    b = memo.byte;
  }
  u += CountUnits(std::string_view(text).substr(b, byte - b));
  memo = {this, u, byte};
  return u;
}

void StringRep::Appended(size_t before, TextKind was, TextKind now) {
  size_t old = was == TextKind::kAscii ? before : units;
  if (now == TextKind::kUnknown || old == kUnitsUnknown) {
    Changed(now);
    return;
  }
  kind = now;
  if (now == TextKind::kAscii) return;
  // A trail surrogate appended to a lead one joined them into one 4-byte character, which
  // starts 3 bytes before the old end: positions at the old end are inside it now.
  const bool joined = before >= 3 && static_cast<unsigned char>(text[before - 3]) >= 0xF0;
  size_t from = joined ? before - 3 : before;
  size_t total = old - (joined ? 1 : 0) + CountUnits(std::string_view(text).substr(from));
  if (total >= kUnitsUnknown) {
    Changed(now);
    return;
  }
  units = static_cast<uint32_t>(total);
  if (!joined) return;
  detail::PositionMemo& memo = detail::positionMemo;
  if (memo.rep == this && memo.byte > from) memo.rep = nullptr;
  if (index && index->bytes > from) {
    // The scan stopped at the old end (the lead's end): back to the lead, and its mark
    // (if the old end had one) is set again as the pair's second half.
    while (!index->marks.empty() && (index->marks.back() & ~UnitIndex::kSecondHalf) > from)
      index->marks.pop_back();
    index->units = old - 1;
    index->bytes = from;
  }
}

std::string StringRep::Slice(size_t from, size_t to) const {
  if (from >= to) return {};
  if (Ascii()) return text.substr(from, to - from);
  bool fromInPair, toInPair;
  size_t b0 = ByteOfUnit(from, fromInPair);
  size_t b1 = ByteOfUnit(to, toInPair);
  std::string out;
  if (fromInPair) {
    // Starts with the second half of a pair: that surrogate alone.
    std::u16string pair = ToUnits(std::string_view(text).substr(b0, 4));
    AppendUnit(out, pair[1]);
    b0 += 4;
    if (b0 > b1) return out;
  }
  out.append(text, b0, b1 - b0);
  if (toInPair) AppendUnit(out, ToUnits(std::string_view(text).substr(b1, 4))[0]);
  return out;
}

std::string& Variant::MutableString() {
  if (s_->refs > 1) {
    StringRep* copy = NewStringRep(std::string(s_->text));
    --s_->refs;
    s_ = copy;
  }
  s_->Changed();
  return s_->text;
}

void StringOverBudget(StringRep* rep) {
  delete rep;
  Throw(kOutOfMemory);
}

void RechargeString(StringRep* rep, size_t oldSize) {
  MemoryBudget* b = rep->budget ? rep->budget : detail::activeBudget;
  if (!b) return;
  size_t bytes = rep->Footprint();
  if (bytes <= rep->charged) {
    b->used -= rep->charged - bytes;
  } else if (!b->Charge(bytes - rep->charged)) {
    rep->text.resize(oldSize);
    rep->text.shrink_to_fit();
    size_t kept = std::min<size_t>(rep->Footprint(), rep->charged);
    b->used -= rep->charged - kept;
    rep->charged = static_cast<uint32_t>(kept);
    Throw(kOutOfMemory);
  }
  if (!rep->budget) {
    b->Retain();
    rep->budget = b;
  }
  rep->charged = static_cast<uint32_t>(bytes);
}

void ChargeArray(ArrayRep& a, size_t elements) {
  MemoryBudget* b = a.budget ? a.budget : detail::activeBudget;
  if (!b) return;
  size_t bytes = sizeof(ArrayRep) + elements * sizeof(Variant);
  if (bytes <= a.charged) {
    b->used -= a.charged - bytes;
  } else if (!b->Charge(bytes - a.charged)) {
    Throw(kOutOfMemory);
  }
  if (!a.budget) {
    b->Retain();
    a.budget = b;
  }
  a.charged = bytes;
}

ArrayRep* CopyArray(const ArrayRep& a) {
  auto copy = std::make_unique<ArrayRep>();
  ChargeArray(*copy, a.data.size());
  copy->bounds = a.bounds;
  copy->data = a.data;
  return copy.release();
}

ArrayRep* Variant::MutableArray() {
  // A lock (an element passed ByRef) also holds a reference, but it is the same
  // variable's array, not another owner.
  if (a_->refs - a_->locks > 1) {
    ArrayRep* copy = CopyArray(*a_);
    copy->fixed = a_->fixed;
    --a_->refs;
    a_ = copy;
  }
  return a_;
}

bool Variant::IsNumeric() const {
  switch (type_) {
    case VarType::Empty:
    case VarType::Integer:
    case VarType::Long:
    case VarType::Single:
    case VarType::Double:
    case VarType::Currency:
    case VarType::Date:
    case VarType::Boolean:
    case VarType::Byte:
      return true;
    default:
      return false;
  }
}

Variant NewArray(const std::vector<int32_t>& counts, bool fixed) {
  auto a = std::make_unique<ArrayRep>();
  a->fixed = fixed;
  size_t total = counts.empty() ? 0 : 1;  // no dimensions (Dim a()): no elements
  for (int32_t c : counts) {
    if (c < 0) Throw(kSubscriptOutOfRange);
    a->bounds.push_back({0, c});
    total *= static_cast<size_t>(c);
    if (total > kMaxArrayElements) Throw(kOutOfMemory);
  }
  ChargeArray(*a, total);
  a->data.resize(total);
  return Variant::Array(a.release());
}

Variant& ArrayElement(ArrayRep& a, const int32_t* indexes, size_t n) {
  if (n != a.bounds.size()) Throw(kSubscriptOutOfRange);
  size_t offset = 0, stride = 1;
  for (size_t d = 0; d < n; ++d) {
    int64_t i = int64_t{indexes[d]} - a.bounds[d].lower;
    if (i < 0 || i >= a.bounds[d].count) Throw(kSubscriptOutOfRange);
    offset += static_cast<size_t>(i) * stride;
    stride *= static_cast<size_t>(a.bounds[d].count);
  }
  return a.data[offset];
}

// ---------------------------------------------------------------------------------------
// Numbers and text

double RoundHalfEven(double d) {
  double r = std::nearbyint(d);  // the default rounding mode rounds half to even
  return r;
}

static std::string_view Trim(std::string_view s) {
  while (!s.empty() &&
         (s.front() == ' ' || s.front() == '\t' || s.front() == '\r' || s.front() == '\n'))
    s.remove_prefix(1);
  while (!s.empty() &&
         (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
    s.remove_suffix(1);
  return s;
}

static bool DecimalText(std::string_view s, std::string& buf);

bool ParseNumber(std::string_view text, double& out) {
  std::string_view s = Trim(text);
  if (s.empty()) return false;
  if (s.size() > 2 && s[0] == '&' && (s[1] == 'h' || s[1] == 'H' || s[1] == 'o' || s[1] == 'O')) {
    int base = (s[1] == 'h' || s[1] == 'H') ? 16 : 8;
    uint64_t v = 0;
    for (size_t i = 2; i < s.size(); ++i) {
      int d;
      char c = s[i];
      if (c >= '0' && c <= '9')
        d = c - '0';
      else if (base == 16 && c >= 'a' && c <= 'f')
        d = c - 'a' + 10;
      else if (base == 16 && c >= 'A' && c <= 'F')
        d = c - 'A' + 10;
      else
        return false;
      if (d >= base) return false;
      v = v * base + d;
      if (v > 0xFFFFFFFFull) return false;
    }
    // Hex text is a 16-bit pattern when it fits in four digits, as in literals.
    if (v <= 0xFFFF && s.size() - 2 <= (base == 16 ? 4u : 6u))
      out = static_cast<int16_t>(static_cast<uint16_t>(v));
    else
      out = static_cast<int32_t>(static_cast<uint32_t>(v));
    return true;
  }
  std::string buf;
  if (!DecimalText(s, buf)) return false;
  char* end = nullptr;
  out = std::strtod(buf.c_str(), &end);
  return std::isfinite(out);
}

// Decimal number text (trimmed, not hex or octal) as C reads it: an optional sign, digits
// with an optional point, an optional exponent "e[sign]digits"; en-US thousands separators
// and the currency sign dropped. False when the text is not a number.
static bool DecimalText(std::string_view s, std::string& buf) {
  size_t i = 0;
  // en-US text may carry the currency sign before or after the sign: "$1", "-$1.50".
  if (s[i] == '$') ++i;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) buf += s[i++];
  if (i < s.size() && s[i] == '$') ++i;
  bool digits = false;
  while (i < s.size() &&
         (std::isdigit(static_cast<unsigned char>(s[i])) || (s[i] == ',' && digits))) {
    if (s[i] != ',') buf += s[i];
    digits = true;
    ++i;
  }
  if (i < s.size() && s[i] == '.') {
    buf += s[i++];
    while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) {
      buf += s[i++];
      digits = true;
    }
  }
  if (!digits) return false;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E' || s[i] == 'd' || s[i] == 'D')) {
    buf += 'e';
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) buf += s[i++];
    bool expDigits = false;
    while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) {
      buf += s[i++];
      expDigits = true;
    }
    if (!expDigits) return false;
  }
  return i == s.size();
}

int CurrencyOfText(std::string_view text, int64_t& out) {
  std::string_view s = Trim(text);
  std::string buf;
  if (s.size() > 2 && s[0] == '&') return 0;
  if (!DecimalText(s, buf)) return 0;
  size_t i = 0;
  bool negative = false;
  if (buf[i] == '+' || buf[i] == '-') negative = buf[i++] == '-';
  // The digits without the point, and the power of ten of the last one.
  std::string digits;
  int64_t exponent = 0;
  bool point = false;
  for (; i < buf.size() && buf[i] != 'e'; ++i) {
    if (buf[i] == '.') {
      point = true;
    } else {
      digits += buf[i];
      if (point) --exponent;
    }
  }
  if (i < buf.size()) {
    // An exponent past any sensible size only moves the digits out of range (or to zero).
    int64_t e = 0;
    bool eNegative = buf[++i] == '-';
    if (buf[i] == '+' || buf[i] == '-') ++i;
    for (; i < buf.size(); ++i) e = std::min<int64_t>(e * 10 + (buf[i] - '0'), 1'000'000);
    exponent += eNegative ? -e : e;
  }
  size_t first = digits.find_first_not_of('0');
  if (first == std::string::npos) {
    out = 0;
    return 1;
  }
  digits.erase(0, first);
  // Scaled by 10^4: the digits that stay whole, then those rounded away (half to even).
  int64_t scale = exponent + 4;
  std::string_view kept = digits, dropped;
  if (scale < 0) {
    if (static_cast<int64_t>(digits.size()) + scale <= 0) {
      kept = {};
      dropped = digits;
      // All digits lie below the rounding position, some places further down.
      if (static_cast<int64_t>(digits.size()) + scale < 0) dropped = {};
    } else {
      kept = std::string_view(digits).substr(0, digits.size() + scale);
      dropped = std::string_view(digits).substr(digits.size() + scale);
    }
  } else if (scale > 19) {
    return 2;
  }
  unsigned __int128 v = 0;
  constexpr unsigned __int128 kLimit = static_cast<unsigned __int128>(INT64_MAX) + 1;
  for (char c : kept) {
    v = v * 10 + static_cast<unsigned>(c - '0');
    if (v > kLimit) return 2;
  }
  for (int64_t k = 0; scale > 0 && k < scale; ++k) {
    v *= 10;
    if (v > kLimit) return 2;
  }
  if (!dropped.empty() && dropped[0] >= '5') {
    bool above = dropped[0] > '5' || dropped.find_first_not_of('0', 1) != std::string_view::npos;
    if (above || (v & 1)) ++v;
  }
  if (v > kLimit || (v == kLimit && !negative)) return 2;
  out = negative ? static_cast<int64_t>(-static_cast<__int128>(v)) : static_cast<int64_t>(v);
  return 1;
}

static std::string FixExponent(std::string s) {
  // C prints "1E+16" and "1E-05" like the original; only "-0" needs a fix.
  if (s == "-0") return "0";
  return s;
}

std::string FormatDouble(double d) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.15G", d);
  return FixExponent(buf);
}

std::string FormatSingle(float f) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.7G", static_cast<double>(f));
  return FixExponent(buf);
}

std::string FormatCurrency(int64_t scaled) {
  bool neg = scaled < 0;
  uint64_t u = neg ? 0 - static_cast<uint64_t>(scaled) : static_cast<uint64_t>(scaled);
  std::string r = std::to_string(u / 10000);
  uint64_t frac = u % 10000;
  if (frac) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04u", static_cast<unsigned>(frac));
    std::string f(buf);
    while (!f.empty() && f.back() == '0') f.pop_back();
    r += "." + f;
  }
  return neg ? "-" + r : r;
}

// ---------------------------------------------------------------------------------------
// Dates

static int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

static void CivilFromDays(int64_t z, int& y, int& m, int& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t yy = static_cast<int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(yy + (m <= 2));
}

static const int64_t kEpoch = DaysFromCivil(1899, 12, 30);

double DateSerial(int year, int month, int day) {
  int64_t m0 = int64_t{month} - 1;
  int64_t y = year + (m0 >= 0 ? m0 / 12 : (m0 - 11) / 12);
  int64_t m = ((m0 % 12) + 12) % 12 + 1;
  return static_cast<double>(DaysFromCivil(y, static_cast<unsigned>(m), 1) + day - 1 - kEpoch);
}

double TimeSerial(int hour, int minute, int second) {
  return (hour * 3600.0 + minute * 60.0 + second) / 86400.0;
}

void SplitDate(double date, int& year, int& month, int& day, int& hour, int& minute, int& second) {
  double whole = std::trunc(date);
  int64_t secs = std::llround(std::fabs(date - whole) * 86400.0);
  int64_t days = static_cast<int64_t>(whole);
  if (secs >= 86400) {
    secs -= 86400;
    days += date < 0 ? -1 : 1;
  }
  CivilFromDays(days + kEpoch, year, month, day);
  hour = static_cast<int>(secs / 3600);
  minute = static_cast<int>(secs / 60 % 60);
  second = static_cast<int>(secs % 60);
}

std::string FormatGeneralDate(double date) {
  int y, mo, d, h, mi, s;
  SplitDate(date, y, mo, d, h, mi, s);
  double whole = std::trunc(date);
  bool hasTime = (h | mi | s) != 0;
  char buf[64];
  std::string out;
  if (whole != 0 || !hasTime) {
    std::snprintf(buf, sizeof buf, "%d/%d/%d", mo, d, y);
    out = buf;
  }
  if (hasTime || (whole == 0 && date == 0)) {
    if (whole == 0 && date == 0) out.clear();
    int h12 = h % 12 == 0 ? 12 : h % 12;
    std::snprintf(buf, sizeof buf, "%d:%02d:%02d %s", h12, mi, s, h < 12 ? "AM" : "PM");
    if (!out.empty()) out += ' ';
    out += buf;
  }
  return out;
}

bool ParseDate(std::string_view text, double& out) {
  static const char* const kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                        "jul", "aug", "sep", "oct", "nov", "dec"};
  std::string_view s = Trim(text);
  if (s.empty()) return false;
  std::vector<int> dateNums, timeNums;
  std::vector<int> dateDigits;
  int month = 0, ampm = 0;
  size_t i = 0;
  bool sawTime = false;
  while (i < s.size()) {
    char c = s[i];
    if (std::isdigit(static_cast<unsigned char>(c))) {
      size_t start = i;
      int64_t v = 0;
      while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) {
        v = v * 10 + (s[i] - '0');
        if (v > 100000) return false;
        ++i;
      }
      bool timePart = (i < s.size() && s[i] == ':') || (start > 0 && s[start - 1] == ':');
      if (!timePart) {
        // "10 PM": a lone number directly before AM/PM is an hour.
        size_t j = i;
        while (j < s.size() && s[j] == ' ') ++j;
        if (j + 1 < s.size() && (s[j] == 'a' || s[j] == 'A' || s[j] == 'p' || s[j] == 'P') &&
            (s[j + 1] == 'm' || s[j + 1] == 'M'))
          timePart = true;
      }
      if (timePart) {
        if (timeNums.size() >= 3) return false;
        timeNums.push_back(static_cast<int>(v));
        sawTime = true;
      } else {
        if (dateNums.size() >= 3) return false;
        dateNums.push_back(static_cast<int>(v));
        dateDigits.push_back(static_cast<int>(i - start));
      }
    } else if (std::isalpha(static_cast<unsigned char>(c))) {
      size_t start = i;
      while (i < s.size() && std::isalpha(static_cast<unsigned char>(s[i]))) ++i;
      std::string w = LowerName(s.substr(start, i - start));
      if (w == "am" || w == "a")
        ampm = 1;
      else if (w == "pm" || w == "p")
        ampm = 2;
      else {
        int found = 0;
        for (int k = 0; k < 12; ++k) {
          if (w.size() >= 3 && w.compare(0, 3, kMonths[k]) == 0) found = k + 1;
        }
        if (!found || month) return false;
        month = found;
      }
    } else if (c == '/' || c == '-' || c == '.' || c == ',' || c == ' ' || c == ':' || c == '\t') {
      ++i;
    } else {
      return false;
    }
  }
  if (ampm && !sawTime) return false;
  double datePart = 0;
  bool hasDate = !dateNums.empty() || month;
  if (hasDate) {
    int y = 0, m = 0, d = 0;
    std::time_t now = std::time(nullptr);
    std::tm tmNow{};
    localtime_r(&now, &tmNow);
    int thisYear = tmNow.tm_year + 1900;
    if (month) {
      m = month;
      if (dateNums.size() == 2) {
        if (dateNums[0] > 31 || dateDigits[0] >= 3) {
          y = dateNums[0];
          d = dateNums[1];
        } else {
          d = dateNums[0];
          y = dateNums[1];
        }
      } else if (dateNums.size() == 1) {
        if (dateNums[0] > 31) {
          y = dateNums[0];
          d = 1;
        } else {
          d = dateNums[0];
          y = thisYear;
        }
      } else {
        return false;
      }
    } else if (dateNums.size() == 3) {
      if (dateDigits[0] >= 3 || dateNums[0] > 31) {
        y = dateNums[0];
        m = dateNums[1];
        d = dateNums[2];
      } else {
        m = dateNums[0];
        d = dateNums[1];
        y = dateNums[2];
        if (m > 12 && d <= 12) std::swap(m, d);
      }
    } else if (dateNums.size() == 2) {
      if (dateNums[1] > 31 || dateDigits[1] >= 3) {
        m = dateNums[0];
        y = dateNums[1];
        d = 1;
      } else {
        m = dateNums[0];
        d = dateNums[1];
        y = thisYear;
        if (m > 12 && d <= 12) std::swap(m, d);
      }
    } else {
      return false;
    }
    // Two-digit years: 00-29 are this century, 30-99 the last, as in the original.
    if (y < 100) y += y < 30 ? 2000 : 1900;
    if (m < 1 || m > 12 || d < 1 || y > 9999) return false;
    static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (d > kDays[m - 1]) return false;
    if (m == 2 && d == 29 && !((y % 4 == 0 && y % 100 != 0) || y % 400 == 0)) return false;
    datePart = DateSerial(y, m, d);
  }
  double timePart = 0;
  if (!timeNums.empty()) {
    int h = timeNums[0];
    int mi = timeNums.size() > 1 ? timeNums[1] : 0;
    int se = timeNums.size() > 2 ? timeNums[2] : 0;
    if (ampm) {
      if (h < 1 || h > 12) return false;
      if (ampm == 1 && h == 12) h = 0;
      if (ampm == 2 && h < 12) h += 12;
    }
    if (h > 23 || mi > 59 || se > 59) return false;
    timePart = TimeSerial(h, mi, se);
  }
  out = datePart < 0 ? datePart - timePart : datePart + timePart;
  return true;
}

// ---------------------------------------------------------------------------------------
// Conversions

Variant ValueOf(const Variant& v0) {
  const Variant& v = v0.Deref();
  if (!v.IsObject()) return v;
  Variant cur = v;
  for (int depth = 0; cur.IsObject(); ++depth) {
    HostObject* o = cur.AsObject();
    if (!o) Throw(kObjectNotSet);
    if (depth > 16) Throw(kNoSuchMember);
    cur = o->Invoke(kDefaultMember, InvokeKind::Get, {});
  }
  return cur;
}

// Text read as a number: only number text counts ("True" and dates do not, as in the
// original: CLng("True") and "1/2/2003" + 1 are type mismatches).
static double TextToDouble(const std::string& s) {
  double d;
  if (ParseNumber(s, d)) return d;
  Throw(kTypeMismatch);
}

double ToDouble(const Variant& v0) {
  const Variant& v = v0.Deref();
  switch (v.Type()) {
    case VarType::Empty:
      return 0;
    case VarType::Null:
      Throw(kInvalidNull);
    case VarType::Integer:
      return v.AsInteger();
    case VarType::Long:
      return v.AsLong();
    case VarType::Single:
      return v.AsSingle();
    case VarType::Double:
    case VarType::Date:
      return v.AsDouble();
    case VarType::Currency:
      return static_cast<double>(v.AsCurrency()) / 10000.0;
    case VarType::Boolean:
      return v.AsBoolean() ? -1 : 0;
    case VarType::Byte:
      return v.AsByte();
    case VarType::String:
      return TextToDouble(v.AsString());
    case VarType::Object:
      return ToDouble(ValueOf(v));
    default:
      Throw(kTypeMismatch);
  }
}

int32_t ToLong(const Variant& v0) {
  const Variant& v = v0.Deref();
  switch (v.Type()) {
    case VarType::Long:
      return v.AsLong();
    case VarType::Integer:
      return v.AsInteger();
    case VarType::Boolean:
      return v.AsBoolean() ? -1 : 0;
    case VarType::Byte:
      return v.AsByte();
    case VarType::Empty:
      return 0;
    default:
      break;
  }
  double d = RoundHalfEven(ToDouble(v));
  if (!(d >= -2147483648.0 && d <= 2147483647.0)) Throw(kOverflow);
  return static_cast<int32_t>(d);
}

int16_t ToInteger(const Variant& v) {
  double d = v.Deref().Type() == VarType::Long ? v.Deref().AsLong() : RoundHalfEven(ToDouble(v));
  if (!(d >= -32768.0 && d <= 32767.0)) Throw(kOverflow);
  return static_cast<int16_t>(d);
}

uint8_t ToByte(const Variant& v) {
  double d = RoundHalfEven(ToDouble(v));
  if (!(d >= 0 && d <= 255)) Throw(kOverflow);
  return static_cast<uint8_t>(d);
}

int64_t ToCurrency(const Variant& v0) {
  const Variant& v = v0.Deref();
  if (v.Type() == VarType::Currency) return v.AsCurrency();
  if (v.Type() == VarType::String) {
    // Read exactly: a Double would lose the last digits of a long amount.
    int64_t scaled;
    int r = CurrencyOfText(v.AsString(), scaled);
    if (r == 1) return scaled;
    if (r == 2) Throw(kOverflow);
  }
  double d = RoundHalfEven(ToDouble(v) * 10000.0);
  if (!(d >= -9.2233720368547758e18 && d < 9.2233720368547758e18)) Throw(kOverflow);
  return static_cast<int64_t>(d);
}

bool ToBoolean(const Variant& v0) {
  const Variant& v = v0.Deref();
  switch (v.Type()) {
    case VarType::Boolean:
      return v.AsBoolean();
    case VarType::String: {
      // "True", "False" and their literal forms "#TRUE#", "#FALSE#", any case.
      std::string_view t = v.AsString();
      if (t.size() > 2 && t.front() == '#' && t.back() == '#') t = t.substr(1, t.size() - 2);
      if (NameEquals(t, "true")) return true;
      if (NameEquals(t, "false")) return false;
      double d;
      if (ParseNumber(v.AsString(), d)) return d != 0;
      Throw(kTypeMismatch);
    }
    default:
      return ToDouble(v) != 0;
  }
}

double ToDate(const Variant& v0) {
  const Variant& v = v0.Deref();
  if (v.Type() == VarType::String) {
    double d;
    if (ParseDate(v.AsString(), d)) return d;
    if (ParseNumber(v.AsString(), d)) return d;
    Throw(kTypeMismatch);
  }
  double d = ToDouble(v);
  if (!(d >= -657434.0 && d < 2958466.0)) Throw(kOverflow);
  return d;
}

void CheckStringSize(size_t bytes) {
  if (bytes > kMaxStringBytes) Throw(14);
}

TextKind AppendText(std::string& out, const Variant& v0) {
  const Variant& v = v0.Deref();
  switch (v.Type()) {
    case VarType::String: {
      const StringRep& rep = *v.StringBlock();
      CheckStringSize(out.size() + rep.text.size());
      TextKind k = rep.Kind();
      if (k == TextKind::kAscii)
        out += rep.text;
      else
        AppendJoined(out, rep.text);
      return k;
    }
    case VarType::Empty:
    case VarType::Null:
      return TextKind::kAscii;
    case VarType::Integer:
      out += std::to_string(v.AsInteger());
      return TextKind::kAscii;
    case VarType::Long:
      out += std::to_string(v.AsLong());
      return TextKind::kAscii;
    case VarType::Object: {
      std::string t = ToString(v);
      CheckStringSize(out.size() + t.size());
      AppendJoined(out, t);
      return KindOf(t);
    }
    default:
      out += ToString(v);
      return TextKind::kAscii;
  }
}

std::string ToExternal(const Variant& v) {
  return EncodeExternal(ToString(v));
}

std::string ToString(const Variant& v0) {
  const Variant& v = v0.Deref();
  switch (v.Type()) {
    case VarType::Empty:
      return {};
    case VarType::Null:
      Throw(kInvalidNull);
    case VarType::Integer:
      return std::to_string(v.AsInteger());
    case VarType::Long:
      return std::to_string(v.AsLong());
    case VarType::Byte:
      return std::to_string(v.AsByte());
    case VarType::Single:
      return FormatSingle(v.AsSingle());
    case VarType::Double:
      return FormatDouble(v.AsDouble());
    case VarType::Currency:
      return FormatCurrency(v.AsCurrency());
    case VarType::Date:
      return FormatGeneralDate(v.AsDouble());
    case VarType::Boolean:
      return v.AsBoolean() ? "True" : "False";
    case VarType::String:
      return v.AsString();
    case VarType::Object:
      return ToString(ValueOf(v));
    case VarType::Error:
      return "Error " + std::to_string(v.AsLong());
    default:
      Throw(kTypeMismatch);
  }
}

Variant MissingArgument() {
  return Variant::Error(static_cast<int32_t>(0x80020004));
}
bool IsMissing(const Variant& v) {
  return v.Type() == VarType::Error && v.AsLong() == static_cast<int32_t>(0x80020004);
}

std::string TypeNameOf(const Variant& v0) {
  const Variant& v = v0.Deref();
  switch (v.Type()) {
    case VarType::Empty:
      return "Empty";
    case VarType::Null:
      return "Null";
    case VarType::Integer:
      return "Integer";
    case VarType::Long:
      return "Long";
    case VarType::Single:
      return "Single";
    case VarType::Double:
      return "Double";
    case VarType::Currency:
      return "Currency";
    case VarType::Date:
      return "Date";
    case VarType::String:
      return "String";
    case VarType::Object:
      return v.AsObject() ? v.AsObject()->TypeName() : "Nothing";
    case VarType::Error:
      return "Error";
    case VarType::Boolean:
      return "Boolean";
    case VarType::Byte:
      return "Byte";
    case VarType::Array:
      return "Variant()";
    default:
      return "Unknown";
  }
}

// ---------------------------------------------------------------------------------------
// Arithmetic
//
// Operands are ranked; the result takes the higher rank and climbs on overflow
// (Byte -> Integer -> Long -> Double), as the language does.

namespace {

enum Rank {
  kRankEmpty = 0,
  kRankByte,
  kRankInteger,
  kRankLong,
  kRankSingle,
  kRankDouble,
  kRankCurrency,
  kRankDate
};

// Operand after default-member and text conversion; strings become Double.
struct Num {
  Rank rank;
  double d;   // every rank's value as a double
  int64_t i;  // integer ranks and Currency (scaled)
};

Num ToNum(const Variant& v0) {
  const Variant& v = v0.Deref();
  switch (v.Type()) {
    case VarType::Empty:
      return {kRankEmpty, 0, 0};
    case VarType::Byte:
      return {kRankByte, double(v.AsByte()), v.AsByte()};
    case VarType::Integer:
      return {kRankInteger, double(v.AsInteger()), v.AsInteger()};
    case VarType::Boolean:
      return {kRankInteger, v.AsBoolean() ? -1.0 : 0.0, v.AsBoolean() ? -1 : 0};
    case VarType::Long:
      return {kRankLong, double(v.AsLong()), v.AsLong()};
    case VarType::Single:
      return {kRankSingle, double(v.AsSingle()), 0};
    case VarType::Double:
      return {kRankDouble, v.AsDouble(), 0};
    case VarType::Currency:
      return {kRankCurrency, double(v.AsCurrency()) / 10000.0, v.AsCurrency()};
    case VarType::Date:
      return {kRankDate, v.AsDouble(), 0};
    case VarType::String:
      return {kRankDouble, TextToDouble(v.AsString()), 0};
    case VarType::Object:
      return ToNum(ValueOf(v));
    case VarType::Null:
      Throw(kInvalidNull);
    default:
      Throw(kTypeMismatch);
  }
}

// Operands of + - *: text beside a Date reads as a date ("1/2/2003", or a number), so
// Now - "1/1/2020" counts days; elsewhere text must be a number.
void ToNums(const Variant& a0, const Variant& b0, Num& x, Num& y) {
  const Variant& a = a0.Deref();
  const Variant& b = b0.Deref();
  if (a.IsString() && b.Type() == VarType::Date) {
    x = {kRankDate, ToDate(a), 0};
    y = ToNum(b);
  } else if (b.IsString() && a.Type() == VarType::Date) {
    x = ToNum(a);
    y = {kRankDate, ToDate(b), 0};
  } else {
    x = ToNum(a);
    y = ToNum(b);
  }
}

Variant FromInt(Rank r, int64_t v) {
  if (r <= kRankByte && v >= 0 && v <= 255) return Variant::Byte(static_cast<uint8_t>(v));
  if (r <= kRankInteger && v >= -32768 && v <= 32767)
    return Variant::Integer(static_cast<int16_t>(v));
  if (v >= INT32_MIN && v <= INT32_MAX) return Variant::Long(static_cast<int32_t>(v));
  return Variant::Double(static_cast<double>(v));
}

Variant FromCurrency(double scaled) {
  if (!(scaled >= -9.2233720368547758e18 && scaled < 9.2233720368547758e18)) Throw(kOverflow);
  return Variant::Currency(static_cast<int64_t>(RoundHalfEven(scaled)));
}

Variant CheckDouble(double d) {
  if (!std::isfinite(d)) Throw(kOverflow);
  return Variant::Double(d);
}

Variant CheckDate(double d) {
  if (!(d >= -657434.0 && d < 2958466.0)) Throw(kOverflow);
  return Variant::Date(d);
}

enum class ArithOp { Add, Sub, Mul };

// n / d rounded half to even (d > 0).
__int128 ScaledDivide(__int128 n, int64_t d) {
  __int128 q = n / d, r = n % d;
  if (r < 0) {
    r = -r;
    if (2 * r > d || (2 * r == d && (q & 1))) --q;
  } else if (2 * r > d || (2 * r == d && (q & 1))) {
    ++q;
  }
  return q;
}

Variant Arith(ArithOp op, const Variant& a, const Variant& b) {
  Num x, y;
  ToNums(a, b, x, y);
  Rank r = std::max(x.rank, y.rank);
  if (r == kRankEmpty) r = kRankInteger;
  if (r == kRankDate) {
    double v = op == ArithOp::Add ? x.d + y.d : op == ArithOp::Sub ? x.d - y.d : x.d * y.d;
    if (op == ArithOp::Sub && x.rank == kRankDate && y.rank == kRankDate) return CheckDouble(v);
    if (op == ArithOp::Mul) return CheckDouble(v);
    return CheckDate(v);
  }
  if (r == kRankCurrency) {
    if (x.rank == kRankDouble || y.rank == kRankDouble || x.rank == kRankSingle ||
        y.rank == kRankSingle) {
      double v = op == ArithOp::Add ? x.d + y.d : op == ArithOp::Sub ? x.d - y.d : x.d * y.d;
      return CheckDouble(v);
    }
    // Exact in scaled 64-bit integers; the other operand is of an integer rank here.
    __int128 xs = x.rank == kRankCurrency ? x.i : __int128{x.i} * 10000;
    __int128 ys = y.rank == kRankCurrency ? y.i : __int128{y.i} * 10000;
    __int128 v = op == ArithOp::Add   ? xs + ys
                 : op == ArithOp::Sub ? xs - ys
                                      : ScaledDivide(xs * ys, 10000);
    if (v < INT64_MIN || v > INT64_MAX) Throw(kOverflow);
    return Variant::Currency(static_cast<int64_t>(v));
  }
  if (r <= kRankLong) {
    int64_t v = op == ArithOp::Add ? x.i + y.i : op == ArithOp::Sub ? x.i - y.i : x.i * y.i;
    return FromInt(r, v);
  }
  double v = op == ArithOp::Add ? x.d + y.d : op == ArithOp::Sub ? x.d - y.d : x.d * y.d;
  // Long with Single gives Double: Single cannot hold every Long.
  if (r == kRankSingle && x.rank != kRankLong && y.rank != kRankLong) {
    float f = static_cast<float>(v);
    if (!std::isfinite(f)) Throw(kOverflow);
    return Variant::Single(f);
  }
  return CheckDouble(v);
}

bool IsNullish(const Variant& v) {
  return v.Deref().IsNull();
}

}  // namespace

Variant Add(const Variant& a0, const Variant& b0) {
  const Variant& a = a0.Deref();
  const Variant& b = b0.Deref();
  Variant r;
  if (QuickArith(NumOp::Add, a, b, r)) return r;
  if (a.IsNull() || b.IsNull()) return Variant::Null();
  if (a.IsString() && (b.IsString() || b.IsEmpty())) return Concat(a, b);
  if (b.IsString() && a.IsEmpty()) return Concat(a, b);
  return Arith(ArithOp::Add, a, b);
}

Variant Subtract(const Variant& a, const Variant& b) {
  Variant r;
  if (QuickArith(NumOp::Sub, a.Deref(), b.Deref(), r)) return r;
  if (IsNullish(a) || IsNullish(b)) return Variant::Null();
  return Arith(ArithOp::Sub, a, b);
}

Variant Multiply(const Variant& a, const Variant& b) {
  Variant r;
  if (QuickArith(NumOp::Mul, a.Deref(), b.Deref(), r)) return r;
  if (IsNullish(a) || IsNullish(b)) return Variant::Null();
  return Arith(ArithOp::Mul, a, b);
}

Variant Divide(const Variant& a, const Variant& b) {
  if (IsNullish(a) || IsNullish(b)) return Variant::Null();
  Num x = ToNum(a), y = ToNum(b);
  if (y.d == 0) Throw(x.d == 0 ? kOverflow : kDivisionByZero);
  double v = x.d / y.d;
  if (x.rank == kRankSingle && y.rank <= kRankSingle && y.rank != kRankLong) {
    return Variant::Single(static_cast<float>(v));
  }
  if (x.rank == kRankCurrency && y.rank != kRankDouble && y.rank != kRankSingle)
    return FromCurrency(v * 10000.0);
  return CheckDouble(v);
}

namespace {
// Operands of \ and Mod, rounded to integers, and the rank of the result.
void IntOperands(const Variant& a, const Variant& b, int64_t& x, int64_t& y, Rank& r) {
  Num nx = ToNum(a), ny = ToNum(b);
  auto toInt = [](const Num& n) -> int64_t {
    if (n.rank <= kRankLong) return n.i;
    double d = RoundHalfEven(n.d);
    if (!(d >= -2147483648.0 && d <= 2147483647.0)) Throw(kOverflow);
    return static_cast<int64_t>(d);
  };
  x = toInt(nx);
  y = toInt(ny);
  Rank rx = nx.rank == kRankEmpty ? kRankInteger : nx.rank;
  Rank ry = ny.rank == kRankEmpty ? kRankInteger : ny.rank;
  r = std::max(rx, ry);
  if (r > kRankLong) r = kRankLong;
  if (nx.rank == kRankEmpty && ny.rank == kRankByte) r = kRankByte;
  if (ny.rank == kRankEmpty && nx.rank == kRankByte) r = kRankByte;
}
}  // namespace

Variant IntDivide(const Variant& a, const Variant& b) {
  if (IsNullish(a) || IsNullish(b)) return Variant::Null();
  int64_t x, y;
  Rank r;
  IntOperands(a, b, x, y, r);
  if (y == 0) Throw(kDivisionByZero);
  int64_t v = x / y;
  if (r == kRankLong && (v > INT32_MAX || v < INT32_MIN)) Throw(kOverflow);
  return FromInt(r, v);
}

Variant Modulo(const Variant& a, const Variant& b) {
  if (IsNullish(a) || IsNullish(b)) return Variant::Null();
  int64_t x, y;
  Rank r;
  IntOperands(a, b, x, y, r);
  if (y == 0) Throw(kDivisionByZero);
  return FromInt(r, x % y);
}

Variant Power(const Variant& a, const Variant& b) {
  if (IsNullish(a) || IsNullish(b)) return Variant::Null();
  double x = ToDouble(a), y = ToDouble(b);
  if (x == 0 && y < 0) Throw(kInvalidCall);
  if (x < 0 && y != std::floor(y)) Throw(kInvalidCall);
  return CheckDouble(std::pow(x, y));
}

Variant Negate(const Variant& a0) {
  const Variant& a = a0.Deref();
  switch (a.Type()) {
    case VarType::Null:
      return Variant::Null();
    case VarType::Empty:
      return Variant::Integer(0);
    case VarType::Integer:
    case VarType::Boolean:
    case VarType::Byte: {
      Num n = ToNum(a);
      return FromInt(kRankInteger, -n.i);
    }
    case VarType::Long:
      if (a.AsLong() == INT32_MIN) return Variant::Double(2147483648.0);
      return Variant::Long(-a.AsLong());
    case VarType::Single:
      return Variant::Single(-a.AsSingle());
    case VarType::Double:
      return Variant::Double(-a.AsDouble());
    case VarType::Currency:
      if (a.AsCurrency() == INT64_MIN) Throw(kOverflow);
      return Variant::Currency(-a.AsCurrency());
    case VarType::Date:
      return CheckDate(-a.AsDouble());
    case VarType::String:
      return Variant::Double(-TextToDouble(a.AsString()));
    case VarType::Object:
      return Negate(ValueOf(a));
    default:
      Throw(kTypeMismatch);
  }
}

Variant Concat(const Variant& a0, const Variant& b0) {
  const Variant& a = a0.Deref();
  const Variant& b = b0.Deref();
  if (a.IsNull() && b.IsNull()) return Variant::Null();
  std::string s;
  TextKind kind;
  if (a.IsString()) {
    const StringRep& ar = *a.StringBlock();
    if (b.IsString()) {
      const StringRep& br = *b.StringBlock();
      CheckStringSize(ar.text.size() + br.text.size());
      s.reserve(ar.text.size() + br.text.size());
      s += ar.text;
      kind = JoinKinds(ar.Kind(), br.Kind());
      if (kind == TextKind::kAscii)
        s += br.text;
      else
        AppendJoined(s, br.text);
      return Variant::Text(std::move(s), kind);
    }
    s = ar.text;
    kind = ar.Kind();
  } else {
    kind = AppendText(s, a.IsObject() ? ValueOf(a) : a);
  }
  kind = JoinKinds(kind, AppendText(s, b.IsObject() ? ValueOf(b) : b));
  return Variant::Text(std::move(s), kind);
}

// ---------------------------------------------------------------------------------------
// Logic: Booleans give Booleans; numbers are combined bit by bit.

namespace {

struct Bits {
  bool isBool;
  Rank rank;
  int64_t v;
};

Bits ToBits(const Variant& v0) {
  const Variant& v = v0.Deref();
  switch (v.Type()) {
    case VarType::Boolean:
      return {true, kRankInteger, v.AsBoolean() ? -1 : 0};
    case VarType::Empty:
      return {false, kRankInteger, 0};
    case VarType::Byte:
      return {false, kRankByte, v.AsByte()};
    case VarType::Integer:
      return {false, kRankInteger, v.AsInteger()};
    case VarType::Long:
      return {false, kRankLong, v.AsLong()};
    case VarType::String: {
      const std::string& s = v.AsString();
      if (NameEquals(s, "true")) return {true, kRankInteger, -1};
      if (NameEquals(s, "false")) return {true, kRankInteger, 0};
      return {false, kRankLong, ToLong(v)};
    }
    case VarType::Object:
      return ToBits(ValueOf(v));
    default:
      return {false, kRankLong, ToLong(v)};
  }
}

Variant FromBits(const Bits& x, const Bits& y, int64_t v) {
  if (x.isBool && y.isBool) return Variant::Boolean(v != 0);
  Rank r = std::max(x.isBool ? kRankInteger : x.rank, y.isBool ? kRankInteger : y.rank);
  if (r == kRankByte) return Variant::Byte(static_cast<uint8_t>(v));
  if (r == kRankInteger) return Variant::Integer(static_cast<int16_t>(v));
  return Variant::Long(static_cast<int32_t>(v));
}

// Truth of a non-Null operand for the Null rules: 1 all bits set, 0 zero, -1 other.
int Truth(const Variant& v) {
  Bits b = ToBits(v);
  if (b.v == 0) return 0;
  if (b.v == -1) return 1;
  return -1;
}

}  // namespace

Variant Not(const Variant& a) {
  if (IsNullish(a)) return Variant::Null();
  Bits x = ToBits(a);
  return FromBits(x, x, ~x.v);
}

Variant And(const Variant& a, const Variant& b) {
  bool an = IsNullish(a), bn = IsNullish(b);
  if (an || bn) {
    if (an && bn) return Variant::Null();
    const Variant& other = an ? b : a;
    if (Truth(other) == 0) return FromBits(ToBits(other), ToBits(other), 0);
    return Variant::Null();
  }
  Bits x = ToBits(a), y = ToBits(b);
  return FromBits(x, y, x.v & y.v);
}

Variant Or(const Variant& a, const Variant& b) {
  bool an = IsNullish(a), bn = IsNullish(b);
  if (an || bn) {
    if (an && bn) return Variant::Null();
    const Variant& other = an ? b : a;
    if (Truth(other) == 1) return FromBits(ToBits(other), ToBits(other), -1);
    return Variant::Null();
  }
  Bits x = ToBits(a), y = ToBits(b);
  return FromBits(x, y, x.v | y.v);
}

Variant Xor(const Variant& a, const Variant& b) {
  if (IsNullish(a) || IsNullish(b)) return Variant::Null();
  Bits x = ToBits(a), y = ToBits(b);
  return FromBits(x, y, x.v ^ y.v);
}

Variant Eqv(const Variant& a, const Variant& b) {
  if (IsNullish(a) || IsNullish(b)) return Variant::Null();
  Bits x = ToBits(a), y = ToBits(b);
  return FromBits(x, y, ~(x.v ^ y.v));
}

Variant Imp(const Variant& a, const Variant& b) {
  bool an = IsNullish(a), bn = IsNullish(b);
  if (an && bn) return Variant::Null();
  if (an) {
    if (Truth(b) == 1) return FromBits(ToBits(b), ToBits(b), -1);
    return Variant::Null();
  }
  if (bn) {
    if (Truth(a) == 0) return FromBits(ToBits(a), ToBits(a), -1);
    return Variant::Null();
  }
  Bits x = ToBits(a), y = ToBits(b);
  return FromBits(x, y, ~x.v | y.v);
}

// ---------------------------------------------------------------------------------------
// Comparison

static int CompareText(const std::string& a, const std::string& b, bool textCompare) {
  if (!textCompare) {
    // Code unit order. UTF-8's byte order is code point order, which differs from it only
    // where one text has a character past U+FFFF (lead byte F0..F4) and the other one of
    // U+D800..U+FFFF (ED..EF) at the first difference.
    auto [pa, pb] = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
    if (pa == a.end() || pb == b.end())
      return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
    auto x = static_cast<unsigned char>(*pa), y = static_cast<unsigned char>(*pb);
    int c = x < y ? -1 : 1;
    if ((x >= 0xF0 && y >= 0xED && y < 0xF0) || (y >= 0xF0 && x >= 0xED && x < 0xF0)) {
      std::u16string ua = ToUnits(a), ub = ToUnits(b);
      c = ua.compare(ub);
    }
    return c < 0 ? -1 : c > 0 ? 1 : 0;
  }
  if (IsAscii(a) && IsAscii(b)) {
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
      int x = std::tolower(static_cast<unsigned char>(a[i]));
      int y = std::tolower(static_cast<unsigned char>(b[i]));
      if (x != y) return x < y ? -1 : 1;
    }
    return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
  }
  std::u16string x = ToUnits(a), y = ToUnits(b);
  size_t n = std::min(x.size(), y.size());
  for (size_t i = 0; i < n; ++i) {
    char16_t p = LowerUnit(x[i]), q = LowerUnit(y[i]);
    if (p != q) return p < q ? -1 : 1;
  }
  return x.size() < y.size() ? -1 : x.size() > y.size() ? 1 : 0;
}

static int CompareDoubles(double a, double b) {
  return a < b ? -1 : a > b ? 1 : 0;
}

namespace {

// `lenient`: a string that is no number meets a numeric literal as the greater value
// (Select Case) instead of raising 13.
int CompareImpl(const Variant& a0, const Variant& b0, bool aLiteral, bool bLiteral,
                bool textCompare, bool lenient) {
  const Variant& a = a0.Deref();
  const Variant& b = b0.Deref();
  if (int c; QuickCompare(a, b, c)) return c;
  if (a.IsObject() || b.IsObject()) {
    Variant x = a.IsObject() ? ValueOf(a) : a;
    Variant y = b.IsObject() ? ValueOf(b) : b;
    return CompareImpl(x, y, aLiteral, bLiteral, textCompare, lenient);
  }
  if (a.IsNull() || b.IsNull()) return 2;
  if (a.IsArray() || b.IsArray() || a.Type() == VarType::Error || b.Type() == VarType::Error)
    Throw(kTypeMismatch);
  if (a.IsEmpty() && b.IsEmpty()) return 0;
  if (a.IsString() && b.IsString()) return CompareText(a.AsString(), b.AsString(), textCompare);
  if (a.IsEmpty()) {
    if (b.IsString()) return CompareText(std::string(), b.AsString(), textCompare);
    return CompareDoubles(0, ToDouble(b));
  }
  if (b.IsEmpty()) {
    if (a.IsString()) return CompareText(a.AsString(), std::string(), textCompare);
    return CompareDoubles(ToDouble(a), 0);
  }
  if (a.IsString() || b.IsString()) {
    bool aIsString = a.IsString();
    const Variant& str = aIsString ? a : b;
    const Variant& num = aIsString ? b : a;
    bool strLiteral = aIsString ? aLiteral : bLiteral;
    bool numLiteral = aIsString ? bLiteral : aLiteral;
    int c;
    double d;
    if (numLiteral && ParseNumber(str.AsString(), d)) {
      c = CompareDoubles(d, ToDouble(num));
    } else if (numLiteral && !strLiteral && !lenient) {
      Throw(kTypeMismatch);
    } else if (strLiteral) {
      // Two literals of different types ("yes" = True, Case "x" against 3) compare as
      // text when the string is no number.
      c = CompareText(str.AsString(), ToString(num), textCompare);
    } else {
      c = 1;  // a string is greater than any number
    }
    return aIsString ? c : -c;
  }
  if (a.Type() == VarType::Currency && b.Type() == VarType::Currency)
    return a.AsCurrency() < b.AsCurrency() ? -1 : a.AsCurrency() > b.AsCurrency() ? 1 : 0;
  // A Single meets a Double at the Single's precision: CSng(0.1) = 0.1.
  if ((a.Type() == VarType::Single && b.Type() == VarType::Double) ||
      (a.Type() == VarType::Double && b.Type() == VarType::Single))
    return CompareDoubles(static_cast<float>(ToDouble(a)), static_cast<float>(ToDouble(b)));
  return CompareDoubles(ToDouble(a), ToDouble(b));
}

}  // namespace

int CompareValues(const Variant& a, const Variant& b, bool aLiteral, bool bLiteral,
                  bool textCompare) {
  return CompareImpl(a, b, aLiteral, bLiteral, textCompare, false);
}

bool CaseMatches(const Variant& subject, const Variant& value, bool subjectLiteral,
                 bool valueLiteral) {
  return CompareImpl(subject, value, subjectLiteral, valueLiteral, false, true) == 0;
}

Variant Compare(CompareOp op, const Variant& a, const Variant& b, bool aLiteral, bool bLiteral,
                bool textCompare) {
  int c = CompareValues(a, b, aLiteral, bLiteral, textCompare);
  if (c == 2) return Variant::Null();
  switch (op) {
    case CompareOp::Eq:
      return Variant::Boolean(c == 0);
    case CompareOp::Ne:
      return Variant::Boolean(c != 0);
    case CompareOp::Lt:
      return Variant::Boolean(c < 0);
    case CompareOp::Gt:
      return Variant::Boolean(c > 0);
    case CompareOp::Le:
      return Variant::Boolean(c <= 0);
    case CompareOp::Ge:
      return Variant::Boolean(c >= 0);
  }
  return Variant::Null();
}

}  // namespace vbs
