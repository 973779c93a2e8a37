#include "ini/Pattern.h"

#include "core/Errors.h"

namespace sablewick {
namespace {

rx::Pattern Compile(const std::string& pattern) {
  try {
    rx::Pattern compiled(pattern, rx::Options{.ignoreCase = true});
    if (compiled.HasBackReferences()) {
      throw Failure(kGenericFailure, "Invalid pattern \"" + pattern + "\": back-reference");
    }
    return compiled;
  } catch (const rx::Error& e) {
    throw Failure(kGenericFailure, "Invalid pattern \"" + pattern + "\": " + e.what());
  }
}

}  // namespace

NamePattern::NamePattern(const std::string& pattern)
    : text_(pattern),
      pattern_(Compile(pattern)),
      matcher_(pattern_),
      deadline_(rx::Clock::now() + kPatternBudget) {}

bool NamePattern::Find(std::string_view text, size_t start) {
  try {
    return matcher_.FindBounded(text, start, deadline_);
  } catch (const rx::Error& e) {
    throw Failure(kGenericFailure, "Pattern \"" + text_ + "\" gave up: " + e.what());
  }
}

}  // namespace sablewick
