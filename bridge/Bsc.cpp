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

constexpr const char* kComponents[] = {"binary_sensor", "sensor", "sensor", "switch", "light", "text"};

// Home Assistant's entity ids: lower-case letters, digits and single '_' inside.
std::string EntityId(std::string_view component, std::string_view id) {
  std::string out(component);
  out += '.';
  const size_t start = out.size();
  for (char c : ToLower(id)) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
    if (ok) {
      out += c;
    } else if (out.size() > start && out.back() != '_') {
      out += '_';
    }
  }
  while (out.size() > start && out.back() == '_') out.pop_back();
  return out;
}

std::string_view BaseAddress(std::string_view address) {
  return address.substr(0, address.find(':'));
}

// The two topics a device's entities follow: the node's status and the device's own.
void Availability(std::string& c, std::string_view nodeTopic, std::string_view deviceTopic) {
  std::string list = "[";
  for (std::string_view topic : {nodeTopic, deviceTopic}) {
    if (list.size() > 1) list += ", ";
    std::string one = "{";
    Member(one, "topic", topic);
    Member(one, "payload_available", "online");
    Member(one, "payload_not_available", "offline");
    list += one + "}";
  }
  RawMember(c, "availability", list + "]");
  Member(c, "availability_mode", "all");
}

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

std::string BscDirectory::AvailabilityTopic(const Device& d) const {
  return prefix_ + "/bsc/" + d.level + "/availability";
}

void BscDirectory::SetNode(std::string source, std::string version) {
  nodeSource_ = std::move(source);
  version_ = std::move(version);
}

std::string BscDirectory::NodeId() const {
  std::string id = "sablewick_";
  id += ObjectId(nodeSource_).substr(4);
  return id;
}

BscDirectory::Device* BscDirectory::FindDevice(std::string_view address) {
  if (devices_.empty()) return nullptr;
  // In a key kept for it: this runs for every message the node receives.
  const std::string_view base = BaseAddress(address);
  key_.assign(base);
  for (char& c : key_) c = LowerAscii(c);
  const auto found = devicesByAddress_.find(key_);
  return found == devicesByAddress_.end() ? nullptr : &devices_[found->second];
}

size_t BscDirectory::DeviceOf(std::string_view address) {
  const std::string_view base = BaseAddress(address);
  std::string key = ToLower(base);
  const auto found = devicesByAddress_.find(key);
  if (found != devicesByAddress_.end()) return found->second;
  Device d;
  d.address = base;
  d.level = TopicLevel(base);
  // The endpoint levels and a device level share one space of topics, told apart by their
  // last level (state/set against availability).
  devicesByAddress_.emplace(std::move(key), devices_.size());
  devices_.push_back(std::move(d));
  return devices_.size() - 1;
}

void BscDirectory::Heard(Device& d, uint32_t nowMs, std::vector<Publication>& out) {
  d.lastHeard = nowMs;
  if (d.up == Device::Up::Online) return;
  d.up = Device::Up::Online;
  out.push_back({AvailabilityTopic(d), "online", true});
}

