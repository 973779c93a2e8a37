#include "hub/Heartbeat.h"

#include <algorithm>
#include <cstddef>

namespace sablewick::hub {
namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// A whole decimal number (no sign, no blanks inside), saturated at 2^32; nullopt for anything
// else.
std::optional<uint64_t> Number(std::string_view s) {
  if (s.empty()) return std::nullopt;
  uint64_t n = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    n = std::min<uint64_t>(n * 10 + static_cast<uint64_t>(c - '0'), uint64_t{1} << 32);
  }
  return n;
}

// Takes the next line (without its "\n") off the front of the text.
std::string_view NextLine(std::string_view& text) {
  const size_t end = text.find('\n');
  const std::string_view line = text.substr(0, end);
  text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
  return line;
}

}  // namespace

std::optional<Heartbeat> ReadHeartbeat(std::string_view text) {
  // The block's name, then its "{" (on its own line, as xAP writes it; some senders leave
  // blank lines or blanks around it).
  std::string_view line;
  do {
    if (text.empty()) return std::nullopt;
    line = Trim(NextLine(text));
  } while (line.empty());
  if (!EqualNoCase(line, "xap-hbeat")) return std::nullopt;
  do {
    if (text.empty()) return std::nullopt;
    line = Trim(NextLine(text));
  } while (line.empty());
  if (line != "{") return std::nullopt;

  // The class: 0 none (or another one), 1 alive, 2 stop.
  int kind = 0;
  std::optional<uint32_t> port;
  uint32_t interval = 0;
  std::string_view source;
  // A block cut short (no "}") is taken too: some hubs cut long datagrams, and the header
  // lines that did arrive say all the hub needs.
  while (!text.empty()) {
    line = Trim(NextLine(text));
    if (line == "}") break;
    const size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    const std::string_view key = Trim(line.substr(0, eq));
    const std::string_view value = Trim(line.substr(eq + 1));
    if (EqualNoCase(key, "class")) {
      // "xap-hbeat.stopped" is what clients built on one Node.js xAP framework send.
      kind = EqualNoCase(value, "xap-hbeat.alive")                                             ? 1
             : EqualNoCase(value, "xap-hbeat.stop") || EqualNoCase(value, "xap-hbeat.stopped") ? 2
                                                                                               : 0;
    } else if (EqualNoCase(key, "port")) {
      const auto n = Number(value);
      port = n && *n <= 65535 ? std::optional<uint32_t>(static_cast<uint32_t>(*n)) : std::nullopt;
    } else if (EqualNoCase(key, "interval")) {
      interval = static_cast<uint32_t>(std::min<uint64_t>(Number(value).value_or(0), 0xffffffffu));
    } else if (EqualNoCase(key, "source")) {
      source = value;
    }
  }
  if (kind == 0 || !port || *port == 0) return std::nullopt;
  return Heartbeat{kind == 1 ? HeartbeatKind::Alive : HeartbeatKind::Stop,
                   static_cast<uint16_t>(*port), interval, source};
}

uint32_t UsedIntervalSeconds(uint32_t announced) {
  if (announced == 0) return kDefaultIntervalSeconds;
  return announced > kMaxIntervalSeconds ? kMaxIntervalSeconds : announced;
}

}  // namespace sablewick::hub
