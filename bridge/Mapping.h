// The two directions between xAP messages and MQTT payloads, as pure functions: the topic and
// JSON of a received message, and the xAP text of a JSON or raw payload from the broker.
//
// The JSON shape, the same both ways:
//   {"header": {"v": "12", "hop": "1", "uid": "...", "class": "...", "source": "...",
//    "target": "..."}, "sections": [{"name": "output.state.1", "items": {"id": "*"}}]}
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace sablewick {

class XapMessage;

// One topic level made from any text: '+', '#', '/', control and non-ASCII bytes become '_'
// (an empty text becomes "_"); letter case is kept.
std::string TopicLevel(std::string_view text);

// "<prefix>/in/<class>/<source>".
std::string InTopic(std::string_view prefix, const XapMessage& msg);

// The JSON of a parsed message: header lines in arrival order (each name once; uid, class,
// source and target with the value the parser acted on, the others with their first value),
// sections in order, each item name once with its first value. Empty for a text that was not
// parsed.
std::string MessageJson(const XapMessage& msg);

// Where a message from the broker goes when nothing names its source or UID.
struct XapDefaults {
  std::string source;
  std::string uid;
};

// The largest xAP text the bridge hands on: the largest UDP datagram.
inline constexpr size_t kMaxXapText = 65507;

// The xAP text for a JSON payload; nullopt and *reason when the payload is refused.
std::optional<std::string> XapFromJson(std::string_view payload, const XapDefaults& defaults,
                                       std::string* reason);

// A raw xAP text checked by the parser; nullopt and *reason when it is refused.
std::optional<std::string> CheckRawXap(std::string_view payload, std::string* reason);

}  // namespace sablewick
