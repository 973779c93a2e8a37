#include "bridge/Bsc.h"

#include "core/Text.h"
#include "bridge/Json.h"
#include "bridge/Mapping.h"
#include "xap/SendHelper.h"
#include "xap/XapMessage.h"

namespace sablewick {
namespace {

// A short stable tag of an address, so that two addresses that look alike once their
// unusable characters are replaced still get ids of their own.
std::string Tag(std::string_view address) {
  uint32_t h = 2166136261u;
  for (char c : ToLower(address)) {
    h ^= static_cast<unsigned char>(c);
    h *= 16777619u;
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string tag(8, '0');
  for (int i = 7; i >= 0; --i, h >>= 4) tag[static_cast<size_t>(i)] = kHex[h & 0xF];
  return tag;
}

// Home Assistant's ids: letters, digits, '_' and '-'.
std::string ObjectId(std::string_view address) {
  std::string id = "xap_";
  for (char c : address) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '-';
    id += ok ? c : '_';
  }
  id += '_';
  id += Tag(address);
  return id;
}

std::optional<std::string_view> ItemValue(const ItemCollection& items, std::string_view name) {
  const auto line = items.Item(name);
  if (!line) return std::nullopt;
  return line->substr(line->find('=') + 1);
}

std::optional<long long> Digits(std::string_view s) {
  if (s.empty() || s.size() > 9) return std::nullopt;
  long long n = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + (c - '0');
  }
  return n;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n')) {
    s.remove_suffix(1);
  }
  return s;
}

void Member(std::string& out, std::string_view name, std::string_view value) {
  if (out.size() > 1) out += ", ";
  AppendJsonString(out, name);
  out += ": ";
  AppendJsonString(out, value);
}

void RawMember(std::string& out, std::string_view name, std::string_view json) {
  if (out.size() > 1) out += ", ";
  AppendJsonString(out, name);
  out += ": ";
  out += json;
}

constexpr const char* kComponents[] = {"binary_sensor", "sensor", "sensor", "switch", "light"};

}  // namespace

BscDirectory::BscDirectory(std::string prefix, std::string discovery, std::string statusTopic,
                           size_t maxEndpoints)
    : prefix_(std::move(prefix)),
      discovery_(std::move(discovery)),
      statusTopic_(std::move(statusTopic)),
      maxEndpoints_(maxEndpoints) {}

std::optional<int> BscDirectory::LevelPercent(std::string_view level) {
  level = Trim(level);
  const size_t slash = level.find('/');
  const auto n = Digits(level.substr(0, slash));
  if (!n) return std::nullopt;
  long long percent = *n;
  if (slash != std::string_view::npos) {
    const auto m = Digits(level.substr(slash + 1));
    if (!m || *m == 0) return std::nullopt;
    percent = (*n * 100 + *m / 2) / *m;
  }
  return static_cast<int>(percent > 100 ? 100 : percent);
}

std::string BscDirectory::StateTopic(const Endpoint& e) const {
  return prefix_ + "/bsc/" + e.level + "/state";
}

std::vector<Publication> BscDirectory::Observe(const XapMessage& msg) {
  if (!msg.CompareClass("xAPBSC.info") && !msg.CompareClass("xAPBSC.event")) return {};
  std::optional<ItemCollection> items;
  bool output = false;
  for (int s = 0; s < msg.SectionCount() && !items; ++s) {
    const std::string_view name = msg.SectionName(s);
    if (StartsWithNoCase(name, "input.state") || StartsWithNoCase(name, "output.state")) {
      output = StartsWithNoCase(name, "output.state");
      items = msg.msgCollection(s);
    }
  }
  if (!items || msg.msgSource == "Unknown" || msg.msgSource.empty()) return {};
  const auto state = ItemValue(*items, "State");
  const auto level = ItemValue(*items, "Level");
  const auto text = ItemValue(*items, "Text");

  std::vector<Publication> out;
  const std::string key = ToLower(msg.msgSource);
  auto found = byAddress_.find(key);
  if (found == byAddress_.end()) {
    if (Full()) return {};
    Endpoint e;
    e.address = msg.msgSource;
    e.level = TopicLevel(e.address);
    if (byLevel_.count(e.level) != 0) e.level += "_" + Tag(e.address);
    if (output) {
      e.kind = level ? Kind::Light : Kind::Switch;
    } else {
      e.kind = level ? Kind::LevelSensor : text ? Kind::TextSensor : Kind::BinarySensor;
    }
    found = byAddress_.emplace(key, endpoints_.size()).first;
    byLevel_.emplace(e.level, endpoints_.size());
    endpoints_.push_back(std::move(e));
    if (!discovery_.empty()) out.push_back(Config(endpoints_.back()));
  }
  Endpoint& e = endpoints_[found->second];

  std::string payload = "{";
  if (state && EqualsNoCase(Trim(*state), "on")) {
    Member(payload, "state", "ON");
  } else if (state && EqualsNoCase(Trim(*state), "off")) {
    Member(payload, "state", "OFF");
  } else {
    RawMember(payload, "state", "null");  // "?" or nothing: unknown
  }
  if (level) {
    if (const auto percent = LevelPercent(*level)) {
      RawMember(payload, "brightness", std::to_string(*percent));
    }
    Member(payload, "level", *level);
  }
  if (text) Member(payload, "text", *text);
  if (e.kind == Kind::Light) Member(payload, "color_mode", "brightness");
  payload += "}";
  if (payload != e.state) {
    e.state = payload;
    out.push_back({StateTopic(e), payload, true});
  }
  return out;
}

