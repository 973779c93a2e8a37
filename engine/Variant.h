// How values are represented.
//
// Every value a script handles is a Variant: a 16-byte tagged union. The tag is the
// language's VarType number, so VarType() is a field read; one more bit of the tag word
// says that the value owns a block, so copies and stores test one bit. Numbers, Booleans, dates and
// Currency live in the union itself; strings, arrays and objects are pointers to
// reference-counted blocks, so copying a Variant is a tag copy plus at most one increment.
//
// Strings are sequences of UTF-16 code units, kept as WTF-8 (see Unicode.h): ASCII text is
// one byte per character. A string block remembers whether its text is all ASCII once
// that was asked (then byte positions are character positions) and how many code units it
// has. A string block with one owner may be changed in place; that makes `s = s & x` an
// append instead of a copy.
// Arrays have value semantics in the language (b = a copies); they are shared on copy
// and copied on the first write while shared. Objects are HostObject pointers; Nothing
// is an Object Variant with a null pointer.
//
// One tag exists only inside the engine: Ref, a pointer to another Variant. It sits in
// the parameter slot of a procedure called ByRef and never escapes into script values.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/HostObject.h"
#include "engine/Unicode.h"

namespace vbs {

enum class VarType : uint16_t {
  Empty = 0,
  Null = 1,
  Integer = 2,
  Long = 3,
  Single = 4,
  Double = 5,
  Currency = 6,
  Date = 7,
  String = 8,
  Object = 9,
  Error = 10,
  Boolean = 11,
  Byte = 17,
  Array = 8204,  // vbArray + vbVariant: every array holds Variants
  Ref = 0x7fff,  // engine-internal by-reference slot
};

// What one engine's strings and arrays may hold together (error 7 beyond it). Blocks made
// while an engine runs are charged to its budget, the thread's active one, and give their
// bytes back when they go, even after the engine has gone: the budget lives as long as
// anything charged to it. Blocks made while no engine runs (by a host) are not charged.
class MemoryBudget {
 public:
  explicit MemoryBudget(size_t limit) : limit(limit) {}
  MemoryBudget(const MemoryBudget&) = delete;
  MemoryBudget& operator=(const MemoryBudget&) = delete;
  // False (and nothing charged) when the bytes would pass the limit.
  bool Charge(size_t bytes) {
    if (bytes > limit || used > limit - bytes) return false;
    used += bytes;
    return true;
  }
  void Retain() { ++refs_; }
  void Refund(size_t bytes) {
    used -= bytes;
    if (--refs_ == 0) delete this;
  }
  // The owner (the engine) lets go; the budget goes with the last block charged to it.
  void Drop() { Refund(0); }

  size_t limit;
  size_t used = 0;

