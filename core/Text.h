// Byte-string helpers. Case folding is ASCII only: texts are bytes in no particular code page.
#pragma once

#include <string>
#include <string_view>

namespace sablewick {

inline char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }
inline char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }

inline bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const char x = a[i], y = b[i];
    // Letters differ only in bit 5; anything else must match exactly.
    if (x != y && ((x | 0x20) != (y | 0x20) || LowerAscii(x) < 'a' || LowerAscii(x) > 'z')) {
      return false;
    }
  }
  return true;
}

inline bool ContainsNoCase(std::string_view text, std::string_view needle) {
  if (needle.size() > text.size()) return false;
  for (size_t i = 0; i + needle.size() <= text.size(); ++i) {
    if (EqualsNoCase(text.substr(i, needle.size()), needle)) return true;
  }
  return false;
}

inline bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

inline std::string ToLower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = LowerAscii(c);
  return out;
}

inline std::string ToUpper(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = UpperAscii(c);
  return out;
}

// The number at the start of a text, as the language's Val reads it: blanks skipped, an
// optional sign, digits with one decimal point and an exponent; 0 when there is none.
double LeadingNumber(std::string_view text);

// Text as a log line shows it: control characters as escapes ("\n", "\r", "\t", else
// "\x00" style, as for the separators 0 and 1 of an item list) and the backslash doubled, so
// the line stays one line and no escape can be mistaken for text that was written that way.
std::string EscapeForLog(std::string_view text);

}  // namespace sablewick
