// Regular expressions for the whole program, on PCRE2: the engine's RegExp object, the INI
// patterns and the installation of INI values into script text all go through here.
//
// The dialect is the ECMAScript one (JavaScript-compatible options: \u and \x escapes, empty
// classes, a back-reference to an unset group matches the empty string, `$` only at the very
// end unless multi-line). Text is bytes (offsets count bytes and no UTF-8 is checked) or
// UTF-16 code units (Pattern16: offsets count units, every unit is a character).
//
// Patterns and subjects come from scripts and files, so nothing here may exhaust the stack
// or hold its caller: nesting is limited at compile time, the matcher keeps its backtracking
// state on the heap (or the JIT's own stack) under a memory cap, every start position has a
// step budget, and a search with a deadline checks the clock at every start position.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace rx {

using Clock = std::chrono::steady_clock;

class Error : public std::runtime_error {
 public:
  enum class Kind : uint8_t {
    Syntax,    // the pattern does not compile (or nests deeper than kMaxNesting)
    Limit,     // the match went past its step or memory budget
    Deadline,  // the caller's deadline passed during the search
  };
  Error(Kind kind, const std::string& what) : std::runtime_error(what), kind(kind) {}
  Kind kind;
};

// Nesting of groups a pattern may have: compiling recurses per level.
inline constexpr uint32_t kMaxNesting = 250;
// Longest pattern text accepted.
inline constexpr size_t kMaxPatternLength = 4u << 20;
// Steps of the matcher per start position (PCRE2's own default): a few tenths of a second.
inline constexpr uint32_t kMatchSteps = 10'000'000;
// Nested assertions and recursions of the automaton matcher.
inline constexpr uint32_t kAutomatonDepth = 1000;
// Memory of the matcher's backtracking state, in KiB (interpreter) and bytes (JIT stack),
// beside the engine's own budget. A group repeated over 200,000 characters fits in the
// first, over 1,000,000 in the second (the JIT, which takes over on long subjects).
inline constexpr uint32_t kHeapKiB = 64u << 10;
inline constexpr size_t kJitStackBytes = 64u << 20;

struct Options {
  bool ignoreCase = false;
  bool multiline = false;
  // Pattern and subjects are UTF-8 (characters, case folding beyond ASCII; \w and \b stay
  // ASCII). The caller guarantees valid UTF-8 subjects and starts on a character boundary:
  // they are not checked again at every search. Not for Pattern16.
  bool utf = false;
  // With ignoreCase: letters beyond ASCII fold too, by Unicode's case mapping, while \d,
  // \s, \w and \b keep their ASCII meaning (for Pattern16, whose code units are not UTF).
  bool unicodeCase = false;
};

template <class Char>
struct CompiledPattern;
template <class Char>
class BasicMatcher;

// A compiled pattern over code units of type Char: bytes (char) or UTF-16 code units
// (char16_t, each unit one character: a surrogate can be named and matched alone, `.`
// takes one unit). Throws Error(Syntax) for an invalid one.
template <class Char>
class BasicPattern {
 public:
  using View = std::basic_string_view<Char>;
  explicit BasicPattern(View text, Options options = {});
  ~BasicPattern();
  BasicPattern(BasicPattern&&) noexcept;
  BasicPattern& operator=(BasicPattern&&) noexcept;
  BasicPattern(const BasicPattern&) = delete;
  BasicPattern& operator=(const BasicPattern&) = delete;

  // Capturing groups, not counting the whole match.
  uint32_t Groups() const;
  bool HasBackReferences() const;

 private:
  friend class BasicMatcher<Char>;
  std::unique_ptr<CompiledPattern<Char>> code_;
};

// Searches with one pattern, keeping its match state between searches. The pattern must
// outlive the matcher. Offsets count code units (bytes for char).
template <class Char>
class BasicMatcher {
 public:
  using View = std::basic_string_view<Char>;
  explicit BasicMatcher(const BasicPattern<Char>& pattern);
  ~BasicMatcher();
  BasicMatcher(const BasicMatcher&) = delete;
  BasicMatcher& operator=(const BasicMatcher&) = delete;

  // The first match that starts at or after `start` (text before it still counts for ^, \b
  // and look-behind). False when there is none; throws Error(Limit) or Error(Deadline).
  bool Find(View subject, size_t start, Clock::time_point deadline = Clock::time_point::max());

  // As Find, but a search that goes past the step or memory budget is done again by the
  // automaton matcher, whose time grows with the subject times the pattern, never
  // exponentially. That one knows no back-references and no groups (only group 0 is
  // reported), and it takes the longest match at the first position where one starts.
  bool FindBounded(View subject, size_t start,
                   Clock::time_point deadline = Clock::time_point::max());

  // Of the last successful Find: group 0 is the whole match.
  bool Matched(uint32_t group) const;
  size_t Begin(uint32_t group) const;
  size_t End(uint32_t group) const;
  View Group(uint32_t group) const;  // empty when the group took no part

 private:
  struct State;
  bool Search(View subject, size_t start, Clock::time_point deadline, bool automaton);
  const BasicPattern<Char>& pattern_;
  std::unique_ptr<State> state_;
};

using Pattern = BasicPattern<char>;
using Matcher = BasicMatcher<char>;
using Pattern16 = BasicPattern<char16_t>;
using Matcher16 = BasicMatcher<char16_t>;
extern template class BasicPattern<char>;
extern template class BasicPattern<char16_t>;
extern template class BasicMatcher<char>;
extern template class BasicMatcher<char16_t>;

}  // namespace rx
