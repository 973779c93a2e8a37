#include "engine/Lexer.h"

#include <cctype>
#include <cmath>

#include "engine/Variant.h"

namespace vbs {
namespace {

struct Keyword {
  std::string_view text;
  Tok tok;
};

constexpr Keyword kKeywords[] = {
#define VBS_KW(name, text) {text, Tok::name},
    VBS_TOKENS(VBS_KW)
#undef VBS_KW
};

bool IsIdentStart(char c) {
  return std::isalpha(static_cast<unsigned char>(c));
}
bool IsIdentChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
}

class Lexer {
 public:
  Lexer(std::string_view src, int firstLine) : src_(src), line_(firstLine) {}

  std::vector<Token> Run() {
    std::vector<Token> out;
    while (true) {
      SkipBlanks();
      if (pos_ >= src_.size()) break;
      char c = src_[pos_];
      Token t;
      t.spaceBefore = pos_ > 0 && (src_[pos_ - 1] == ' ' || src_[pos_ - 1] == '\t');
      t.line = line_;
      t.column = Column();
      if (c == '\n' || c == '\r') {
        if (c == '\r' && Peek(1) == '\n') ++pos_;
        ++pos_;
        NewLine();
        t.kind = Tok::Newline;
        out.push_back(std::move(t));
        continue;
      }
      if (c == '\'') {
        SkipToEol();
        continue;
      }
      if (c == ':') {
        ++pos_;
        t.kind = Tok::Colon;
        out.push_back(std::move(t));
        continue;
      }
      if (c == '"') {
        LexString(t);
        out.push_back(std::move(t));
        continue;
      }
      if (c == '#') {
        LexDate(t);
        out.push_back(std::move(t));
        continue;
      }
      if (c == '[') {
        size_t end = src_.find(']', pos_);
        size_t nl = src_.find_first_of("\r\n", pos_);
        if (end == std::string_view::npos || (nl != std::string_view::npos && nl < end))
          Fail(1007, t);
        t.kind = Tok::Identifier;
        t.text = std::string(src_.substr(pos_ + 1, end - pos_ - 1));
        pos_ = end + 1;
        out.push_back(std::move(t));
        continue;
      }
      if (std::isdigit(static_cast<unsigned char>(c)) ||
          (c == '.' && std::isdigit(static_cast<unsigned char>(Peek(1))) && !AfterOperand(out))) {
        LexNumber(t);
        out.push_back(std::move(t));
        continue;
      }
      if (c == '&' && (Peek(1) == 'h' || Peek(1) == 'H' || Peek(1) == 'o' || Peek(1) == 'O') &&
          std::isxdigit(static_cast<unsigned char>(Peek(2)))) {
        LexRadix(t);
        out.push_back(std::move(t));
        continue;
      }
      if (IsIdentStart(c)) {
        size_t start = pos_;
        while (pos_ < src_.size() && IsIdentChar(src_[pos_])) ++pos_;
        std::string_view word = src_.substr(start, pos_ - start);
        if (word.size() > 255) Fail(kIdentifierTooLong, t);
        if (NameEquals(word, "rem")) {
          SkipToEol();
          continue;
        }
        t.kind = Tok::Identifier;
        t.text = std::string(word);
        for (const auto& k : kKeywords) {
          if (!k.text.empty() && NameEquals(k.text, word)) {
            t.kind = k.tok;
            break;
          }
        }
        out.push_back(std::move(t));
        continue;
      }
      ++pos_;
      switch (c) {
        case '+':
          t.kind = Tok::Plus;
          break;
        case '-':
          t.kind = Tok::Minus;
          break;
        case '*':
          t.kind = Tok::Star;
          break;
        case '/':
          t.kind = Tok::Slash;
          break;
        case '\\':
          t.kind = Tok::Backslash;
          break;
        case '^':
          t.kind = Tok::Caret;
          break;
        case '&':
          t.kind = Tok::Amp;
          break;
        case '=':
          // "=>" and "=<" are old spellings of ">=" and "<=".
          if (Peek(0) == '>') {
            ++pos_;
            t.kind = Tok::Ge;
          } else if (Peek(0) == '<') {
            ++pos_;
            t.kind = Tok::Le;
          } else
            t.kind = Tok::Eq;
          break;
        case '(':
          t.kind = Tok::LParen;
          break;
        case ')':
          t.kind = Tok::RParen;
          break;
        case ',':
          t.kind = Tok::Comma;
          break;
        case '.':
          t.kind = Tok::Dot;
          break;
        case '<':
          if (Peek(0) == '>') {
            ++pos_;
            t.kind = Tok::Ne;
          } else if (Peek(0) == '=') {
            ++pos_;
            t.kind = Tok::Le;
          } else
            t.kind = Tok::Lt;
          break;
        case '>':
          if (Peek(0) == '=') {
            ++pos_;
            t.kind = Tok::Ge;
          } else if (Peek(0) == '<') {
            ++pos_;
            t.kind = Tok::Ne;
          } else
            t.kind = Tok::Gt;
          break;
        default:
          Fail(kInvalidCharacter, t);
      }
      out.push_back(std::move(t));
    }
    Token end;
    end.kind = Tok::End;
    end.line = line_;
    end.column = Column();
    out.push_back(end);
    return out;
  }

 private:
  char Peek(size_t k) const { return pos_ + k < src_.size() ? src_[pos_ + k] : '\0'; }
  int Column() const { return static_cast<int>(pos_ - lineStart_) + 1; }
  void NewLine() {
    ++line_;
    lineStart_ = pos_;
  }
  [[noreturn]] void Fail(int number, const Token& at) {
    ScriptError e(number);
    e.line = at.line;
    e.column = at.column;
    throw e;
  }
  static bool AfterOperand(const std::vector<Token>& out) {
    if (out.empty()) return false;
    Tok k = out.back().kind;
    return k == Tok::Identifier || k == Tok::RParen || IsKeyword(k);
  }

