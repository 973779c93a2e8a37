#include "runner/Objects.h"

namespace runner {
namespace {

struct ObjectClass {
  std::string_view progId;
  vbs::ObjectPtr<vbs::HostObject> (*make)();
};

// ProgID -> factory. Empty for now: the engine's own standard objects are registered by
// the engine itself, the daemon proxy comes with the script host.
constexpr ObjectClass kObjects[] = {
    {"", nullptr},
};

}  // namespace

void RegisterObjects(vbs::Engine& engine) {
  for (const auto& o : kObjects) {
    if (o.make) engine.RegisterProgId(o.progId, o.make);
  }
}

}  // namespace runner
