#include "bridge/Mapping.h"

#include <vector>

#include "core/InlineVector.h"
#include "core/Text.h"
#include "bridge/Json.h"
#include "xap/XapMessage.h"

namespace sablewick {
namespace {

std::string_view TrimSpaces(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

template <class List>
bool SeenNoCase(const List& seen, std::string_view name) {
  for (size_t i = 0; i < seen.size(); ++i) {
    if (EqualsNoCase(seen[i], name)) return true;
  }
  return false;
}

// Appends text as one topic level (see TopicLevel).
void AppendTopicLevel(std::string& out, std::string_view text) {
  if (text.empty()) {
    out += '_';
    return;
  }
  const size_t start = out.size();
  out.append(text);
  for (size_t i = start; i < out.size(); ++i) {
    const auto u = static_cast<unsigned char>(out[i]);
    if (u <= 0x20 || u >= 0x7F || u == '+' || u == '#' || u == '/') out[i] = '_';
  }
}

// The header values the parser acts on; other header lines keep their first value.
std::string_view HeaderValue(const XapMessage& msg, std::string_view name, std::string_view first) {
  if (EqualsNoCase(name, "uid")) return msg.MsgUID;
  if (EqualsNoCase(name, "class")) return msg.MsgClass;
  if (EqualsNoCase(name, "source")) return msg.msgSource;
  if (EqualsNoCase(name, "target")) return msg.MsgTarget;
  return first;
}

std::string Quoted(std::string_view s) {
  std::string q = "'";
  q += s;
  q += "'";
  return q;
}

// A name of a section or item: something before "=" on one line that cannot close a block.
bool BadName(std::string_view name) {
  if (TrimSpaces(name).empty()) return true;
  for (char c : name) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F || c == '=' || c == '{' || c == '}') return true;
  }
  return false;
}

// A value stays on its line.
bool BadValue(std::string_view value) {
  for (char c : value) {
    if (c == '\n' || c == '\r' || c == '\0') return true;
  }
  return false;
}

struct Refusal {
  std::string reason;
};

const std::string& TextOf(const JsonValue& v, const std::string& what) {
  if (v.kind == JsonValue::Kind::String || v.kind == JsonValue::Kind::Number) return v.text;
  throw Refusal{what + " is not a string"};
}

}  // namespace

std::string TopicLevel(std::string_view text) {
  std::string out;
  AppendTopicLevel(out, text);
  return out;
}

std::string InTopic(std::string_view prefix, const XapMessage& msg) {
  std::string topic;
  topic.reserve(prefix.size() + msg.MsgClass.size() + msg.msgSource.size() + 6);
  topic.append(prefix);
  topic += "/in/";
  AppendTopicLevel(topic, msg.MsgClass);
  topic += '/';
  AppendTopicLevel(topic, msg.msgSource);
  return topic;
}

std::string MessageJson(const XapMessage& msg) {
  if (!msg.Parsed()) return {};
  std::string out;
  // One block for the whole payload in the common case: the text's own bytes, the names and
  // punctuation JSON adds for each line, and some room for escapes.
  out.reserve(msg.TextSize() * 2 + 64);
  out += "{\"header\": {";
  InlineVector<std::string_view, 16> seen;
  for (int i = 0; i < msg.HeaderCount(); ++i) {
    const auto [name, value] = msg.HeaderItem(i);
    if (SeenNoCase(seen, name)) continue;
    if (!seen.empty()) out += ", ";
    seen.push_back(name);
    AppendJsonString(out, name);
    out += ": ";
    AppendJsonString(out, HeaderValue(msg, name, value));
  }
  out += "}, \"sections\": [";
  // What follows the final closing brace counts as a section to the parser; it holds no items.
  int count = msg.SectionCount();
  if (count > 0) {
    const auto last = msg.msgCollection(count - 1);
    if (last && last->Count() == 0) --count;
  }
  for (int s = 0; s < count; ++s) {
    if (s > 0) out += ", ";
    out += "{\"name\": ";
    AppendJsonString(out, msg.SectionName(s));
    out += ", \"items\": {";
    const auto items = msg.msgCollection(s);
    for (int i = 1; i <= items->Count(); ++i) {
      const std::string_view line = *items->Item(i);
      const size_t eq = line.find('=');
      if (i > 1) out += ", ";
      AppendJsonString(out, TrimSpaces(line.substr(0, eq)));
      out += ": ";
      AppendJsonString(out, line.substr(eq + 1));
    }
    out += "}}";
  }
  out += "]}";
  return out;
}

