// Regular expressions built from names that come from INI files and scripts. These names go
// into patterns unescaped, so a pattern may be invalid, nest without end, or be written to
// make a backtracking matcher run for ever; none of it may crash the daemon or hold its loop.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "regex/Regex.h"

namespace sablewick {

// Time one operation (all the searches of one Keys or one installation) may spend matching.
inline constexpr std::chrono::milliseconds kPatternBudget{1000};

// A case-insensitive ECMAScript pattern and its searches. Throws Failure when the pattern is
// not valid (back-references count as not valid, as they always have here), and when a
// search goes past the matcher's limits or the budget counted from construction.
class NamePattern {
 public:
  explicit NamePattern(const std::string& pattern);

  // The first match starting at or after `start`; its groups are in Match().
  bool Find(std::string_view text, size_t start = 0);
  const rx::Matcher& Match() const { return matcher_; }

 private:
  std::string text_;
  rx::Pattern pattern_;
  rx::Matcher matcher_;
  rx::Clock::time_point deadline_;
};

}  // namespace sablewick
