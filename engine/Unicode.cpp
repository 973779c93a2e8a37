#include "engine/Unicode.h"

#include <glib.h>

#include <cstring>

namespace vbs {

namespace {

constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80-87
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 88-8F
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90-97
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 98-9F
};

bool IsLead(char16_t u) {
  return u >= 0xD800 && u <= 0xDBFF;
}
bool IsTrail(char16_t u) {
  return u >= 0xDC00 && u <= 0xDFFF;
}

// Length of the well-formed sequence at s[i] (0 when the byte starts none). Surrogates
// (ED A0..BF xx) count only when allowed.
size_t SequenceAt(std::string_view s, size_t i, bool surrogatesAllowed) {
  auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = b(i);
  if (c < 0x80) return 1;
  size_t n = s.size() - i;
  auto cont = [&](size_t k) { return (b(k) & 0xC0) == 0x80; };
  if (c >= 0xC2 && c <= 0xDF) return n >= 2 && cont(i + 1) ? 2 : 0;
  if (c >= 0xE0 && c <= 0xEF) {
    if (n < 3 || !cont(i + 1) || !cont(i + 2)) return 0;
    unsigned char c1 = b(i + 1);
    if (c == 0xE0 && c1 < 0xA0) return 0;
    if (c == 0xED && c1 >= 0xA0 && !surrogatesAllowed) return 0;
    return 3;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    if (n < 4 || !cont(i + 1) || !cont(i + 2) || !cont(i + 3)) return 0;
    unsigned char c1 = b(i + 1);
    if (c == 0xF0 && c1 < 0x90) return 0;
    if (c == 0xF4 && c1 >= 0x90) return 0;
    return 4;
  }
  return 0;
}

// The code point of the well-formed sequence of length n at p.
uint32_t Decode(const unsigned char* p, size_t n) {
  switch (n) {
    case 1:
      return p[0];
    case 2:
      return (p[0] & 0x1Fu) << 6 | (p[1] & 0x3Fu);
    case 3:
      return (p[0] & 0x0Fu) << 12 | (p[1] & 0x3Fu) << 6 | (p[2] & 0x3Fu);
    default:
      return (p[0] & 0x07u) << 18 | (p[1] & 0x3Fu) << 12 | (p[2] & 0x3Fu) << 6 | (p[3] & 0x3Fu);
  }
}

void Put3(std::string& out, uint32_t cp) {
  out += static_cast<char>(0xE0 | (cp >> 12));
  out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  out += static_cast<char>(0x80 | (cp & 0x3F));
}

// The lead surrogate that out ends with, or 0.
char16_t TrailingLead(const std::string& out) {
  size_t n = out.size();
  if (n < 3) return 0;
  auto b = [&](size_t k) { return static_cast<unsigned char>(out[k]); };
  if (b(n - 3) != 0xED || b(n - 2) < 0xA0 || b(n - 2) > 0xAF) return 0;
  return static_cast<char16_t>(
      Decode(reinterpret_cast<const unsigned char*>(out.data()) + n - 3, 3));
}

}  // namespace

bool IsAscii(std::string_view s) {
  const char* p = s.data();
  size_t n = s.size(), i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t w;
    std::memcpy(&w, p + i, 8);
    if (w & 0x8080808080808080ull) return false;
  }
  for (; i < n; ++i)
    if (static_cast<unsigned char>(p[i]) >= 0x80) return false;
  return true;
}

size_t CountUnits(std::string_view s) {
  size_t units = 0;
  for (size_t i = 0; i < s.size();) {
    size_t n = SequenceAt(s, i, true);
    units += n == 4 ? 2 : 1;
    i += n ? n : 1;
  }
  return units;
}

std::u16string ToUnits(std::string_view s) {
  std::u16string out;
  out.reserve(s.size());
  auto* p = reinterpret_cast<const unsigned char*>(s.data());
  for (size_t i = 0; i < s.size();) {
    size_t n = SequenceAt(s, i, true);
    if (n == 0) {
      out += static_cast<char16_t>(0xDC00 + p[i]);
      ++i;
      continue;
    }
    uint32_t cp = Decode(p + i, n);
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (cp >> 10));
      out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
    i += n;
  }
  return out;
}

