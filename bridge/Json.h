// The little JSON the bridge speaks: a reader that keeps object members in order (repeated
// names included, so the caller decides what a repeat means) and says why a text is refused,
// and the string writer that every outgoing payload is built with.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sablewick {

struct JsonValue {
  enum class Kind { Null, Bool, Number, String, Array, Object };
  Kind kind = Kind::Null;
  bool boolean = false;
  std::string text;  // a string's value (UTF-8), or a number as written
  std::vector<JsonValue> elements;
  std::vector<std::pair<std::string, JsonValue>> members;

  // Declared here and defaulted in Json.cpp: inline they would need the pair of members
  // complete while it is still being made (clang with libstdc++ refuses that).
  JsonValue();
  ~JsonValue();
  JsonValue(const JsonValue&);
  JsonValue(JsonValue&&) noexcept;
  JsonValue& operator=(const JsonValue&);
  JsonValue& operator=(JsonValue&&) noexcept;

  // The first member of that name (ASCII letters compared without case when asked); null when
  // there is none or this is not an object.
  const JsonValue* Find(std::string_view name, bool ignoreCase = false) const;
};

// Nesting deeper than this is refused: the reader recurses once per level.
inline constexpr int kJsonMaxDepth = 32;

// Parses one JSON text (surrounding white space allowed). On failure: nullopt, and *error says
// what was wrong and at which byte.
std::optional<JsonValue> ParseJson(std::string_view text, std::string* error);

// Appends s as a JSON string literal. Valid UTF-8 passes through; a byte that is not part of a
// valid UTF-8 sequence is taken as Latin-1 (the single-byte text of older xAP senders).
void AppendJsonString(std::string& out, std::string_view s);

}  // namespace sablewick
