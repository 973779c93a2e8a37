// Regular expressions for the whole program, on PCRE2: the engine's RegExp object, the INI
// patterns and the installation of INI values into script text all go through here.
//
// The dialect is the ECMAScript one (JavaScript-compatible options: \u and \x escapes, empty
// classes, a back-reference to an unset group matches the empty string, `$` only at the very
// end unless multi-line). Text is bytes: offsets count bytes and no UTF-8 is checked.
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
  // they are not checked again at every search.
  bool utf = false;
};

struct CompiledPattern;

// A compiled pattern. Throws Error(Syntax) for an invalid one.
class Pattern {
 public:
  explicit Pattern(std::string_view text, Options options = {});
  ~Pattern();
  Pattern(Pattern&&) noexcept;
  Pattern& operator=(Pattern&&) noexcept;
  Pattern(const Pattern&) = delete;
  Pattern& operator=(const Pattern&) = delete;

  // Capturing groups, not counting the whole match.
  uint32_t Groups() const;
  bool HasBackReferences() const;

 private:
  friend class Matcher;
  std::unique_ptr<CompiledPattern> code_;
};

// Searches with one pattern, keeping its match state between searches. The pattern must
// outlive the matcher.
class Matcher {
 public:
  explicit Matcher(const Pattern& pattern);
  ~Matcher();
  Matcher(const Matcher&) = delete;
  Matcher& operator=(const Matcher&) = delete;

  // The first match that starts at or after `start` (text before it still counts for ^, \b
  // and look-behind). False when there is none; throws Error(Limit) or Error(Deadline).
  bool Find(std::string_view subject, size_t start,
            Clock::time_point deadline = Clock::time_point::max());

  // As Find, but a search that goes past the step or memory budget is done again by the
  // automaton matcher, whose time grows with the subject times the pattern, never
  // exponentially. That one knows no back-references and no groups (only group 0 is
  // reported), and it takes the longest match at the first position where one starts.
  bool FindBounded(std::string_view subject, size_t start,
                   Clock::time_point deadline = Clock::time_point::max());

  // Of the last successful Find: group 0 is the whole match.
  bool Matched(uint32_t group) const;
  size_t Begin(uint32_t group) const;
  size_t End(uint32_t group) const;
  std::string_view Group(uint32_t group) const;  // empty when the group took no part

 private:
  struct State;
  bool Search(std::string_view subject, size_t start, Clock::time_point deadline, bool automaton);
  const Pattern& pattern_;
  std::unique_ptr<State> state_;
};

}  // namespace rx
