#include "ini/Pattern.h"

#include "app/Errors.h"

namespace sablewick {

std::regex CompilePattern(const std::string& pattern) {
  auto flags = std::regex::ECMAScript | std::regex::icase;
#ifdef __GLIBCXX__
  // libstdc++'s default matcher recurses once per character of a repeat and overflows the
  // stack on long lines (".*" against 100 kB is enough); its breadth-first matcher does not.
  flags |= std::regex_constants::__polynomial;
#endif
  try {
    return std::regex(pattern, flags);
  } catch (const std::regex_error& e) {
    throw Failure(kGenericFailure, "Invalid pattern \"" + pattern + "\": " + e.what());
  }
}

}  // namespace sablewick
