#include "bridge/Json.h"

#include <cstdint>

#include "core/Text.h"
#include "engine/Library.h"

namespace sablewick {
namespace {

class Reader {
 public:
  Reader(std::string_view text, std::string* error) : s_(text), error_(error) {}

  std::optional<JsonValue> Document() {
    JsonValue v;
    SkipSpace();
    if (!Value(v, 0)) return std::nullopt;
    SkipSpace();
    if (p_ != s_.size()) return Fail("text after the end of the value");
    return v;
  }

 private:
  std::nullopt_t Fail(const char* what) {
    if (error_ != nullptr && error_->empty()) {
      *error_ = what;
      *error_ += " at byte ";
      *error_ += std::to_string(p_);
    }
    return std::nullopt;
  }
  bool Failed(const char* what) {
    Fail(what);
    return false;
  }

  void SkipSpace() {
    while (p_ < s_.size() && (s_[p_] == ' ' || s_[p_] == '\t' || s_[p_] == '\n' || s_[p_] == '\r')) {
      ++p_;
    }
  }
  bool Literal(std::string_view word) {
    if (s_.substr(p_, word.size()) != word) return Failed("unknown word");
    p_ += word.size();
    return true;
  }

  bool Value(JsonValue& v, int depth) {
    if (p_ >= s_.size()) return Failed("unexpected end");
    switch (s_[p_]) {
      case '{':
        return Object(v, depth + 1);
      case '[':
        return Array(v, depth + 1);
      case '"':
        v.kind = JsonValue::Kind::String;
        return String(v.text);
      case 't':
        v.kind = JsonValue::Kind::Bool;
        v.boolean = true;
        return Literal("true");
      case 'f':
        v.kind = JsonValue::Kind::Bool;
        return Literal("false");
      case 'n':
        v.kind = JsonValue::Kind::Null;
        return Literal("null");
      default:
        return Number(v);
    }
  }

  bool Object(JsonValue& v, int depth) {
    if (depth > kJsonMaxDepth) return Failed("nested too deeply");
    v.kind = JsonValue::Kind::Object;
    ++p_;
    SkipSpace();
    if (p_ < s_.size() && s_[p_] == '}') {
      ++p_;
      return true;
    }
    for (;;) {
      SkipSpace();
      if (p_ >= s_.size() || s_[p_] != '"') return Failed("expected a member name");
      std::string name;
      if (!String(name)) return false;
      SkipSpace();
      if (p_ >= s_.size() || s_[p_] != ':') return Failed("expected ':'");
      ++p_;
      SkipSpace();
      v.members.emplace_back(std::move(name), JsonValue{});
      if (!Value(v.members.back().second, depth)) return false;
      SkipSpace();
      if (p_ < s_.size() && s_[p_] == ',') {
        ++p_;
        continue;
      }
      if (p_ < s_.size() && s_[p_] == '}') {
        ++p_;
        return true;
      }
      return Failed("expected ',' or '}'");
    }
  }

  bool Array(JsonValue& v, int depth) {
    if (depth > kJsonMaxDepth) return Failed("nested too deeply");
    v.kind = JsonValue::Kind::Array;
    ++p_;
    SkipSpace();
    if (p_ < s_.size() && s_[p_] == ']') {
      ++p_;
      return true;
    }
    for (;;) {
      SkipSpace();
      v.elements.emplace_back();
      if (!Value(v.elements.back(), depth)) return false;
      SkipSpace();
      if (p_ < s_.size() && s_[p_] == ',') {
        ++p_;
        continue;
      }
      if (p_ < s_.size() && s_[p_] == ']') {
        ++p_;
        return true;
      }
      return Failed("expected ',' or ']'");
    }
  }

  bool Number(JsonValue& v) {
    const size_t start = p_;
    auto digits = [&] {
      const size_t from = p_;
      while (p_ < s_.size() && s_[p_] >= '0' && s_[p_] <= '9') ++p_;
      return p_ > from;
    };
    if (p_ < s_.size() && s_[p_] == '-') ++p_;
    if (p_ < s_.size() && s_[p_] == '0') {
      ++p_;
    } else if (!digits()) {
      return Failed("unexpected character");
    }
    if (p_ < s_.size() && s_[p_] == '.') {
      ++p_;
      if (!digits()) return Failed("expected a digit");
    }
    if (p_ < s_.size() && (s_[p_] == 'e' || s_[p_] == 'E')) {
      ++p_;
      if (p_ < s_.size() && (s_[p_] == '+' || s_[p_] == '-')) ++p_;
      if (!digits()) return Failed("expected a digit");
    }
    v.kind = JsonValue::Kind::Number;
    v.text.assign(s_.substr(start, p_ - start));
    return true;
  }

