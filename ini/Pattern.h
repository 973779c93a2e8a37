// Regular expressions built from names that come from INI files and scripts. These names go
// into patterns unescaped, so a pattern may be invalid, or may be written to blow up a
// backtracking matcher; neither may bring the daemon down.
#pragma once

#include <regex>
#include <string>

namespace sablewick {

// A case-insensitive ECMAScript pattern. Matching time and stack depth grow polynomially with
// the text, never exponentially or with recursion per character. Throws Failure when the
// pattern is not valid (back references count as not valid).
std::regex CompilePattern(const std::string& pattern);

}  // namespace sablewick
