// Lexer and parser on arbitrary bytes: any input ends in a tree or a syntax error.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "engine/Parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  try {
    vbs::ParseProgram(text);
  } catch (const vbs::ScriptError&) {
  }
  try {
    vbs::ParseExpression(text);
  } catch (const vbs::ScriptError&) {
  }
  return 0;
}