std::vector<Publication> BscDirectory::Observe(const XapMessage& msg, uint32_t nowMs) {
  std::vector<Publication> out;
  if (msg.msgSource == "Unknown" || msg.msgSource.empty()) return out;
  const bool stop = msg.CompareClass("xap-hbeat.stop");
  if (stop || msg.CompareClass("xap-hbeat.alive")) {
    Device* found = FindDevice(msg.msgSource);
    if (found == nullptr) return out;
    Device& d = *found;
    if (stop) {
      if (d.up != Device::Up::Offline) out.push_back({AvailabilityTopic(d), "offline", true});
      d.up = Device::Up::Offline;
      return out;
    }
    // The interval in seconds, bounded to a day.
    for (int i = 0; i < msg.HeaderCount(); ++i) {
      const auto [name, value] = msg.HeaderItem(i);
      if (!EqualsNoCase(name, "interval")) continue;
      if (const auto n = Digits(Trim(value)); n && *n > 0) {
        d.intervalMs = static_cast<uint32_t>(*n > 86400 ? 86400 : *n) * 1000u;
      }
      break;
    }
    Heard(d, nowMs, out);
    return out;
  }
  if (!msg.CompareClass("xAPBSC.info") && !msg.CompareClass("xAPBSC.event")) {
    // Whatever a known device sends shows it is alive.
    if (devices_.empty()) return out;
    if (Device* d = FindDevice(msg.msgSource)) Heard(*d, nowMs, out);
    return out;
  }
  std::optional<ItemCollection> items;
  bool output = false;
  for (int s = 0; s < msg.SectionCount() && !items; ++s) {
    const std::string_view name = msg.SectionName(s);
    if (StartsWithNoCase(name, "input.state") || StartsWithNoCase(name, "output.state")) {
      output = StartsWithNoCase(name, "output.state");
      items = msg.msgCollection(s);
    }
  }
  const auto value = [&](std::string_view name) -> std::optional<std::string_view> {
    if (!items) return std::nullopt;
    return ItemValue(*items, name);
  };
  const auto state = value("State");
  const auto level = value("Level");
  const auto text = value("Text");

  const std::string key = ToLower(msg.msgSource);
  auto found = byAddress_.find(key);
  if (found == byAddress_.end()) {
    if (!items) {
      // Not a state report, but it may come from a device that has endpoints.
      if (Device* d = FindDevice(msg.msgSource)) Heard(*d, nowMs, out);
      return out;
    }
    if (Full()) return out;
    Endpoint e;
    e.address = msg.msgSource;
    e.level = TopicLevel(e.address);
    if (byLevel_.count(e.level) != 0) e.level += "_" + Tag(e.address);
    if (output) {
      e.kind = text ? Kind::TextOutput : level ? Kind::Light : Kind::Switch;
    } else {
      e.kind = level ? Kind::LevelSensor : text ? Kind::TextSensor : Kind::BinarySensor;
    }
    e.device = DeviceOf(e.address);
    found = byAddress_.emplace(key, endpoints_.size()).first;
    byLevel_.emplace(e.level, endpoints_.size());
    endpoints_.push_back(std::move(e));
    if (!discovery_.empty()) out.push_back(Config(endpoints_.back()));
  }
  Endpoint& e = endpoints_[found->second];
  if (!items) {
    Heard(devices_[e.device], nowMs, out);
    return out;
  }
  e.restored = false;
  if (e.forgotten) {
    e.forgotten = false;
    if (!discovery_.empty()) out.push_back(Config(e));
  }

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
      // The level ON brings the light back to: the last one it was on at.
      if (*percent > 0) e.lastPercent = *percent;
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
  Heard(devices_[e.device], nowMs, out);
  return out;
}

Publication BscDirectory::Config(const Endpoint& e) const {
  const std::string id = ObjectId(e.address);
  const size_t colon = e.address.find(':');
  const std::string_view device = std::string_view(e.address).substr(0, colon);
  const std::string_view name =
      colon == std::string::npos ? std::string_view(e.address) : std::string_view(e.address).substr(colon + 1);
  const char* component = kComponents[static_cast<int>(e.kind)];
  std::string c = "{";
  Member(c, "name", name);
  Member(c, "unique_id", id);
  Member(c, "default_entity_id", EntityId(component, id));
  Member(c, "state_topic", StateTopic(e));
  Availability(c, statusTopic_, AvailabilityTopic(devices_[e.device]));
  const std::string command = prefix_ + "/bsc/" + e.level + "/set";
  // A text longer than Home Assistant keeps is cut in the state and kept whole as an attribute.
  const auto textState = [&] {
    Member(c, "value_template", "{{ (value_json.text | default(''))[:" +
                                    std::to_string(kMaxTextState) + "] }}");
    Member(c, "json_attributes_topic", StateTopic(e));
    Member(c, "json_attributes_template",
           "{{ {'full_text': value_json.text | default('')} | tojson }}");
  };
  switch (e.kind) {
    case Kind::LevelSensor:
      Member(c, "value_template", "{{ value_json.brightness }}");
      Member(c, "unit_of_measurement", "%");
      Member(c, "state_class", "measurement");
      break;
    case Kind::TextSensor:
      textState();
      break;
    case Kind::TextOutput:
      Member(c, "command_topic", command);
      textState();
      RawMember(c, "max", std::to_string(kMaxTextState));
      Member(c, "mode", "text");
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
      RawMember(c, "brightness_scale", "100");
      RawMember(c, "supported_color_modes", "[\"brightness\"]");
      // BSC has neither; Home Assistant offers both unless told.
      RawMember(c, "flash", "false");
      RawMember(c, "transition", "false");
      break;
  }
  Origin(c);
  std::string d = "{";
  std::string ids = "[";
  AppendJsonString(ids, ObjectId(device));
  ids += "]";
  RawMember(d, "identifiers", ids);
  Member(d, "name", device);
  Member(d, "manufacturer", "xAP BSC");
  if (!nodeSource_.empty()) Member(d, "via_device", NodeId());
  d += "}";
  RawMember(c, "device", d);
  c += "}";
  std::string topic = discovery_;
  topic += '/';
  topic += component;
  topic += "/xap/";
  topic += id;
  topic += "/config";
  return {std::move(topic), std::move(c), true};
}

