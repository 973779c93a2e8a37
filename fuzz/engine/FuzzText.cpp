// Text from outside: any bytes become engine text that is well formed, and leave again as
// exactly those bytes; the code units of engine text give the same text back, and case
// mapping never makes text that is not well formed.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "engine/Unicode.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::string text = vbs::DecodeExternal(bytes);
  if (!vbs::IsEngineText(text, true)) std::abort();
  if (vbs::EncodeExternal(text) != bytes) std::abort();
  std::u16string units = vbs::ToUnits(text);
  if (units.size() != vbs::CountUnits(text)) std::abort();
  if (vbs::ToUnits(vbs::FromUnits(units)) != units) std::abort();
  if (!vbs::IsEngineText(vbs::UpperText(text), true)) std::abort();
  if (!vbs::IsEngineText(vbs::DecodeExternal(bytes, true), false)) std::abort();
  return 0;
}
