// The hub reads every datagram that reaches port 3639 from anyone on the network: any bytes
// must give a heartbeat whose fields hold what the contract says, or none, never a crash, a
// read past the text or a hang.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "hub/Heartbeat.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace sablewick::hub;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto hb = ReadHeartbeat(text);
  if (!hb) return 0;
  if (hb->port == 0) std::abort();
  // The source is a view into the text.
  if (!hb->source.empty() && (hb->source.data() < text.data() ||
                              hb->source.data() + hb->source.size() > text.data() + size))
    std::abort();
  const uint32_t used = UsedIntervalSeconds(hb->intervalSeconds);
  if (used == 0 || used > kMaxIntervalSeconds) std::abort();
  return 0;
}