Publication BscDirectory::Config(const Endpoint& e) const {
  const std::string id = ObjectId(e.address);
  const size_t colon = e.address.find(':');
  const std::string_view device = std::string_view(e.address).substr(0, colon);
  const std::string_view name =
      colon == std::string::npos ? std::string_view(e.address) : std::string_view(e.address).substr(colon + 1);
  std::string c = "{";
  Member(c, "name", name);
  Member(c, "unique_id", id);
  Member(c, "object_id", id);
  Member(c, "state_topic", StateTopic(e));
  Member(c, "availability_topic", statusTopic_);
  Member(c, "payload_available", "online");
  Member(c, "payload_not_available", "offline");
  const std::string command = prefix_ + "/bsc/" + e.level + "/set";
  switch (e.kind) {

    case Kind::LevelSensor:
      Member(c, "value_template", "{{ value_json.brightness }}");
      Member(c, "unit_of_measurement", "%");
      break;
    case Kind::TextSensor:
      Member(c, "value_template", "{{ value_json.text }}");
      break;
    case Kind::Switch:
      Member(c, "command_topic", command);
      Member(c, "state_on", "ON");
      Member(c, "state_off", "OFF");
      [[fallthrough]];
    case Kind::BinarySensor:
      Member(c, "value_template", "{{ value_json.state }}");
      Member(c, "payload_on", "ON");
      Member(c, "payload_off", "OFF");
      break;
    case Kind::Light:
      Member(c, "schema", "json");
      Member(c, "command_topic", command);
      RawMember(c, "brightness", "true");
      RawMember(c, "brightness_scale", "100");
      RawMember(c, "supported_color_modes", "[\"brightness\"]");
      break;
  }
  std::string d = "{";
  std::string ids = "[";
  AppendJsonString(ids, ObjectId(device));
  ids += "]";
  RawMember(d, "identifiers", ids);
  Member(d, "name", device);
  Member(d, "manufacturer", "xAP BSC");
  d += "}";
  RawMember(c, "device", d);
  c += "}";
  std::string topic = discovery_;
  topic += '/';
  topic += kComponents[static_cast<int>(e.kind)];
  topic += "/xap/";
  topic += id;
  topic += "/config";
  return {std::move(topic), std::move(c), true};
}

std::vector<Publication> BscDirectory::Replay() const {
  std::vector<Publication> out;
  for (const Endpoint& e : endpoints_) {
    if (!discovery_.empty()) out.push_back(Config(e));
    if (!e.state.empty()) out.push_back({StateTopic(e), e.state, true});
  }
  return out;
}

std::optional<BscDirectory::Command> BscDirectory::FromCommand(std::string_view topic,
                                                               std::string_view payload,
                                                               std::string* reason) const {
  auto refuse = [&](std::string why) -> std::optional<Command> {
    if (reason != nullptr) *reason = std::move(why);
    return std::nullopt;
  };
  const std::string head = prefix_ + "/bsc/";
  constexpr std::string_view kTail = "/set";
  if (topic.size() <= head.size() + kTail.size() || topic.substr(0, head.size()) != head ||
      topic.substr(topic.size() - kTail.size()) != kTail) {
    return refuse("not a command topic");
  }
  const std::string level(topic.substr(head.size(), topic.size() - head.size() - kTail.size()));
  const auto found = byLevel_.find(level);
  if (found == byLevel_.end()) return refuse("no endpoint " + level + " has reported yet");
  const Endpoint& e = endpoints_[found->second];
  if (e.kind != Kind::Switch && e.kind != Kind::Light) return refuse(e.address + " is an input");

  std::optional<bool> on;
  std::optional<int> brightness;
  const std::string_view word = Trim(payload);
  if (EqualsNoCase(word, "on") || EqualsNoCase(word, "off")) {
    on = EqualsNoCase(word, "on");
  } else {
    std::string error;
    const auto doc = ParseJson(payload, &error);
    if (!doc) return refuse("neither ON, OFF nor JSON: " + error);
    if (doc->kind != JsonValue::Kind::Object) return refuse("not a JSON object");
    if (const JsonValue* s = doc->Find("state")) {
      if (s->kind != JsonValue::Kind::String ||
          !(EqualsNoCase(s->text, "on") || EqualsNoCase(s->text, "off"))) {
        return refuse("state is neither ON nor OFF");
      }
      on = EqualsNoCase(s->text, "on");
    }
    if (const JsonValue* b = doc->Find("brightness")) {
      const auto n = b->kind == JsonValue::Kind::Number ? Digits(b->text) : std::nullopt;
      if (!n || *n > 100) return refuse("brightness is not a whole number from 0 to 100");
      brightness = static_cast<int>(*n);
    }
    if (!on && !brightness) return refuse("no state and no brightness");
  }
  if (brightness && !on) on = true;
  Command cmd;
  cmd.target = e.address;
  const std::string levelText = brightness ? std::to_string(*brightness) + "/100" : std::string();
  cmd.items = brightness ? ItemList({{"id", "*"}, {"State", *on ? "on" : "off"}, {"Level", levelText}})
                         : ItemList({{"id", "*"}, {"State", *on ? "on" : "off"}});
  return cmd;
}

}  // namespace sablewick
