// The WScript object of the runner and the objects it hands out (Arguments, StdOut,
// StdErr, StdIn). Each describes its members once, in a Member table.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "engine/Engine.h"

namespace runner {

struct ScriptInfo {
  std::string name;      // file name without folder
  std::string fullName;  // absolute path
  std::vector<std::string> arguments;
};

// Output streams are flushed before each write to the other one, so that a reader of
// both sees them in order.
vbs::ObjectPtr<vbs::HostObject> MakeWScript(vbs::Engine& engine, ScriptInfo info);

}  // namespace runner
