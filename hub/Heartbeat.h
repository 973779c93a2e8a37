// What the hub reads in a datagram: whether it is an xAP heartbeat, and then its class, port
// and interval. Any bytes may arrive here (the hub takes everything on its port), so the
// reader looks only at the header block, never reads past the text, and allocates nothing.
// Standard library only, so that the fuzz entry point takes it alone.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace sablewick::hub {

enum class HeartbeatKind { Alive, Stop };

struct Heartbeat {
  HeartbeatKind kind = HeartbeatKind::Alive;
  uint16_t port = 0;             // 1..65535: where the client receives
  uint32_t intervalSeconds = 0;  // as sent; 0 when missing or not a number
  std::string_view source;       // "source=" as sent (a view into the text), may be empty
};

// The heartbeat's interval bounds the hub keeps to: a missing, zero or unreadable interval
// counts as the usual 60 s; anything longer than an hour counts as an hour.
inline constexpr uint32_t kDefaultIntervalSeconds = 60;
inline constexpr uint32_t kMaxIntervalSeconds = 3600;

// A heartbeat the hub acts on: a first block named "xap-hbeat" (any case, blanks and CR LF
// allowed around lines) whose "class=" is xap-hbeat.alive or xap-hbeat.stop (any case;
// xap-hbeat.stopped counts as a stop) and whose "port=" is a number from 1 to 65535. Anything
// else is nullopt (and forwarded all the same: the hub does not filter).
std::optional<Heartbeat> ReadHeartbeat(std::string_view text);

// The interval the hub uses for a heartbeat's announced one (the bounds above).
uint32_t UsedIntervalSeconds(uint32_t announced);

}  // namespace sablewick::hub
