// Turns script text into tokens. The token and keyword lists are the tables below.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/Errors.h"

namespace vbs {

// X(name, text): keywords (text non-empty) are matched without regard to case.
// clang-format off
#define VBS_TOKENS(X) \
  X(End, "") \
  X(Newline, "") \
  X(Colon, "") \
  X(Identifier, "") \
  X(IntegerLit, "") \
  X(LongLit, "") \
  X(DoubleLit, "") \
  X(StringLit, "") \
  X(DateLit, "") \
  X(Plus, "") \
  X(Minus, "") \
  X(Star, "") \
  X(Slash, "") \
  X(Backslash, "") \
  X(Caret, "") \
  X(Amp, "") \
  X(Eq, "") \
  X(Ne, "") \
  X(Lt, "") \
  X(Gt, "") \
  X(Le, "") \
  X(Ge, "") \
  X(LParen, "") \
  X(RParen, "") \
  X(Comma, "") \
  X(Dot, "") \
  X(KwAnd, "and") \
  X(KwByRef, "byref") \
  X(KwByVal, "byval") \
  X(KwCall, "call") \
  X(KwCase, "case") \
  X(KwClass, "class") \
  X(KwConst, "const") \
  X(KwDim, "dim") \
  X(KwDo, "do") \
  X(KwEach, "each") \
  X(KwElse, "else") \
  X(KwElseIf, "elseif") \
  X(KwEmpty, "empty") \
  X(KwEnd, "end") \
  X(KwEqv, "eqv") \
  X(KwErase, "erase") \
  X(KwExit, "exit") \
  X(KwFalse, "false") \
  X(KwFor, "for") \
  X(KwFunction, "function") \
  X(KwGoTo, "goto") \
  X(KwIf, "if") \
  X(KwImp, "imp") \
  X(KwIn, "in") \
  X(KwIs, "is") \
  X(KwLet, "let") \
  X(KwLoop, "loop") \
  X(KwMe, "me") \
  X(KwMod, "mod") \
  X(KwNew, "new") \
  X(KwNext, "next") \
  X(KwNot, "not") \
  X(KwNothing, "nothing") \
  X(KwNull, "null") \
  X(KwOn, "on") \
  X(KwOption, "option") \
  X(KwOr, "or") \
  X(KwPrivate, "private") \
  X(KwProperty, "property") \
  X(KwPublic, "public") \
  X(KwReDim, "redim") \
  X(KwSelect, "select") \
  X(KwSet, "set") \
  X(KwSub, "sub") \
  X(KwThen, "then") \
  X(KwTo, "to") \
  X(KwTrue, "true") \
  X(KwUntil, "until") \
  X(KwWend, "wend") \
  X(KwWhile, "while") \
  X(KwWith, "with") \
  X(KwXor, "xor")
// clang-format on

enum class Tok : uint8_t {
#define VBS_ENUM(name, text) name,
  VBS_TOKENS(VBS_ENUM)
#undef VBS_ENUM
};

struct Token {
  Tok kind = Tok::End;
  int line = 1;
  int column = 1;
  std::string text;          // identifier name (as written), string value, keyword text
  double number = 0;         // numeric and date literals
  bool spaceBefore = false;  // ".x" after a blank starts a With member, not obj.x
};

// Throws ScriptError with a compile-error number and its position.
std::vector<Token> Tokenize(std::string_view source, int firstLine = 1);

// True when the token is a keyword (usable as a member name after a dot).
bool IsKeyword(Tok t);

}  // namespace vbs
