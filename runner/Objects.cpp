#include "runner/Objects.h"

#include "runner/ApplicationProxy.h"
#include "runner/WshShell.h"

namespace runner {
namespace {

struct ObjectClass {
  std::string_view progId;
  vbs::ObjectPtr<vbs::HostObject> (*make)();
};

// ProgID -> factory. The engine registers its own standard objects itself.
constexpr ObjectClass kObjects[] = {
    {"Sablewick.Application", MakeApplicationProxy},
    {"WScript.Shell", MakeWshShell},
};

}  // namespace

void RegisterObjects(vbs::Engine& engine) {
  for (const auto& o : kObjects) {
    if (o.make) engine.RegisterProgId(o.progId, o.make);
  }
}

}  // namespace runner