void BscDirectory::Origin(std::string& c) const {
  std::string o = "{";
  Member(o, "name", "Sablewick");
  if (!version_.empty()) Member(o, "sw_version", version_);
  RawMember(c, "origin", o + "}");
}

std::vector<Publication> BscDirectory::Replay() const {
  std::vector<Publication> out;
  if (!discovery_.empty() && !nodeSource_.empty()) {
    // The node itself: a device with its status as a connectivity sensor.
    const std::string id = NodeId();
    std::string c = "{";
    Member(c, "name", "Status");
    Member(c, "unique_id", id + "_status");
    Member(c, "default_entity_id", EntityId("binary_sensor", id + "_status"));
    Member(c, "state_topic", statusTopic_);
    Member(c, "payload_on", "online");
    Member(c, "payload_off", "offline");
    Member(c, "device_class", "connectivity");
    Member(c, "entity_category", "diagnostic");
    Origin(c);
    std::string d = "{";
    RawMember(d, "identifiers", "[\"" + id + "\"]");
    Member(d, "name", nodeSource_);
    Member(d, "manufacturer", "Sablewick");
    Member(d, "model", "xAP node");
    if (!version_.empty()) Member(d, "sw_version", version_);
    RawMember(c, "device", d + "}");
    out.push_back({discovery_ + "/binary_sensor/xap/" + id + "_status/config", c + "}", true});
  }
  for (const Device& d : devices_) {
    if (d.up != Device::Up::Unknown) {
      out.push_back({AvailabilityTopic(d), d.up == Device::Up::Online ? "online" : "offline", true});
    }
  }
  for (const Endpoint& e : endpoints_) {
    if (e.forgotten) continue;
    if (!discovery_.empty()) out.push_back(Config(e));
    if (!e.state.empty()) out.push_back({StateTopic(e), e.state, true});
  }
  return out;
}

std::vector<Publication> BscDirectory::Expire(uint32_t nowMs) {
  std::vector<Publication> out;
  for (Device& d : devices_) {
    // Two missed heartbeats (a device restored from the broker has had as long to speak).
    if (d.up == Device::Up::Offline || nowMs - d.lastHeard <= 2 * d.intervalMs) continue;
    d.up = Device::Up::Offline;
    out.push_back({AvailabilityTopic(d), "offline", true});
  }
  const uint64_t elapsed = Elapsed(nowMs);
  if (forgetAfterMs_ == 0) return out;
  for (Endpoint& e : endpoints_) {
    if (!e.restored || e.forgotten || elapsed - e.restoredAt < forgetAfterMs_) continue;
    // An empty retained config makes Home Assistant drop the entity.
    e.forgotten = true;
    if (!discovery_.empty()) out.push_back({Config(e).topic, "", true});
    out.push_back({StateTopic(e), "", true});
    e.state.clear();
  }
  return out;
}

uint64_t BscDirectory::Elapsed(uint32_t nowMs) {
  elapsedMs_ += nowMs - lastTick_;
  lastTick_ = nowMs;
  return elapsedMs_;
}

std::vector<std::string> BscDirectory::RestoreFilters() const {
  std::vector<std::string> filters;
  if (!discovery_.empty()) filters.push_back(discovery_ + "/+/xap/+/config");
  filters.push_back(prefix_ + "/bsc/+/state");
  return filters;
}

bool BscDirectory::RestoreTopic(std::string_view topic) const {
  const auto under = [&](std::string_view head, std::string_view tail) {
    return topic.size() > head.size() + tail.size() + 1 && topic.substr(0, head.size()) == head &&
           topic[head.size()] == '/' && topic.substr(topic.size() - tail.size()) == tail;
  };
  return (!discovery_.empty() && under(discovery_, "/config")) || under(prefix_ + "/bsc", "/state");
}

