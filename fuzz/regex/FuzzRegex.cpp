// Patterns and subjects both come from scripts and INI files. Input: one byte of flags, then
// the pattern up to the first NUL, then the subject. Every search ends (a deadline of a
// moment, the step and memory limits), reports its matches and groups inside the subject,
// and the bounded search finds a match wherever the plain one did.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "regex/Regex.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t flags = data[0];
  std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  const size_t nul = rest.find('\0');
  const std::string_view pattern = rest.substr(0, nul);
  const std::string_view subject = nul == std::string_view::npos ? rest : rest.substr(nul + 1);
  const rx::Options options{.ignoreCase = (flags & 1) != 0, .multiline = (flags & 2) != 0};
  const bool withDeadline = (flags & 4) != 0;
  try {
    const rx::Pattern compiled(pattern, options);
    rx::Matcher matcher(compiled);
    const auto deadline = withDeadline
                              ? rx::Clock::now() + std::chrono::milliseconds(50)
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
  return 0;
}
