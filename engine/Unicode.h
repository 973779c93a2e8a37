// Text as the language sees it: a string is a sequence of UTF-16 code units. The engine
// keeps each string as WTF-8 (UTF-8 that may also hold an unpaired surrogate as a 3-byte
// sequence; a pair is always one 4-byte sequence): ASCII text, nearly all of it, is then
// one byte per character and every built-in works on it byte by byte, while the edges
// (files, datagrams, D-Bus, the terminal) pass UTF-8 through without copying.
//
// Bytes from outside that are not UTF-8 are never lost: each one becomes the unpaired
// surrogate U+DC80..U+DCFF (U+DC00 + the byte) and turns back into that byte on the way
// out (the scheme of Python's "surrogateescape"). Script files are the exception: there
// such bytes are read as Windows-1252, as the language's own hosts read them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vbs {

// How a string's characters are stored, as far as known: kAscii strings have one byte per
// code unit, so byte positions are character positions.
enum class TextKind : uint8_t { kUnknown = 0, kAscii = 1, kWide = 2 };

bool IsAscii(std::string_view s);
inline TextKind KindOf(std::string_view s) {
  return IsAscii(s) ? TextKind::kAscii : TextKind::kWide;
}
// The kind of a + b, when both are known.
inline TextKind JoinKinds(TextKind a, TextKind b) {
  if (a == TextKind::kUnknown || b == TextKind::kUnknown) return TextKind::kUnknown;
  return a == TextKind::kAscii && b == TextKind::kAscii ? TextKind::kAscii : TextKind::kWide;
}

// Code units of engine text (well-formed WTF-8; a stray byte b reads as U+DC00 + b).
size_t CountUnits(std::string_view s);
std::u16string ToUnits(std::string_view s);
// Engine text of code units: a lead surrogate followed by a trail one is one character.
std::string FromUnits(std::u16string_view units);
void AppendUnits(std::string& out, std::u16string_view units);
void AppendUnit(std::string& out, char16_t unit);
void AppendCodePoint(std::string& out, uint32_t cp);
// Appends engine text, joining a lead surrogate at the end of out with a trail surrogate at
// the start of more into one character.
void AppendJoined(std::string& out, std::string_view more);

// Bytes from outside to engine text: UTF-8 passes (a byte order mark too); a byte that is
// not part of a well-formed sequence becomes U+DC00 + byte, or with `windows1252` its
// Windows-1252 character. Sequences of surrogates (ED A0..BF) count as malformed unless
// `surrogatesAllowed` (text that another engine wrote).
std::string DecodeExternal(std::string_view bytes, bool windows1252 = false,
                           bool surrogatesAllowed = false);
// Whether bytes are engine text already (DecodeExternal would return them unchanged).
bool IsEngineText(std::string_view bytes, bool surrogatesAllowed);
// Engine text to bytes for outside: UTF-8, U+DC80..U+DCFF back to their bytes, any other
// unpaired surrogate as U+FFFD.
std::string EncodeExternal(std::string_view text);
// Engine text as UTF-16LE bytes, and back (an odd last byte and a byte order mark are the
// caller's business).
std::string EncodeUtf16Le(std::string_view text);

// Windows-1252: the character of a byte (0x81, 0x8D, 0x8F, 0x90, 0x9D stand for
// themselves), and the byte of a character, or '?' when it has none.
char16_t FromWindows1252(uint8_t byte);
uint8_t ToWindows1252(char16_t unit);

// Unicode simple case mapping of one code unit (a surrogate maps to itself).
char16_t UpperUnit(char16_t unit);
char16_t LowerUnit(char16_t unit);
// Case mapping of engine text.
std::string UpperText(std::string_view s);
std::string LowerText(std::string_view s);

}  // namespace vbs