std::optional<std::string> XapFromJson(std::string_view payload, const XapDefaults& defaults,
                                       std::string* reason) {
  try {
    if (payload.size() > kMaxXapText) throw Refusal{"payload larger than a datagram"};
    std::string error;
    const std::optional<JsonValue> doc = ParseJson(payload, &error);
    if (!doc) throw Refusal{"not JSON: " + error};
    if (doc->kind != JsonValue::Kind::Object) throw Refusal{"not a JSON object"};
    const JsonValue* header = doc->Find("header");
    if (header == nullptr || header->kind != JsonValue::Kind::Object) {
      throw Refusal{"no \"header\" object"};
    }
    XapMessage msg;
    msg.MsgClass.clear();
    msg.msgSource = defaults.source;
    msg.MsgUID = defaults.uid;
    msg.MsgTarget.clear();
    std::vector<std::string_view> seen;
    for (const auto& [name, value] : header->members) {
      if (SeenNoCase(seen, name)) throw Refusal{"header item " + Quoted(name) + " given twice"};
      seen.push_back(name);
      HeaderText* field = nullptr;
      if (EqualsNoCase(name, "class")) {
        field = &msg.MsgClass;
      } else if (EqualsNoCase(name, "source")) {
        field = &msg.msgSource;
      } else if (EqualsNoCase(name, "uid")) {
        field = &msg.MsgUID;
      } else if (EqualsNoCase(name, "target")) {
        field = &msg.MsgTarget;
      } else if (!EqualsNoCase(name, "v") && !EqualsNoCase(name, "hop")) {
        throw Refusal{"unknown header item " + Quoted(name)};
      }
      const std::string& text = TextOf(value, "header item " + Quoted(name));
      if (field == nullptr) continue;  // every message goes out as v=12, hop=1
      if (BadName(text)) throw Refusal{"header item " + Quoted(name) + " is empty or unusable"};
      *field = text;
    }
    if (msg.MsgClass.empty()) throw Refusal{"no header class"};
    const JsonValue* sections = doc->Find("sections");
    if (sections == nullptr || sections->kind != JsonValue::Kind::Array ||
        sections->elements.empty()) {
      throw Refusal{"no \"sections\" array with a section"};
    }
    for (const auto& [name, value] : doc->members) {
      if (name != "header" && name != "sections") throw Refusal{"unknown member " + Quoted(name)};
    }
    msg.AddHeader();
    std::vector<std::string_view> sectionNames;
    for (const JsonValue& section : sections->elements) {
      const JsonValue* name = section.Find("name");
      const JsonValue* items = section.Find("items");
      if (section.kind != JsonValue::Kind::Object || name == nullptr ||
          name->kind != JsonValue::Kind::String || items == nullptr ||
          items->kind != JsonValue::Kind::Object) {
        throw Refusal{"a section needs a \"name\" string and an \"items\" object"};
      }
      if (BadName(name->text)) throw Refusal{"section name " + Quoted(name->text) + " is unusable"};
      if (SeenNoCase(sectionNames, name->text)) {
        throw Refusal{"section " + Quoted(name->text) + " given twice"};
      }
      sectionNames.push_back(name->text);
      msg.AddSection(name->text);
      std::vector<std::string_view> itemNames;
      for (const auto& [item, value] : items->members) {
        const std::string what = "item " + Quoted(item) + " of section " + Quoted(name->text);
        if (BadName(item)) throw Refusal{what + " has an unusable name"};
        // The parser reads item names without their blanks: " a" and "a" are one name.
        if (SeenNoCase(itemNames, TrimSpaces(item))) throw Refusal{what + " given twice"};
        itemNames.push_back(TrimSpaces(item));
        const std::string& text = TextOf(value, what);
        if (BadValue(text)) throw Refusal{what + " holds a line break"};
        msg.AddItem(name->text, item, text);
      }
    }
    std::string text = msg.ToXap();
    if (text.size() > kMaxXapText) throw Refusal{"the xAP text would be larger than a datagram"};
    return text;
  } catch (const Refusal& r) {
    if (reason != nullptr) *reason = r.reason;
    return std::nullopt;
  }
}

std::optional<std::string> CheckRawXap(std::string_view payload, std::string* reason) {
  auto refuse = [&](const char* why) -> std::optional<std::string> {
    if (reason != nullptr) *reason = why;
    return std::nullopt;
  };
  // A text typed on a command line often loses its final line feed on the way.
  std::string text(payload);
  if (!text.empty() && text.back() != '\n') text += '\n';
  if (text.size() > kMaxXapText) return refuse("text larger than a datagram");
  XapMessage msg;
  msg.FromXap(text);
  if (!msg.Parsed()) return refuse("the first line is not an xap-header");
  if (msg.Faults() > 0) return refuse("a section or item name given twice");
  bool hasClass = false, hasSource = false;
  for (int i = 0; i < msg.HeaderCount(); ++i) {
    const std::string_view name = msg.HeaderItem(i).first;
    hasClass = hasClass || EqualsNoCase(name, "class");
    hasSource = hasSource || EqualsNoCase(name, "source");
  }
  if (!hasClass || !hasSource) return refuse("the header has no class or no source");
  // The header's closing brace opens the first section; a closed section makes one more.
  if (msg.SectionCount() < 2) return refuse("no complete section after the header");
  return text;
}

}  // namespace sablewick
