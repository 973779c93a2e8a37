// Patterns and subjects both come from scripts and INI files. Input: one byte of flags, then
// the pattern up to the first NUL, then the subject. Flag 8 searches on UTF-16 code units
// (the engine's RegExp): the bytes read as little-endian pairs, pattern and subject parted by
// a NUL unit, with case folding beyond ASCII. Every search ends (a deadline of a
// moment, the step and memory limits), reports its matches and groups inside the subject,
// and the bounded search finds a match wherever the plain one did.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "regex/Regex.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

template <class Char>
void Search(std::basic_string_view<Char> pattern, std::basic_string_view<Char> subject,
            uint8_t flags) {
  const rx::Options options{.ignoreCase = (flags & 1) != 0,
                            .multiline = (flags & 2) != 0,
                            .unicodeCase = (flags & 8) != 0};
  const bool withDeadline = (flags & 4) != 0;
  try {
    const rx::BasicPattern<Char> compiled(pattern, options);
    rx::BasicMatcher<Char> matcher(compiled);
    const auto deadline = withDeadline ? rx::Clock::now() + std::chrono::milliseconds(50)
                                       : rx::Clock::time_point::max();
    bool any = false;
    size_t pos = 0;
    for (int n = 0; n < 1000 && matcher.Find(subject, pos, deadline); ++n) {
      any = true;
      const size_t begin = matcher.Begin(0), end = matcher.End(0);
      Check(pos <= begin && begin <= end && end <= subject.size());
      for (uint32_t g = 1; g <= compiled.Groups(); ++g) {
        if (!matcher.Matched(g)) continue;
        Check(matcher.Begin(g) <= matcher.End(g) && matcher.End(g) <= subject.size());
        Check(matcher.Group(g).size() == matcher.End(g) - matcher.Begin(g));
      }
      pos = end > begin ? end : begin + 1;
    }
    if (!compiled.HasBackReferences()) {
      // The automaton finds a match wherever the backtracking matcher found one.
      if (any) Check(matcher.FindBounded(subject, 0, deadline));
    }
  } catch (const rx::Error&) {
    // Invalid, past a limit or past the deadline: an answer, not a fault.
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t flags = data[0];
  std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  if (flags & 8) {
    std::u16string units;
    for (size_t i = 0; i + 1 < rest.size(); i += 2)
      units += static_cast<char16_t>(static_cast<uint8_t>(rest[i]) |
                                     static_cast<uint8_t>(rest[i + 1]) << 8);
    const std::u16string_view all = units;
    const size_t nul = all.find(u'\0');
    Search<char16_t>(all.substr(0, nul), nul == all.npos ? all : all.substr(nul + 1), flags);
  } else {
    const size_t nul = rest.find('\0');
    const std::string_view pattern = rest.substr(0, nul);
    const std::string_view subject = nul == rest.npos ? rest : rest.substr(nul + 1);
    Search<char>(pattern, subject, flags);
  }
  return 0;
}
