// Any bytes as a script file: the text the engine gets is valid UTF-8 whenever the file
// says it is UTF-16, and the job reader ends with a job or a refusal, never a crash.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "runner/JobFile.h"

namespace {

bool ValidUtf8(const std::string& s) {
  size_t i = 0;
  while (i < s.size()) {
    auto c = static_cast<unsigned char>(s[i]);
    size_t extra;
    if (c < 0x80)
      extra = 0;
    else if ((c & 0xE0) == 0xC0)
      extra = 1;
    else if ((c & 0xF0) == 0xE0)
      extra = 2;
    else if ((c & 0xF8) == 0xF0)
      extra = 3;
    else
      return false;
    if (i + extra >= s.size() && extra > 0) return false;
    for (size_t k = 1; k <= extra; ++k)
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    i += extra + 1;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  bool utf16 = size >= 2 && ((data[0] == 0xFF && data[1] == 0xFE) ||
                             (data[0] == 0xFE && data[1] == 0xFF));
  std::string text = runner::ScriptTextToUtf8(bytes);
  if (utf16 && !ValidUtf8(text)) std::abort();
  try {
    // A folder that does not exist: src= files relative to the job are never found.
    runner::Job job = runner::ReadJobFile("/nonexistent-fuzz-folder/job.wsf", text);
    (void)job;
  } catch (const std::runtime_error&) {
  }
  return 0;
}
