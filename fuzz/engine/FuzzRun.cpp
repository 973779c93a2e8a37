// Compile and run arbitrary bytes with a step budget: any input ends, with or without
// an error, and leaves the engine usable.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "engine/Engine.h"

namespace {
// Scripts of the corpus print through WScript.Echo; here it only evaluates its arguments.
class Sink : public vbs::TableObject<Sink> {
 public:
  static constexpr std::string_view kTypeName = "Object";
  static const vbs::Member<Sink> kMembers[];
};
const vbs::Member<Sink> Sink::kMembers[] = {
    {"Echo", vbs::MemberKind::Method, 0, -1,
     [](Sink&, vbs::Args a) {
       for (auto* v : a) (void)vbs::ToString(v->Deref().IsNull() ? vbs::Variant() : *v);
       return vbs::Variant();
     }},
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vbs::Engine engine;
  engine.AddObject("WScript", vbs::MakeObject<Sink>(), false);
  engine.SetStepLimit(200000);
  engine.SetTimeout(2000);
  std::string_view text(reinterpret_cast<const char*>(data), size);
  engine.AddCode(text);
  engine.Error().Clear();
  engine.Eval("1 + 1");
  return 0;
}
