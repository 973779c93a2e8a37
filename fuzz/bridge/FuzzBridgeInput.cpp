// Anyone who may publish to the broker reaches these: the JSON reader, the JSON and raw
// payloads for xAP, and the commands for BSC endpoints. Nothing may harm the node, whatever
// is accepted must be a sound xAP text, and the JSON written for any received bytes must read
// back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "bridge/Bsc.h"
#include "bridge/Json.h"
#include "bridge/Mapping.h"
#include "xap/XapMessage.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace sablewick;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string reason;
  ParseJson(text, &reason);

  if (auto xap = XapFromJson(text, {"Orbel.Script.fuzz", "FF00E800"}, &reason)) {
    Check(CheckRawXap(*xap, &reason).has_value());
  }
  if (auto raw = CheckRawXap(text, &reason)) {
    XapMessage msg;
    msg.FromXap(*raw);
    Check(msg.Parsed() && msg.Faults() == 0);
  }

  XapMessage received;
  received.FromXap(text);
  const std::string json = MessageJson(received);
  if (!json.empty()) Check(ParseJson(json, &reason).has_value());

  BscDirectory bsc("xap", "homeassistant", "xap/status/n", 4);
  bsc.Observe(received);
  XapMessage lamp;
  lamp.FromXap("xap-header\n{\nclass=xAPBSC.info\nsource=a.b.c:1\n}\noutput.state\n{\nState=on\nLevel=1/2\n}\n");
  bsc.Observe(lamp);
  if (auto cmd = bsc.FromCommand("xap/bsc/a.b.c:1/set", text, &reason)) {
    Check(cmd->target == "a.b.c:1");
  }
  return 0;
}