void AppendCodePoint(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    Put3(out, cp);
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

void AppendUnit(std::string& out, char16_t unit) {
  if (IsTrail(unit)) {
    if (char16_t lead = TrailingLead(out)) {
      out.resize(out.size() - 3);
      AppendCodePoint(out, 0x10000 + ((lead - 0xD800u) << 10) + (unit - 0xDC00u));
      return;
    }
  }
  AppendCodePoint(out, unit);
}

void AppendUnits(std::string& out, std::u16string_view units) {
  for (char16_t u : units) AppendUnit(out, u);
}

std::string FromUnits(std::u16string_view units) {
  std::string out;
  out.reserve(units.size());
  AppendUnits(out, units);
  return out;
}

void AppendJoined(std::string& out, std::string_view more) {
  if (more.size() >= 3 && static_cast<unsigned char>(more[0]) == 0xED &&
      static_cast<unsigned char>(more[1]) >= 0xB0 && TrailingLead(out)) {
    auto* p = reinterpret_cast<const unsigned char*>(more.data());
    AppendUnit(out, static_cast<char16_t>(Decode(p, 3)));
    out.append(more.substr(3));
    return;
  }
  out.append(more);
}

bool IsEngineText(std::string_view bytes, bool surrogatesAllowed) {
  for (size_t i = 0; i < bytes.size();) {
    if (static_cast<unsigned char>(bytes[i]) < 0x80) {
      ++i;
      continue;
    }
    size_t n = SequenceAt(bytes, i, surrogatesAllowed);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string DecodeExternal(std::string_view bytes, bool windows1252, bool surrogatesAllowed) {
  if (IsEngineText(bytes, surrogatesAllowed)) return std::string(bytes);
  std::string out;
  out.reserve(bytes.size() + bytes.size() / 2);
  auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  for (size_t i = 0; i < bytes.size();) {
    size_t n = SequenceAt(bytes, i, surrogatesAllowed);
    if (n == 0) {
      if (windows1252)
        AppendCodePoint(out, FromWindows1252(p[i]));
      else
        Put3(out, 0xDC00u + p[i]);
      ++i;
      continue;
    }
    if (n == 3 && surrogatesAllowed)
      AppendUnit(out, static_cast<char16_t>(Decode(p + i, 3)));
    else
      out.append(bytes.substr(i, n));
    i += n;
  }
  return out;
}

std::string EncodeExternal(std::string_view text) {
  if (text.find('\xED') == std::string_view::npos) return std::string(text);
  std::string out;
  out.reserve(text.size());
  auto* p = reinterpret_cast<const unsigned char*>(text.data());
  for (size_t i = 0; i < text.size();) {
    size_t n = SequenceAt(text, i, true);
    if (n == 3 && p[i] == 0xED && p[i + 1] >= 0xA0) {
      uint32_t cp = Decode(p + i, 3);
      if (cp >= 0xDC80 && cp <= 0xDCFF)
        out += static_cast<char>(cp - 0xDC00);
      else
        out += "\xEF\xBF\xBD";
    } else if (n == 0) {
      out += text[i];
      n = 1;
    } else {
      out.append(text.substr(i, n));
    }
    i += n;
  }
  return out;
}

std::string EncodeUtf16Le(std::string_view text) {
  std::u16string units = ToUnits(text);
  std::string out;
  out.reserve(units.size() * 2);
  for (char16_t u : units) {
    out += static_cast<char>(u & 0xFF);
    out += static_cast<char>(u >> 8);
  }
  return out;
}

char16_t FromWindows1252(uint8_t byte) {
  return byte >= 0x80 && byte < 0xA0 ? kCp1252High[byte - 0x80] : byte;
}

uint8_t ToWindows1252(char16_t unit) {
  if (unit < 0x80 || (unit >= 0xA0 && unit <= 0xFF)) return static_cast<uint8_t>(unit);
  for (int i = 0; i < 32; ++i)
    if (kCp1252High[i] == unit) return static_cast<uint8_t>(0x80 + i);
  return '?';
}

// Unicode's simple case mappings of the characters that are not letters but have a case
// (Other_Uppercase, Other_Lowercase, and the combining ypogegrammeni), which GLib's tables
// leave out: Roman numerals and circled letters. Compared with UnicodeData.txt over the
// whole BMP; every other simple mapping there GLib gives.
namespace {
char16_t UpperOther(char16_t unit) {
  if (unit >= 0x2170 && unit <= 0x217F) return unit - 0x10;
  if (unit >= 0x24D0 && unit <= 0x24E9) return unit - 26;
  if (unit == 0x0345) return 0x0399;
  return 0;
}
char16_t LowerOther(char16_t unit) {
  if (unit >= 0x2160 && unit <= 0x216F) return unit + 0x10;
  if (unit >= 0x24B6 && unit <= 0x24CF) return unit + 26;
  return 0;
}
}  // namespace

char16_t UpperUnit(char16_t unit) {
  if (unit < 0x80) return unit >= 'a' && unit <= 'z' ? unit - 32 : unit;
  if (unit >= 0xD800 && unit <= 0xDFFF) return unit;
  if (char16_t other = UpperOther(unit)) return other;
  gunichar u = g_unichar_toupper(unit);
  return u < 0x10000 ? static_cast<char16_t>(u) : unit;
}

char16_t LowerUnit(char16_t unit) {
  if (unit < 0x80) return unit >= 'A' && unit <= 'Z' ? unit + 32 : unit;
  if (unit >= 0xD800 && unit <= 0xDFFF) return unit;
  if (char16_t other = LowerOther(unit)) return other;
  gunichar u = g_unichar_tolower(unit);
  return u < 0x10000 ? static_cast<char16_t>(u) : unit;
}

namespace {
template <char16_t (*Map)(char16_t), char (*MapAscii)(char)>
std::string MapCase(std::string_view s) {
  if (IsAscii(s)) {
    std::string out(s);
    for (char& c : out) c = MapAscii(c);
    return out;
  }
  // One pass over the bytes: characters past U+FFFF (pairs) and surrogates map to
  // themselves, as the language maps code units.
  std::string out;
  out.reserve(s.size());
  auto* p = reinterpret_cast<const unsigned char*>(s.data());
  for (size_t i = 0; i < s.size();) {
    if (p[i] < 0x80) {
      out += MapAscii(static_cast<char>(p[i]));
      ++i;
      continue;
    }
    size_t n = SequenceAt(s, i, true);
    if (n == 2 || n == 3) {
      auto u = static_cast<char16_t>(Decode(p + i, n));
      AppendCodePoint(out, Map(u));
    } else {
      n = n ? n : 1;
      out.append(s.substr(i, n));
    }
    i += n;
  }
  return out;
}
char AsciiUpper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
}
char AsciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
}
}  // namespace

std::string UpperText(std::string_view s) {
  return MapCase<UpperUnit, AsciiUpper>(s);
}
std::string LowerText(std::string_view s) {
  return MapCase<LowerUnit, AsciiLower>(s);
}

}  // namespace vbs