 private:
  ~MemoryBudget() = default;
  uint32_t refs_ = 1;  // the owner's and one per charged block
};

namespace detail {
// The budget of the engine running on this thread; nullptr while none runs.
inline constinit thread_local MemoryBudget* activeBudget = nullptr;
}  // namespace detail

struct StringRep;
namespace detail {
// Where the last character position was found in a string that is not ASCII, so that a
// loop of Mid or InStr calls walking through one text in small steps costs a few
// characters each. Forgotten when that block changes or goes.
struct PositionMemo {
  const StringRep* rep = nullptr;
  size_t unit = 0, byte = 0;
};
inline constinit thread_local PositionMemo positionMemo;
}  // namespace detail

// Where the code units of a long text that is not ASCII start: the byte of every
// kStep-th unit, found once by one scan that goes only as far as positions were asked
// for (and goes on from there when the text grows at its end). Any position is then at
// most kStep units from a mark, so Mid, Left, Right and InStr reach it in constant time
// wherever it lies; walking backwards or at random costs what walking forwards does.
// A mark is 4 bytes per 64 units: at most a sixteenth of the text, charged like it.
struct UnitIndex {
  static constexpr size_t kStep = 64;
  // Set in a mark when its unit is the second half of a pair: the mark is the pair's byte.
  static constexpr uint32_t kSecondHalf = 0x80000000u;
  std::vector<uint32_t> marks;  // marks[i]: byte of the character holding unit i * kStep
  // The scan stopped at this character: every mark below `units` is set.
  size_t units = 0, bytes = 0;
  size_t charged = 0;  // bytes charged for marks
};

struct StringRep {
  uint32_t refs = 1;
  uint32_t charged = 0;  // bytes charged to budget
  MemoryBudget* budget = nullptr;
  std::string text;
  mutable TextKind kind = TextKind::kUnknown;
  mutable uint32_t units = kUnitsUnknown;  // code units, once counted
  mutable UnitIndex* index = nullptr;      // of long text that is not ASCII, once asked
  static constexpr uint32_t kUnitsUnknown = UINT32_MAX;
  // Texts up to this many bytes are scanned from their start: no index.
  static constexpr size_t kIndexFrom = 4 * UnitIndex::kStep;
  ~StringRep() {
    // Positions are remembered only in text that is not ASCII.
    if (kind != TextKind::kAscii) [[unlikely]]
      Forget();
    if (budget) budget->Refund(charged);
  }
  // Bytes the block holds, as charged.
  size_t Footprint() const { return sizeof(StringRep) + text.capacity(); }
  TextKind Kind() const {
    if (kind == TextKind::kUnknown) [[unlikely]]
      kind = KindOf(text);
    return kind;
  }
  bool Ascii() const { return Kind() == TextKind::kAscii; }
  // Length in code units (the language's Len).
  size_t Units() const {
    if (Ascii()) return text.size();
    if (units == kUnitsUnknown) units = static_cast<uint32_t>(CountUnits(text));
    return units;
  }
  // After the text changed in place.
  void Changed(TextKind k = TextKind::kUnknown) {
    kind = k;
    units = kUnitsUnknown;
    Forget();
  }
  // After text was appended in place at byte `before` to text of kind `was`: the length
  // and the positions found so far are kept, so a loop that appends and reads the length
  // or the end stays linear.
  void Appended(size_t before, TextKind was, TextKind now);
  // Byte offset of code unit `unit` (<= Units()). When that unit is the second half of a
  // pair (one 4-byte character), the offset is the character's and `inPair` is set.
  size_t ByteOfUnit(size_t unit, bool& inPair) const;
  // Code unit index of byte offset `byte`, which starts a character.
  size_t UnitOfByte(size_t byte) const;
  // The text of code units [from, to), to <= Units().
  std::string Slice(size_t from, size_t to) const;