std::vector<Publication> BscDirectory::Restore(std::string_view topic, std::string_view payload,
                                               uint32_t nowMs) {
  std::vector<Publication> out;
  // What stands between head and tail in t.
  const auto cut = [](std::string_view t, std::string_view head,
                      std::string_view tail) -> std::optional<std::string_view> {
    if (t.size() <= head.size() + tail.size() || t.substr(0, head.size()) != head ||
        t.substr(t.size() - tail.size()) != tail) {
      return std::nullopt;
    }
    return t.substr(head.size(), t.size() - head.size() - tail.size());
  };
  const std::string stateHead = prefix_ + "/bsc/";
  if (const auto level = cut(topic, stateHead, "/state")) {
    const auto found = byLevel_.find(std::string(*level));
    if (found == byLevel_.end()) return out;
    Endpoint& e = endpoints_[found->second];
    if (!e.restored || !e.state.empty()) return out;
    e.state = payload;
    std::string error;
    const auto doc = ParseJson(payload, &error);
    const JsonValue* b = doc ? doc->Find("brightness") : nullptr;
    if (b != nullptr && b->kind == JsonValue::Kind::Number) {
      if (const auto n = Digits(b->text); n && *n > 0 && *n <= 100) e.lastPercent = static_cast<int>(*n);
    }
    return out;
  }
  if (discovery_.empty()) return out;
  const auto middle = cut(topic, discovery_ + "/", "/config");
  if (!middle) return out;
  const size_t slash = middle->find('/');
  const std::string_view component = middle->substr(0, slash);
  std::string error;
  const auto doc = ParseJson(payload, &error);
  if (!doc || doc->kind != JsonValue::Kind::Object) return out;
  const auto text = [&](const JsonValue* v) {
    return v != nullptr && v->kind == JsonValue::Kind::String ? v->text : std::string();
  };
  const JsonValue* device = doc->Find("device");
  const std::string name = text(doc->Find("name"));
  const std::string deviceName = text(device != nullptr ? device->Find("name") : nullptr);
  // Configs of this bridge name their state topic under its prefix, and the id is made from
  // the address, which the device and entity names give back.
  const std::string stateTopic = text(doc->Find("state_topic"));
  const auto level = cut(stateTopic, stateHead, "/state");
  if (!level || name.empty() || deviceName.empty()) return out;
  const std::string address = deviceName == name ? name : deviceName + ":" + name;
  if (ObjectId(address) != text(doc->Find("unique_id"))) return out;
  Kind kind;
  if (component == "binary_sensor") {
    kind = Kind::BinarySensor;
  } else if (component == "sensor") {
    kind = doc->Find("unit_of_measurement") != nullptr ? Kind::LevelSensor : Kind::TextSensor;
  } else if (component == "switch") {
    kind = Kind::Switch;
  } else if (component == "light") {
    kind = Kind::Light;
  } else if (component == "text") {
    kind = Kind::TextOutput;
  } else {
    return out;
  }
  const std::string key = ToLower(address);
  if (byAddress_.count(key) != 0 || byLevel_.count(std::string(*level)) != 0 || Full()) return out;
  Endpoint e;
  e.address = address;
  e.level = *level;
  e.kind = kind;
  e.restored = true;
  e.restoredAt = Elapsed(nowMs);
  e.device = DeviceOf(address);
  Device& d = devices_[e.device];
  if (d.up == Device::Up::Unknown) d.lastHeard = nowMs;
  byAddress_.emplace(key, endpoints_.size());
  byLevel_.emplace(e.level, endpoints_.size());
  endpoints_.push_back(std::move(e));
  // A config of an older version is brought up to date.
  Publication config = Config(endpoints_.back());
  if (config.payload != payload) out.push_back(std::move(config));
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
  if (e.forgotten) return refuse("no endpoint " + level + " has reported yet");
  if (e.kind == Kind::TextOutput) {
    // Home Assistant's text entity sends the text itself; a stream output takes it as Text.
    if (payload.find_first_of("\r\n") != std::string_view::npos) {
      return refuse("a text for " + e.address + " holds a line break");
    }
    if (payload.size() > 4 * kMaxTextState) return refuse("a text for " + e.address + " is too long");
    return Command{e.address, ItemList({{"id", "*"}, {"Text", payload}})};
  }
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
  // ON alone to a dimmable light brings it back at its last level.
  if (*on && !brightness && e.kind == Kind::Light && e.lastPercent > 0) brightness = e.lastPercent;
  Command cmd;
  cmd.target = e.address;
  const std::string levelText = brightness ? std::to_string(*brightness) + "/100" : std::string();
  cmd.items = brightness ? ItemList({{"id", "*"}, {"State", *on ? "on" : "off"}, {"Level", levelText}})
                         : ItemList({{"id", "*"}, {"State", *on ? "on" : "off"}});
  return cmd;
}

}  // namespace sablewick
