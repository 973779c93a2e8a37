// sablewick-ctl check reads settings files written by hand: any bytes must give findings that
// name a line of the text, never a crash or a hang.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "ini/ConfigCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  size_t lines = 1;
  for (char c : text) lines += c == '\n' ? 1 : 0;
  for (std::string_view file : {"Drumlin.ini", "Sablewick.ini"}) {
    for (const auto& f : sablewick::CheckConfigText(file, text))
      if (f.line < 0 || static_cast<size_t>(f.line) > lines || f.message.empty()) std::abort();
  }
  return 0;
}
