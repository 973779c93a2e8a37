// "WScript.Shell" in the runner: Run, Exec, Environment, ExpandEnvironmentStrings,
// CurrentDirectory.
#pragma once

#include "engine/HostObject.h"

namespace runner {

vbs::ObjectPtr<vbs::HostObject> MakeWshShell();

}  // namespace runner