 private:
  // Forgets remembered positions (the memo, the index).
  void Forget() const {
    if (detail::positionMemo.rep == this) [[unlikely]]
      detail::positionMemo.rep = nullptr;
    if (index) [[unlikely]]
      DropIndex();
  }
  void DropIndex() const;
  // The index scanned far enough for `unit` (or `byte` when `byByte`), or nullptr when the
  // text is short or the budget cannot hold the marks (then positions are counted).
  const UnitIndex* IndexFor(size_t unit, bool byByte) const;
};
// A string block with one reference, charged to the running engine's budget (error 7 when
// it does not fit).
[[noreturn]] void StringOverBudget(StringRep* rep);
inline StringRep* NewStringRep(std::string&& text, TextKind kind = TextKind::kUnknown) {
  auto* rep = new StringRep{1, 0, nullptr, std::move(text), kind};
  if (MemoryBudget* b = detail::activeBudget) {
    size_t bytes = rep->Footprint();
    if (!b->Charge(bytes)) [[unlikely]]
      StringOverBudget(rep);
    b->Retain();
    rep->budget = b;
    rep->charged = static_cast<uint32_t>(bytes);
  }
  return rep;
}
// After the text of a block with one owner changed in place (appended to from oldSize):
// charges the difference, or puts the text back as it was and throws 7 when that does
// not fit.
void RechargeString(StringRep* rep, size_t oldSize);

struct ArrayRep {
  struct Bound {
    int32_t lower;
    int32_t count;
  };
  uint32_t refs = 1;
  uint32_t locks = 0;  // > 0 while an element is passed ByRef or a For Each runs on it
  bool fixed = false;  // declared with bounds (Dim a(3)): ReDim is refused
  std::vector<Bound> bounds;
  std::vector<Variant> data;  // first index varies fastest, like the original's arrays
  MemoryBudget* budget = nullptr;
  size_t charged = 0;  // bytes charged to budget
  ArrayRep() = default;
  ArrayRep(const ArrayRep&) = delete;
  ArrayRep& operator=(const ArrayRep&) = delete;
  ~ArrayRep();  // below Variant: destroying data needs the complete type
};
// Charges the block for holding this many elements, before they are allocated; throws 7
// when the running engine's budget cannot take them.
void ChargeArray(ArrayRep& a, size_t elements);
// A dynamic copy of the array (bounds and elements), charged like a new one.
ArrayRep* CopyArray(const ArrayRep& a);

class Variant {
 public:
  Variant() noexcept : tagWord_(0), bits_(0) {}
  Variant(const Variant& o) noexcept : tagWord_(o.tagWord_), bits_(o.bits_) { Retain(); }
  Variant(Variant&& o) noexcept : tagWord_(o.tagWord_), bits_(o.bits_) { o.tagWord_ = 0; }
  Variant& operator=(const Variant& o) noexcept {
    if (this != &o) {
      Variant tmp(o);
      Swap(tmp);
    }
    return *this;
  }
  Variant& operator=(Variant&& o) noexcept {
    if (this != &o) {
      Variant tmp(std::move(o));
      Swap(tmp);
    }
    return *this;
  }
  ~Variant() { Drop(); }
  void Swap(Variant& o) noexcept {
    std::swap(tagWord_, o.tagWord_);
    std::swap(bits_, o.bits_);
  }

  // ---- construction
  static Variant Null() { return Variant(VarType::Null); }
  // Payloads are written as whole words for the same reason as the tag.
  static Variant Integer(int16_t v) { return Word(VarType::Integer, static_cast<uint16_t>(v)); }
  static Variant Long(int32_t v) { return Word(VarType::Long, static_cast<uint32_t>(v)); }
  static Variant Single(float v) {
    uint32_t u;
    std::memcpy(&u, &v, 4);
    return Word(VarType::Single, u);
  }
  static Variant Double(double v) { return Word(VarType::Double, std::bit_cast<uint64_t>(v)); }
  static Variant Currency(int64_t scaled) {
    return Word(VarType::Currency, static_cast<uint64_t>(scaled));
  }
  static Variant Date(double v) { return Word(VarType::Date, std::bit_cast<uint64_t>(v)); }
  static Variant Boolean(bool v) { return Word(VarType::Boolean, v ? 0xFFFFu : 0u); }
  static Variant Byte(uint8_t v) { return Word(VarType::Byte, v); }
  static Variant Error(int32_t v) { return Word(VarType::Error, static_cast<uint32_t>(v)); }
  // A string of text from outside the engine (UTF-8): bytes that are not UTF-8 are kept
  // as U+DC00 + byte (see Unicode.h).
  static Variant String(std::string s) {
    if (IsAscii(s)) return Text(std::move(s), TextKind::kAscii);
    if (!IsEngineText(s, true)) s = DecodeExternal(s, false, true);
    return Text(std::move(s), TextKind::kWide);
  }
  // A string of engine text (well-formed WTF-8), of the given kind when known.
  static Variant Text(std::string s, TextKind kind = TextKind::kUnknown) {
    StringRep* rep = NewStringRep(std::move(s), kind);  // may throw: before r owns anything
    Variant r(VarType::String);
    r.s_ = rep;
    return r;
  }
  static Variant Object(HostObject* o) {  // nullptr gives Nothing
    Variant r(VarType::Object);
    r.o_ = o;
    if (o) o->AddRef();
    return r;
  }
  template <class T>
  static Variant Object(const ObjectPtr<T>& o) {
    return Object(o.Get());
  }
  static Variant Nothing() { return Object(static_cast<HostObject*>(nullptr)); }
  static Variant Array(ArrayRep* adopted) {  // takes over one reference
    Variant r(VarType::Array);
    r.a_ = adopted;
    return r;
  }
  static Variant MakeRef(Variant* target) {
    Variant r(VarType::Ref);
    r.r_ = target;
    return r;
  }

