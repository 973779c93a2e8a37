// Builds the syntax tree of one piece of code. Syntax errors are thrown as ScriptError
// with a compile-error number, line and column.
#pragma once

#include <string_view>

#include "engine/Ast.h"
#include "engine/Errors.h"

namespace vbs {

Program ParseProgram(std::string_view source, int firstLine = 1);
// For Eval: one expression and nothing after it.
ExprPtr ParseExpression(std::string_view source);

}  // namespace vbs
