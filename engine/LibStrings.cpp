// Strings by character code and by byte. AscW/ChrW are the code unit itself; the B-forms
// (AscB, LenB, MidB, ...) work on the bytes of the string's UTF-16 form, little-endian, as
// the language defines them. A string is whole code units here, so a B-form that ends in
// the middle of a unit gives that last byte as a character of its own (U+0000..U+00FF).
#include <algorithm>
#include <cctype>
#include <cstring>

#include "engine/Library.h"

namespace vbs {

using namespace lib;

namespace {

Variant Str(std::string s) {
  return Variant::Text(std::move(s));
}

bool Contains(const std::string& s, const std::string& what, bool text) {
  if (!text) return s.find(what) != std::string::npos;
  if (IsAscii(s) && IsAscii(what))
    return std::search(s.begin(), s.end(), what.begin(), what.end(),
                       [](char x, char y) { return Fold(x) == Fold(y); }) != s.end();
  std::u16string su = ToUnits(s), wu = ToUnits(what);
  return std::search(su.begin(), su.end(), wu.begin(), wu.end(),
                     [](char16_t x, char16_t y) { return Fold(x) == Fold(y); }) != su.end();
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The UTF-16LE bytes of a string argument.
std::string Bytes(Args a, size_t i) {
  return EncodeUtf16Le(Text(a, i));
}
// Engine text of UTF-16LE bytes; an odd last byte is a character of its own.
Variant FromBytes(std::string_view bytes) {
  std::u16string units;
  units.reserve(bytes.size() / 2 + 1);
  size_t i = 0;
  for (; i + 1 < bytes.size(); i += 2)
    units += static_cast<char16_t>(static_cast<uint8_t>(bytes[i]) |
                                   static_cast<uint8_t>(bytes[i + 1]) << 8);
  if (i < bytes.size()) units += static_cast<char16_t>(static_cast<uint8_t>(bytes[i]));
  return Variant::Text(FromUnits(units));
}

}  // namespace

Variant LibAscB(Interpreter&, Args a) {
  if (Arg(a, 0).IsNull()) Throw(kInvalidNull);
  TextArg s(a, 0);
  Require(!s.str().empty());
  return Variant::Byte(static_cast<uint8_t>(FirstUnit(s.str()) & 0xFF));
}

Variant LibAscW(Interpreter&, Args a) {
  if (Arg(a, 0).IsNull()) Throw(kInvalidNull);
  TextArg s(a, 0);
  Require(!s.str().empty());
  // An Integer: code units above &H7FFF come out negative, as in the language.
  return Variant::Integer(static_cast<int16_t>(FirstUnit(s.str())));
}

Variant LibChrB(Interpreter&, Args a) {
  int32_t c = Long(a, 0);
  Require(c >= 0 && c <= 255);
  std::string out;
  AppendCodePoint(out, static_cast<uint32_t>(c));
  return Str(std::move(out));
}

// ChrW of a surrogate is allowed: a pair of them joined with & is one character.
Variant LibChrW(Interpreter&, Args a) {
  int32_t c = Long(a, 0);
  Require(c >= -32768 && c <= 65535);
  std::string out;
  AppendCodePoint(out, static_cast<uint32_t>(c < 0 ? c + 65536 : c));
  return Str(std::move(out));
}

Variant LibLenB(Interpreter&, Args a) {
  const Variant& v = Arg(a, 0);
  if (v.IsNull()) return Variant::Null();
  size_t units = v.IsString() ? v.StringBlock()->Units() : CountUnits(ToString(v));
  return Variant::Long(static_cast<int32_t>(units * 2));
}

Variant LibLeftB(Interpreter&, Args a) {
  int32_t n = Long(a, 1);
  Require(n >= 0);
  if (Arg(a, 0).IsNull()) return Variant::Null();
  std::string b = Bytes(a, 0);
  return FromBytes(std::string_view(b).substr(0, std::min<size_t>(n, b.size())));
}

Variant LibRightB(Interpreter&, Args a) {
  int32_t n = Long(a, 1);
  Require(n >= 0);
  if (Arg(a, 0).IsNull()) return Variant::Null();
  std::string b = Bytes(a, 0);
  size_t k = std::min<size_t>(n, b.size());
  return FromBytes(std::string_view(b).substr(b.size() - k));
}

Variant LibMidB(Interpreter&, Args a) {
  if (Given(a, 2) && Arg(a, 2).IsNull()) Throw(kInvalidNull);
  int32_t start = Long(a, 1);
  Require(start >= 1);
  int32_t len = -1;
  if (Given(a, 2)) {
    len = Long(a, 2);
    Require(len >= 0);
  }
  if (Arg(a, 0).IsNull()) return Variant::Null();
  std::string b = Bytes(a, 0);
  if (static_cast<size_t>(start) > b.size()) return Str("");
  return FromBytes(std::string_view(b).substr(
      start - 1, len < 0 ? std::string::npos : static_cast<size_t>(len)));
}

// InStrB([start, ]s, what[, compare]): the byte position in the UTF-16 form.
Variant LibInStrB(Interpreter&, Args a) {
  size_t base = 0;
  int32_t start = 1;
  if (a.size() >= 3) {
    if (Arg(a, 0).IsNull()) Throw(kInvalidNull);
    start = Long(a, 0);
    Require(start >= 1);
    base = 1;
    TextCompareArg(a, 3);
  }
  if (Arg(a, base).IsNull() || Arg(a, base + 1).IsNull()) return Variant::Null();
  std::string s = Bytes(a, base), what = Bytes(a, base + 1);
  if (static_cast<size_t>(start) > s.size()) return Variant::Long(0);
  if (what.empty()) return Variant::Long(start);
  size_t p = s.find(what, start - 1);
  return Variant::Long(p == std::string::npos ? 0 : static_cast<int32_t>(p + 1));
}

// Filter(list, value[, include[, compare]]): the elements that contain (or lack) value.
Variant LibFilter(Interpreter&, Args a) {
  const Variant& list = Arg(a, 0);
  if (list.IsNull()) Throw(kInvalidNull);
  if (!list.IsArray()) Throw(kTypeMismatch);
  ArrayRep& arr = *list.AsArray();
  if (arr.bounds.size() != 1) Throw(kTypeMismatch);
  if (Arg(a, 1).IsNull()) Throw(kInvalidNull);
  std::string value = Text(a, 1);
  bool include = BoolOr(a, 2, true);
  bool text = TextCompareArg(a, 3);
  std::vector<std::string> kept;
  for (const Variant& v : arr.data) {
    std::string s = ToString(v.IsObject() ? ValueOf(v) : v);
    if (Contains(s, value, text) == include) kept.push_back(std::move(s));
  }
  Variant out = NewArray({static_cast<int32_t>(kept.size())});
  for (size_t i = 0; i < kept.size(); ++i) out.AsArray()->data[i] = Str(std::move(kept[i]));
  return out;
}

// Escape leaves letters, digits and @*_+-./ alone, writes any other character below 256
// as %XX and the rest as %uXXXX.
Variant LibEscape(Interpreter&, Args a) {
  if (Arg(a, 0).IsNull()) return Variant::Null();
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::u16string s = ToUnits(Text(a, 0));
  std::string out;
  out.reserve(s.size());
  for (char16_t c : s) {
    if (c < 0x80 && (std::isalnum(c) || (c != 0 && std::strchr("@*_+-./", c)))) {
      out += static_cast<char>(c);
    } else if (c < 0x100) {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += "%u";
      for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(c >> shift) & 15];
    }
  }
  CheckStringSize(out.size());
  return Variant::Text(std::move(out), TextKind::kAscii);
}

// Unescape reads %XX and %uXXXX as the character of that code; anything else, including
// a malformed escape, is copied as it stands.
Variant LibUnescape(Interpreter&, Args a) {
  if (Arg(a, 0).IsNull()) return Variant::Null();
  std::u16string s = ToUnits(Text(a, 0));
  std::u16string out;
  out.reserve(s.size());
  auto hex = [](char16_t c) { return c < 0x80 ? HexValue(static_cast<char>(c)) : -1; };
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%') {
      if (i + 5 < s.size() && (s[i + 1] == 'u' || s[i + 1] == 'U')) {
        int d[4] = {hex(s[i + 2]), hex(s[i + 3]), hex(s[i + 4]), hex(s[i + 5])};
        if (d[0] >= 0 && d[1] >= 0 && d[2] >= 0 && d[3] >= 0) {
          out += static_cast<char16_t>(d[0] << 12 | d[1] << 8 | d[2] << 4 | d[3]);
          i += 5;
          continue;
        }
      }
      if (i + 2 < s.size() && hex(s[i + 1]) >= 0 && hex(s[i + 2]) >= 0) {
        out += static_cast<char16_t>(hex(s[i + 1]) << 4 | hex(s[i + 2]));
        i += 2;
        continue;
      }
    }
    out += s[i];
  }
  return Variant::Text(FromUnits(out));
}

}  // namespace vbs