  // ---- inspection
  VarType Type() const { return type_; }
  bool IsEmpty() const { return type_ == VarType::Empty; }
  bool IsNull() const { return type_ == VarType::Null; }
  bool IsString() const { return type_ == VarType::String; }
  bool IsObject() const { return type_ == VarType::Object; }
  bool IsNothing() const { return type_ == VarType::Object && o_ == nullptr; }
  bool IsArray() const { return type_ == VarType::Array; }
  bool IsRef() const { return type_ == VarType::Ref; }
  bool IsNumeric() const;  // a number type, Boolean, Date or Empty

  int16_t AsInteger() const { return i_; }
  int32_t AsLong() const { return l_; }
  float AsSingle() const { return f_; }
  double AsDouble() const { return d_; }
  int64_t AsCurrency() const { return cy_; }
  bool AsBoolean() const { return i_ != 0; }
  uint8_t AsByte() const { return by_; }
  // The engine's text of the string (WTF-8; EncodeExternal gives the bytes for outside).
  const std::string& AsString() const { return s_->text; }
  HostObject* AsObject() const { return o_; }
  ArrayRep* AsArray() const { return a_; }
  Variant* RefTarget() const { return r_; }
  StringRep* StringBlock() const { return s_; }

  // Follows a Ref; any other value is itself.
  Variant& Deref() { return type_ == VarType::Ref ? *r_ : *this; }
  const Variant& Deref() const { return type_ == VarType::Ref ? *r_ : *this; }

  // Overwrite with a number in place (no temporary Variant on the hot path).
  void SetLong(int32_t v) noexcept {
    Drop();
    tagWord_ = static_cast<uint16_t>(VarType::Long);
    bits_ = static_cast<uint32_t>(v);
  }
  void Clear() noexcept {
    Drop();
    tagWord_ = 0;
    bits_ = 0;
  }
  // Makes this Empty without releasing its array (the caller took the array over).
  void ForgetArray() noexcept {
    tagWord_ = 0;
    bits_ = 0;
  }
  void SetRef(Variant* target) noexcept {
    Drop();
    tagWord_ = static_cast<uint16_t>(VarType::Ref);
    r_ = target;
  }
  void SetInteger(int16_t v) noexcept {
    Drop();
    tagWord_ = static_cast<uint16_t>(VarType::Integer);
    bits_ = static_cast<uint16_t>(v);
  }
  void SetDouble(double v) noexcept {
    Drop();
    tagWord_ = static_cast<uint16_t>(VarType::Double);
    bits_ = std::bit_cast<uint64_t>(v);
  }
  // Takes o's value (a move): when this holds no block, two word copies instead of a full
  // move assignment.
  void TakePlain(Variant&& o) noexcept {
    if (OwnsBlock()) {
      *this = std::move(o);
      return;
    }
    tagWord_ = o.tagWord_;
    bits_ = o.bits_;
    o.tagWord_ = 0;
  }

  // The string, changeable in place when this Variant is its only owner (copies first
  // otherwise). Precondition: IsString().
  std::string& MutableString();
  // The array, copied first when shared. Precondition: IsArray().
  ArrayRep* MutableArray();

 private:
  explicit Variant(VarType t) : tagWord_(TagWord(t)), bits_(0) {}
  // The tag word of a type: its number, plus kOwnsBit for the three that own a block.
  static constexpr uint64_t TagWord(VarType t) {
    return static_cast<uint16_t>(t) |
           (t == VarType::String || t == VarType::Object || t == VarType::Array ? kOwnsBit : 0);
  }
  static Variant Word(VarType t, uint64_t bits) {
    Variant r(t);
    r.bits_ = bits;
    return r;
  }

