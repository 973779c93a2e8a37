#include "ctl/Output.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <map>

namespace sablewick::ctl {

using vbs::Variant;
using vbs::VarType;

std::vector<Variant> Items(const Variant& array) {
  const Variant& a = array.Deref();
  if (!a.IsArray() || a.AsArray()->bounds.size() != 1) return {};
  return a.AsArray()->data;
}

Fields FieldsOf(const Variant& record) {
  Fields out;
  const std::vector<Variant> items = Items(record);
  for (size_t i = 0; i + 1 < items.size(); i += 2)
    out.emplace_back(items[i].IsString() ? vbs::EncodeExternal(items[i].AsString()) : std::string(),
                     items[i + 1]);
  return out;
}

const Variant& Field(const Fields& fields, std::string_view name) {
  static const Variant empty;
  for (const auto& [n, v] : fields)
    if (n == name) return v;
  return empty;
}

namespace {

// Length of the valid UTF-8 sequence at s[i], or 0.
size_t Utf8Length(std::string_view s, size_t i) {
  const auto c = static_cast<unsigned char>(s[i]);
  size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
  if (n == 0 || i + n > s.size()) return 0;
  for (size_t k = 1; k < n; ++k)
    if ((static_cast<unsigned char>(s[i + k]) >> 6) != 2) return 0;
  return n;
}

// Exactly the value: whole numbers as integers, others in the shortest form that reads back
// as the same double (a time of day keeps its fraction of a second).
std::string Number(double d) {
  if (!std::isfinite(d)) return "null";
  char buf[64];
  if (d == std::floor(d) && std::fabs(d) < 9007199254740992.0) {
    std::snprintf(buf, sizeof buf, "%.0f", d);
    return buf;
  }
  const auto r = std::to_chars(buf, buf + sizeof buf, d);
  return std::string(buf, r.ptr);
}

double AsNumber(const Variant& v) {
  switch (v.Type()) {
    case VarType::Integer:
    case VarType::Long:
    case VarType::Byte:
    case VarType::Error:
      return vbs::ToDouble(v);
    default:
      return v.AsDouble();
  }
}

}  // namespace

std::string TerminalSafe(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  char buf[8];
  for (size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    const size_t n = Utf8Length(text, i);
    if (n == 0) {
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
      ++i;
    } else if (n == 2 && c == 0xc2 && static_cast<unsigned char>(text[i + 1]) < 0xa0) {
      std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned char>(text[i + 1]));
      out += buf;
      i += 2;
    } else if (n == 1 && (c < 0x20 || c == 0x7f) && c != '\t') {
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
      ++i;
    } else {
      out.append(text, i, n);
      i += n;
    }
  }
  return out;
}

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (size_t i = 0; i < text.size();) {
    const char c = text[i];
    const size_t n = Utf8Length(text, i);
    if (n == 0) {
      out += "\\ufffd";  // a byte that is not UTF-8
      ++i;
      continue;
    }
    if (n > 1) {
      out.append(text, i, n);
      i += n;
      continue;
    }
    ++i;
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

namespace {

// One walk for both forms: JSON, or text as a person reads it.
std::string Render(const Variant& value, bool json) {
  const Variant& v = value.Deref();
  switch (v.Type()) {
    case VarType::Empty:
    case VarType::Null:
      return json ? "null" : "";
    case VarType::Boolean:
      return json ? (v.AsBoolean() ? "true" : "false") : (v.AsBoolean() ? "yes" : "no");
    case VarType::String:
      return json ? JsonString(vbs::EncodeExternal(v.AsString()))
                  : vbs::EncodeExternal(v.AsString());
    case VarType::Array: {
      std::string out;
      for (const Variant& item : Items(v)) {
        if (!out.empty()) out += ",";
        out += Render(item, json);
      }
      return json ? "[" + out + "]" : out;
    }
    case VarType::Integer:
    case VarType::Long:
    case VarType::Single:
    case VarType::Double:
    case VarType::Byte:
      return Number(AsNumber(v));
    default:
      return json ? JsonString(vbs::ToExternal(v)) : vbs::ToExternal(v);
  }
}

}  // namespace

std::string Json(const Variant& value) { return Render(value, true); }
std::string Plain(const Variant& value) { return Render(value, false); }

std::string JsonList(const std::vector<Variant>& records) {
  std::string out;
  for (const Variant& r : records) out += (out.empty() ? "" : ",") + JsonObject(FieldsOf(r));
  return "[" + out + "]";
}

std::string JsonObject(const Fields& fields, bool nest) {
  if (!nest) {
    std::string out = "{";
    for (const auto& [name, value] : fields) {
      if (out.size() > 1) out += ",";
      out += JsonString(name) + ":" + Json(value);
    }
    return out + "}";
  }
  // Groups keep the place of their first field.
  std::vector<std::string> order;
  std::map<std::string, Fields> groups;
  Fields top;
  for (const auto& [name, value] : fields) {
    const size_t dot = name.find('.');
    if (dot == std::string::npos) {
      order.push_back(name);
      top.emplace_back(name, value);
      continue;
    }
    const std::string group = name.substr(0, dot);
    if (!groups.count(group)) order.push_back("." + group);
    groups[group].emplace_back(name.substr(dot + 1), value);
  }
  std::string out = "{";
  for (const std::string& key : order) {
    if (out.size() > 1) out += ",";
    if (key[0] == '.') {
      out += JsonString(key.substr(1)) + ":" + JsonObject(groups[key.substr(1)], true);
    } else {
      out += JsonString(key) + ":" + Json(Field(top, key));
    }
  }
  return out + "}";
}

std::string Duration(double seconds) {
  auto s = static_cast<long long>(seconds < 0 ? 0 : seconds);
  char buf[64];
  if (s >= 86400)
    std::snprintf(buf, sizeof buf, "%lldd %02lldh %02lldm %02llds", s / 86400, s / 3600 % 24,
                  s / 60 % 60, s % 60);
  else if (s >= 3600)
    std::snprintf(buf, sizeof buf, "%lldh %02lldm %02llds", s / 3600, s / 60 % 60, s % 60);
  else if (s >= 60)
    std::snprintf(buf, sizeof buf, "%lldm %02llds", s / 60, s % 60);
  else
    std::snprintf(buf, sizeof buf, "%.1fs", seconds < 0 ? 0 : seconds);
  return buf;
}

std::string LocalTime(double unixSeconds, bool withDate) {
  const auto whole = static_cast<time_t>(std::floor(unixSeconds));
  const int ms = static_cast<int>((unixSeconds - std::floor(unixSeconds)) * 1000);
  tm t{};
  ::localtime_r(&whole, &t);
  char buf[64];
  std::strftime(buf, sizeof buf, withDate ? "%Y-%m-%d %H:%M:%S" : "%H:%M:%S", &t);
  char out[80];
  std::snprintf(out, sizeof out, "%s.%03d", buf, ms);
  return out;
}

}  // namespace sablewick::ctl