  void SkipBlanks() {
    while (pos_ < src_.size()) {
      char c = src_[pos_];
      if (c == ' ' || c == '\t' || c == '\f' || c == '\v' || c == '\0') {
        ++pos_;
      } else if (c == '_' && (pos_ == 0 || !IsIdentChar(src_[pos_ - 1]))) {
        // Line continuation: "_" then blanks then the end of the line.
        size_t p = pos_ + 1;
        while (p < src_.size() && (src_[p] == ' ' || src_[p] == '\t')) ++p;
        if (p < src_.size() && (src_[p] == '\r' || src_[p] == '\n')) {
          if (src_[p] == '\r' && p + 1 < src_.size() && src_[p + 1] == '\n') ++p;
          pos_ = p + 1;
          NewLine();
        } else {
          return;
        }
      } else {
        return;
      }
    }
  }

  void SkipToEol() {
    while (pos_ < src_.size() && src_[pos_] != '\n' && src_[pos_] != '\r') ++pos_;
  }

  void LexString(Token& t) {
    ++pos_;
    std::string s;
    while (true) {
      if (pos_ >= src_.size() || src_[pos_] == '\n' || src_[pos_] == '\r')
        Fail(kUnterminatedString, t);
      char c = src_[pos_++];
      if (c == '"') {
        if (Peek(0) == '"') {
          s += '"';
          ++pos_;
          continue;
        }
        break;
      }
      s += c;
    }
    t.kind = Tok::StringLit;
    t.text = std::move(s);
  }

  void LexDate(Token& t) {
    size_t end = pos_ + 1;
    while (end < src_.size() && src_[end] != '#' && src_[end] != '\n' && src_[end] != '\r') ++end;
    if (end >= src_.size() || src_[end] != '#') Fail(kSyntaxError, t);
    double d;
    if (!ParseDate(src_.substr(pos_ + 1, end - pos_ - 1), d)) Fail(kSyntaxError, t);
    pos_ = end + 1;
    t.kind = Tok::DateLit;
    t.number = d;
  }

  void LexNumber(Token& t) {
    size_t start = pos_;
    bool isFloat = false;
    while (std::isdigit(static_cast<unsigned char>(Peek(0)))) ++pos_;
    if (Peek(0) == '.' && std::isdigit(static_cast<unsigned char>(Peek(1)))) {
      isFloat = true;
      ++pos_;
      while (std::isdigit(static_cast<unsigned char>(Peek(0)))) ++pos_;
    } else if (Peek(0) == '.' && !IsIdentStart(Peek(1))) {
      isFloat = true;
      ++pos_;
    }
    if ((Peek(0) == 'e' || Peek(0) == 'E') &&
        (std::isdigit(static_cast<unsigned char>(Peek(1))) ||
         ((Peek(1) == '+' || Peek(1) == '-') &&
          std::isdigit(static_cast<unsigned char>(Peek(2)))))) {
      isFloat = true;
      pos_ += 2;
      while (std::isdigit(static_cast<unsigned char>(Peek(0)))) ++pos_;
    }
    std::string text(src_.substr(start, pos_ - start));
    double v = std::strtod(text.c_str(), nullptr);
    if (!std::isfinite(v)) Fail(kInvalidNumber, t);
    if (IsIdentChar(Peek(0))) Fail(kExpectedEndOfStatement, t);
    t.number = v;
    if (isFloat || v > 2147483647.0)
      t.kind = Tok::DoubleLit;
    else if (v > 32767.0)
      t.kind = Tok::LongLit;
    else
      t.kind = Tok::IntegerLit;
  }

  void LexRadix(Token& t) {
    bool hex = Peek(1) == 'h' || Peek(1) == 'H';
    pos_ += 2;
    uint64_t v = 0;
    size_t digits = 0;
    while (true) {
      char c = Peek(0);
      int d;
      if (c >= '0' && c <= '9')
        d = c - '0';
      else if (hex && c >= 'a' && c <= 'f')
        d = c - 'a' + 10;
      else if (hex && c >= 'A' && c <= 'F')
        d = c - 'A' + 10;
      else
        break;
      if (!hex && d > 7) Fail(kSyntaxError, t);
      v = v * (hex ? 16 : 8) + d;
      if (v > 0xFFFFFFFFull) Fail(kOverflow, t);
      ++pos_;
      ++digits;
    }
    // Without the & suffix four digits are 16 bits (&hFFFF is -1); with it the value is
    // read as 32 bits (&hFFFF& is 65535). Either way the smallest type that holds it.
    bool as32 = Peek(0) == '&';
    if (as32) ++pos_;
    int32_t n = !as32 && v <= 0xFFFF ? static_cast<int16_t>(static_cast<uint16_t>(v))
                                     : static_cast<int32_t>(static_cast<uint32_t>(v));
    t.kind = n >= INT16_MIN && n <= INT16_MAX ? Tok::IntegerLit : Tok::LongLit;
    t.number = n;
  }

  std::string_view src_;
  size_t pos_ = 0;
  size_t lineStart_ = 0;
  int line_;
};

}  // namespace

bool IsKeyword(Tok t) {
  return t >= Tok::KwAnd;
}

std::vector<Token> Tokenize(std::string_view source, int firstLine) {
  return Lexer(source, firstLine).Run();
}

}  // namespace vbs
