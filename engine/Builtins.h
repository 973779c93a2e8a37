// The built-in functions and named constants, each list one table (Builtins.cpp).
#pragma once

#include <span>
#include <string_view>

#include "engine/Variant.h"

namespace vbs {

class Interpreter;

// Arguments are by reference like a host object's; omitted optional arguments are not
// passed at all (args.size() tells how many the script gave), while an argument left
// empty in the middle (f(1, , 3)) arrives as an Error Variant (missing).
using BuiltinFn = Variant (*)(Interpreter& vm, Args args);

struct Builtin {
  std::string_view name;
  int8_t minArgs;
  int8_t maxArgs;
  BuiltinFn fn;
  // Where the function may stand: the numeric conversions give a value nothing can hold
  // when called as a statement (Call CLng(1) raises 458 after converting), and Randomize
  // gives no value at all (x = Randomize(1) raises 13 after seeding).
  enum class Use : uint8_t { Anywhere, ValueOnly, StatementOnly } use = Use::Anywhere;
};

std::span<const Builtin> Builtins();
int FindBuiltin(std::string_view name);  // -1 when absent

// Named constants (vbCrLf, vbString, ...): compiled as literals.
bool FindConstant(std::string_view name, Variant& out);

}  // namespace vbs