 public:
  // Only three tags own something (String, Object, Array): they carry kOwnsBit in the tag
  // word, so the test is one bit, inline; the rest does not stay inline.
  bool OwnsBlock() const noexcept { return (tagWord_ & kOwnsBit) != 0; }
  static constexpr uint64_t kOwnsBit = uint64_t{1} << 16;

 private:
  void Retain() const noexcept {
    if (OwnsBlock()) RetainBlock();
  }
  void Drop() noexcept {
    if (OwnsBlock()) DropBlock();
  }
  void RetainBlock() const noexcept;
  void DropBlock() noexcept;

  // The tag fills a whole word: a narrower store followed by a wide copy of the Variant
  // stalls store forwarding, and values are copied all the time. The type is its low 16
  // bits; bit 16 says that the value owns a block (kOwnsBit); the other bits are zero.
  union {
    VarType type_;
    uint64_t tagWord_;
  };
  union {
    int16_t i_;
    int32_t l_;
    float f_;
    double d_;
    int64_t cy_;
    uint8_t by_;
    StringRep* s_;
    HostObject* o_;
    ArrayRep* a_;
    Variant* r_;
    uint64_t bits_;
  };
};

inline ArrayRep::~ArrayRep() {
  if (budget) budget->Refund(charged);
}

// Limits on what a script can grow: beyond them, 14 "Out of string space" and
// 7 "Out of memory" instead of exhausting the process.
constexpr size_t kMaxStringBytes = size_t{1} << 28;
constexpr size_t kMaxArrayElements = size_t{1} << 24;
// Throws 14 when a string of this many bytes would be too long.
void CheckStringSize(size_t bytes);

// ---- arrays
// A new array with the given bounds (count per dimension; lower bounds are 0).
Variant NewArray(const std::vector<int32_t>& counts, bool fixed = false);
// Element address, or throws 9. Indexes already rounded to Long.
Variant& ArrayElement(ArrayRep& a, const int32_t* indexes, size_t n);

// ---- conversions, with the language's rules and errors (13 type mismatch, 6 overflow,
// 94 invalid use of Null). Objects convert through their default member.
Variant ValueOf(const Variant& v);  // default member of an object, else v itself
double ToDouble(const Variant& v);
int32_t ToLong(const Variant& v);     // banker's rounding
int16_t ToInteger(const Variant& v);  // banker's rounding
uint8_t ToByte(const Variant& v);
int64_t ToCurrency(const Variant& v);  // scaled by 10000
bool ToBoolean(const Variant& v);
std::string ToString(const Variant& v);
double ToDate(const Variant& v);
// Appends the text of v to out (the & operator; Null and Empty add nothing). Returns the
// kind of what it appended.
TextKind AppendText(std::string& out, const Variant& v);
// The text of v for outside the engine (UTF-8, see EncodeExternal).
std::string ToExternal(const Variant& v);

// Number parsing as the language does it for text ("12", " -1.5e3 ", "&HFF", "1,000").
bool ParseNumber(std::string_view text, double& out);
// Decimal number text as Currency (scaled by 10000), exactly, the fifth decimal rounded half
// to even: 1 and `out` set, 2 past the type's range, 0 when the text is no decimal number
// (hex and octal text among them).
int CurrencyOfText(std::string_view text, int64_t& out);
// en-US date/time text ("1/2/2003", "2003-01-02", "10:30 PM", "Jan 2, 2003 10:30:00").
bool ParseDate(std::string_view text, double& out);
// Text of a Double, up to 15 significant digits ("0.1", "1E+16", "-2.5E-07").
std::string FormatDouble(double d);
std::string FormatSingle(float f);
std::string FormatCurrency(int64_t scaled);

// Date serials: days since 12/30/1899; time is the fraction (of the absolute value).
double DateSerial(int year, int month, int day);  // month and day may overflow
double TimeSerial(int hour, int minute, int second);
void SplitDate(double date, int& year, int& month, int& day, int& hour, int& minute, int& second);
// en-US general date: "M/D/YYYY h:mm:ss AM", the date alone when the time is 0, the time
// alone when the date part is 0. Shared with the program's log.
std::string FormatGeneralDate(double date);

// Rounding to even, the language's rule for every conversion to an integer type.
double RoundHalfEven(double d);

// ---- operators
Variant Add(const Variant& a, const Variant& b);
Variant Subtract(const Variant& a, const Variant& b);
Variant Multiply(const Variant& a, const Variant& b);
Variant Divide(const Variant& a, const Variant& b);
Variant IntDivide(const Variant& a, const Variant& b);
Variant Modulo(const Variant& a, const Variant& b);
Variant Power(const Variant& a, const Variant& b);
Variant Negate(const Variant& a);
Variant Concat(const Variant& a, const Variant& b);
Variant Not(const Variant& a);
Variant And(const Variant& a, const Variant& b);
Variant Or(const Variant& a, const Variant& b);
Variant Xor(const Variant& a, const Variant& b);
Variant Eqv(const Variant& a, const Variant& b);
Variant Imp(const Variant& a, const Variant& b);

// The common numeric cases of + - * and of comparisons, inline for the interpreter's hot
// paths: one switch on both operand types (Integer, Long, Double; the running total that
// outgrew Long, Double with Long, first). They give the same results as the functions
// above and say false when those must decide (any other type, an overflow).
enum class NumOp : uint8_t { Add, Sub, Mul };
enum class CompareOp : uint8_t { Eq, Ne, Lt, Gt, Le, Ge };
constexpr uint32_t TypePair(VarType a, VarType b) {
  return static_cast<uint32_t>(a) << 16 | static_cast<uint32_t>(b);
}
namespace detail {
template <NumOp op, class T>
[[gnu::always_inline]] inline T Apply(T x, T y) {
  return op == NumOp::Add ? x + y : op == NumOp::Sub ? x - y : x * y;
}
[[gnu::always_inline]] inline bool DoubleResult(double v, Variant& out) {
  if (!std::isfinite(v)) [[unlikely]]
    return false;  // overflow: error 6 from the general path
  out.SetDouble(v);
  return true;
}
[[gnu::always_inline]] inline void LongResult(int64_t v, Variant& out) {
  if (v >= INT32_MIN && v <= INT32_MAX) [[likely]]
    out.SetLong(static_cast<int32_t>(v));
  else
    out.SetDouble(static_cast<double>(v));
}
}  // namespace detail
// out may be a or b.
template <NumOp op>
[[gnu::always_inline]] inline bool QuickArithOf(const Variant& a, const Variant& b, Variant& out) {
  uint32_t pair = TypePair(a.Type(), b.Type());
  if (pair == TypePair(VarType::Double, VarType::Long)) [[likely]]
    return detail::DoubleResult(detail::Apply<op, double>(a.AsDouble(), b.AsLong()), out);
  switch (pair) {
    case TypePair(VarType::Long, VarType::Long):
      detail::LongResult(detail::Apply<op, int64_t>(a.AsLong(), b.AsLong()), out);
      return true;
    case TypePair(VarType::Long, VarType::Integer):
      detail::LongResult(detail::Apply<op, int64_t>(a.AsLong(), b.AsInteger()), out);
      return true;
    case TypePair(VarType::Integer, VarType::Long):
      detail::LongResult(detail::Apply<op, int64_t>(a.AsInteger(), b.AsLong()), out);
      return true;
    case TypePair(VarType::Integer, VarType::Integer): {
      int32_t v = detail::Apply<op, int32_t>(a.AsInteger(), b.AsInteger());
      if (v >= INT16_MIN && v <= INT16_MAX)
        out.SetInteger(static_cast<int16_t>(v));
      else
        out.SetLong(v);
      return true;
    }
    case TypePair(VarType::Double, VarType::Double):
      return detail::DoubleResult(detail::Apply<op, double>(a.AsDouble(), b.AsDouble()), out);
    case TypePair(VarType::Long, VarType::Double):
      return detail::DoubleResult(detail::Apply<op, double>(a.AsLong(), b.AsDouble()), out);
    case TypePair(VarType::Double, VarType::Integer):
      return detail::DoubleResult(detail::Apply<op, double>(a.AsDouble(), b.AsInteger()), out);
    case TypePair(VarType::Integer, VarType::Double):
      return detail::DoubleResult(detail::Apply<op, double>(a.AsInteger(), b.AsDouble()), out);
    default:
      return false;
  }
}
inline bool QuickArith(NumOp op, const Variant& a, const Variant& b, Variant& out) {
  switch (op) {
    case NumOp::Add:
      return QuickArithOf<NumOp::Add>(a, b, out);
    case NumOp::Sub:
      return QuickArithOf<NumOp::Sub>(a, b, out);
    case NumOp::Mul:
      return QuickArithOf<NumOp::Mul>(a, b, out);
  }
  return false;
}
// -1, 0 or 1 into c for two numbers of those types; false for anything else.
inline bool QuickCompare(const Variant& a, const Variant& b, int& c) {
  auto order = [&c](auto x, auto y) {
    c = x < y ? -1 : x > y ? 1 : 0;
    return true;
  };
  switch (TypePair(a.Type(), b.Type())) {
    case TypePair(VarType::Double, VarType::Long):
      return order(a.AsDouble(), double(b.AsLong()));
    case TypePair(VarType::Long, VarType::Long):
      return order(a.AsLong(), b.AsLong());
    case TypePair(VarType::Integer, VarType::Integer):
      return order(a.AsInteger(), b.AsInteger());
    case TypePair(VarType::Long, VarType::Integer):
      return order(a.AsLong(), int32_t{b.AsInteger()});
    case TypePair(VarType::Integer, VarType::Long):
      return order(int32_t{a.AsInteger()}, b.AsLong());
    case TypePair(VarType::Double, VarType::Double):
      return order(a.AsDouble(), b.AsDouble());
    case TypePair(VarType::Long, VarType::Double):
      return order(double(a.AsLong()), b.AsDouble());
    case TypePair(VarType::Double, VarType::Integer):
      return order(a.AsDouble(), double(b.AsInteger()));
    case TypePair(VarType::Integer, VarType::Double):
      return order(double(a.AsInteger()), b.AsDouble());
    default:
      return false;
  }
}
inline bool CompareResult(CompareOp op, int c) {
  switch (op) {
    case CompareOp::Eq:
      return c == 0;
    case CompareOp::Ne:
      return c != 0;
    case CompareOp::Lt:
      return c < 0;
    case CompareOp::Gt:
      return c > 0;
    case CompareOp::Le:
      return c <= 0;
    case CompareOp::Ge:
      return c >= 0;
  }
  return false;
}

// Comparison. A literal operand changes how a number meets a string: a string compared
// with a numeric literal is read as a number, a number compared with a string literal
// is turned into text; two non-literals compare the number as the smaller.
Variant Compare(CompareOp op, const Variant& a, const Variant& b, bool aLiteral = false,
                bool bLiteral = false, bool textCompare = false);
// -1, 0, 1; or 2 when either side is Null. Throws like Compare.
int CompareValues(const Variant& a, const Variant& b, bool aLiteral, bool bLiteral,
                  bool textCompare);
// Select Case: whether a Case value matches the subject. As `=`, except that a string
// that reads as no number meets a numeric literal as unequal instead of raising 13.
bool CaseMatches(const Variant& subject, const Variant& value, bool subjectLiteral,
                 bool valueLiteral);

// An argument left out in the middle of a list (f(1, , 3)) arrives as this value.
Variant MissingArgument();
bool IsMissing(const Variant& v);

// TypeName() text of a value.
std::string TypeNameOf(const Variant& v);

template <class T>
Variant TableObject<T>::Invoke(int id, InvokeKind kind, Args args) {
  bool indexResult = false;
  size_t i = detail::SelectMember(Views(), id, kind, args.size(), indexResult);
  if (indexResult) {
    Variant r = std::data(T::kMembers)[i].handler(static_cast<T&>(*this), Args());
    return detail::IndexResult(r, kind, args);
  }
  return std::data(T::kMembers)[i].handler(static_cast<T&>(*this), args);
}

}  // namespace vbs