  bool Hex4(uint32_t& out) {
    if (p_ + 4 > s_.size()) return Failed("short \\u escape");
    out = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = s_[p_++];
      out <<= 4;
      if (c >= '0' && c <= '9') {
        out |= static_cast<uint32_t>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        out |= static_cast<uint32_t>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        out |= static_cast<uint32_t>(c - 'A' + 10);
      } else {
        return Failed("bad \\u escape");
      }
    }
    return true;
  }

  bool String(std::string& out) {
    ++p_;  // the opening quote
    for (;;) {
      const size_t run = p_;
      while (p_ < s_.size() && s_[p_] != '"' && s_[p_] != '\\' &&
             static_cast<unsigned char>(s_[p_]) >= 0x20) {
        ++p_;
      }
      out.append(s_.substr(run, p_ - run));
      if (p_ >= s_.size()) return Failed("unterminated string");
      const char c = s_[p_];
      if (c == '"') {
        ++p_;
        return true;
      }
      if (c != '\\') return Failed("control character in a string");
      if (++p_ >= s_.size()) return Failed("unterminated string");
      const char e = s_[p_++];
      switch (e) {
        case '"':
        case '\\':
        case '/':
          out += e;
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u': {
          uint32_t cp = 0;
          if (!Hex4(cp)) return false;
          if (cp >= 0xDC00 && cp <= 0xDFFF) return Failed("lone low surrogate");
          if (cp >= 0xD800 && cp <= 0xDBFF) {
            uint32_t low = 0;
            if (s_.substr(p_, 2) != "\\u") return Failed("lone high surrogate");
            p_ += 2;
            if (!Hex4(low)) return false;
            if (low < 0xDC00 || low > 0xDFFF) return Failed("lone high surrogate");
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          }
          vbs::lib::AppendUtf8(out, cp);
          break;
        }
        default:
          --p_;
          return Failed("unknown escape");
      }
    }
  }

  std::string_view s_;
  size_t p_ = 0;
  std::string* error_;
};

// The length of the valid UTF-8 sequence at s[i], or 0 when the bytes there are not one.
size_t Utf8Length(std::string_view s, size_t i) {
  const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = b(i);
  size_t n = 0;
  uint32_t cp = 0;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
    cp = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    cp = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    cp = c & 0x07;
  } else {
    return 0;
  }
  if (i + n > s.size()) return 0;
  for (size_t k = 1; k < n; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b(i + k) & 0x3F);
  }
  // Overlong forms, surrogates and values beyond Unicode are not UTF-8.
  if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
      (cp >= 0xD800 && cp <= 0xDFFF)) {
    return 0;
  }
  return n;
}

}  // namespace

const JsonValue* JsonValue::Find(std::string_view name, bool ignoreCase) const {
  for (const auto& [key, value] : members) {
    if (ignoreCase ? EqualsNoCase(key, name) : key == name) return &value;
  }
  return nullptr;
}

JsonValue::JsonValue() = default;
JsonValue::~JsonValue() = default;
JsonValue::JsonValue(const JsonValue&) = default;
JsonValue::JsonValue(JsonValue&&) noexcept = default;
JsonValue& JsonValue::operator=(const JsonValue&) = default;
JsonValue& JsonValue::operator=(JsonValue&&) noexcept = default;

std::optional<JsonValue> ParseJson(std::string_view text, std::string* error) {
  if (error != nullptr) error->clear();
  return Reader(text, error).Document();
}

void AppendJsonString(std::string& out, std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  size_t i = 0;
  while (i < s.size()) {
    // The run of bytes that stand as they are, appended at once.
    size_t run = i;
    while (run < s.size()) {
      const auto c = static_cast<unsigned char>(s[run]);
      if (c < 0x20 || c >= 0x7F || c == '"' || c == '\\') break;
      ++run;
    }
    out.append(s.data() + i, run - i);
    i = run;
    if (i == s.size()) break;
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c >= 0x80) {
      const size_t n = Utf8Length(s, i);
      if (n > 0) {
        out.append(s.substr(i, n));
        i += n;
      } else {
        vbs::lib::AppendUtf8(out, c);  // Latin-1: the byte is the code point
        ++i;
      }
      continue;
    }
    ++i;
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:  // the other control characters and DEL
        out += "\\u00";
        out += kHex[c >> 4];
        out += kHex[c & 0xF];
    }
  }
  out += '"';
}

}  // namespace sablewick
