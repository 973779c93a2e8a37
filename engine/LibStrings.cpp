// Strings by bytes and by characters. Strings are byte strings (see README): the
// B-functions (AscB, LenB, MidB, ...) work on bytes exactly like their plain forms, while
// AscW/ChrW read and write one character as UTF-8, the encoding our scripts and messages
// carry, so ChrW(8364) is the euro sign and AscW of it gives 8364 back.
#include <algorithm>
#include <cctype>
#include <cstring>

#include "engine/Library.h"

namespace vbs {

namespace lib {

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace lib

using namespace lib;

namespace {

Variant Str(std::string s) {
  return Variant::String(std::move(s));
}

// The first character as a code point; a byte that does not start valid UTF-8 stands for
// itself, so AscW never fails on text that is not UTF-8.
uint32_t FirstCodePoint(const std::string& s) {
  auto b = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
  unsigned char c = b(0);
  int extra = c >= 0xF0 && c < 0xF8 ? 3 : c >= 0xE0 ? 2 : c >= 0xC2 && c < 0xE0 ? 1 : 0;
  if (c < 0x80 || extra == 0 || s.size() <= static_cast<size_t>(extra)) return c;
  uint32_t cp = c & (0x3F >> extra);
  for (int k = 1; k <= extra; ++k) {
    if ((b(k) & 0xC0) != 0x80) return c;
    cp = (cp << 6) | (b(k) & 0x3F);
  }
  return cp;
}

bool LowerEq(char x, char y) {
  return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
}

bool Contains(const std::string& s, const std::string& what, bool text) {
  if (!text) return s.find(what) != std::string::npos;
  return std::search(s.begin(), s.end(), what.begin(), what.end(), LowerEq) != s.end();
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

Variant LibAscB(Interpreter&, Args a) {
  if (Arg(a, 0).IsNull()) Throw(kInvalidNull);
  std::string s = Text(a, 0);
  Require(!s.empty());
  return Variant::Byte(static_cast<unsigned char>(s[0]));
}

Variant LibAscW(Interpreter&, Args a) {
  if (Arg(a, 0).IsNull()) Throw(kInvalidNull);
  std::string s = Text(a, 0);
  Require(!s.empty());
  uint32_t cp = FirstCodePoint(s);
  // The language's AscW gives an Integer, so characters above U+7FFF come out negative.
  if (cp > 0xFFFF) return Variant::Long(static_cast<int32_t>(cp));
  return Variant::Integer(static_cast<int16_t>(static_cast<uint16_t>(cp)));
}

Variant LibChrB(Interpreter&, Args a) {
  int32_t c = Long(a, 0);
  Require(c >= 0 && c <= 255);
  return Str(std::string(1, static_cast<char>(c)));
}

Variant LibChrW(Interpreter&, Args a) {
  int32_t c = Long(a, 0);
  Require(c >= -32768 && c <= 65535);
  std::string out;
  AppendUtf8(out, static_cast<uint32_t>(c < 0 ? c + 65536 : c));
  return Str(std::move(out));
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

// Escape leaves letters, digits and @*_+-./ alone and writes every other byte as %XX.
Variant LibEscape(Interpreter&, Args a) {
  if (Arg(a, 0).IsNull()) return Variant::Null();
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string s = Text(a, 0), out;
  out.reserve(s.size());
  for (char ch : s) {
    auto c = static_cast<unsigned char>(ch);
    if (std::isalnum(c) || (c != 0 && std::strchr("@*_+-./", c))) {
      out += ch;
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  CheckStringSize(out.size());
  return Str(std::move(out));
}

// Unescape reads %XX as a byte and %uXXXX as a character (UTF-8); anything else, including
// a malformed escape, is copied as it stands.
Variant LibUnescape(Interpreter&, Args a) {
  if (Arg(a, 0).IsNull()) return Variant::Null();
  std::string s = Text(a, 0), out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%') {
      if (i + 5 < s.size() && (s[i + 1] == 'u' || s[i + 1] == 'U')) {
        int d[4] = {HexValue(s[i + 2]), HexValue(s[i + 3]), HexValue(s[i + 4]), HexValue(s[i + 5])};
        if (d[0] >= 0 && d[1] >= 0 && d[2] >= 0 && d[3] >= 0) {
          AppendUtf8(out, static_cast<uint32_t>(d[0] << 12 | d[1] << 8 | d[2] << 4 | d[3]));
          i += 5;
          continue;
        }
      }
      if (i + 2 < s.size() && HexValue(s[i + 1]) >= 0 && HexValue(s[i + 2]) >= 0) {
        out += static_cast<char>(HexValue(s[i + 1]) << 4 | HexValue(s[i + 2]));
        i += 2;
        continue;
      }
    }
    out += s[i];
  }
  return Str(std::move(out));
}

}  // namespace vbs
