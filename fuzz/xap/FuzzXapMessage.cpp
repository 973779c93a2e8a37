// Any bytes a hub forwards reach the parser: it must take them without harm, and whatever it
// accepts must survive the lookups and a compose round trip.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "xap/XapMessage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  sablewick::XapMessage m;
  m.FromXap(text);
  for (const std::string& name : m.MsgSection()) {
    m.CompareSection(name);
    m.GetItem(name, "state");
  }
  for (int i = -1; i <= m.SectionCount(); ++i) {
    if (auto c = m.msgCollection(i)) c->Lines();
  }
  // A subscription's prepared filter decides as the general comparison does.
  if (sablewick::XapMessage::CompareAddress(m.MsgTarget, m.msgSource) !=
      m.MatchSource(sablewick::XapFilter(m.MsgTarget))) {
    __builtin_trap();
  }
  sablewick::XapMessage out;
  out.MsgClass = m.MsgClass;
  out.AddHeader();
  out.AddSection(m.msgSource);
  out.AddItem("", m.MsgUID, m.MsgTarget);
  out.ToXap();
  return 0;
}
