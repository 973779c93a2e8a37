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
  std::string hostFullName;  // absolute path of this program (WScript.FullName)
  std::vector<std::string> arguments;
};

// One command-line argument as WScript.Arguments.Named sees it: "/name:value" (a
// String), "/name" (Empty), "/name+" and "/name-" (True, False). `named` is false for
// anything else, and for a path such as /tmp/x.txt (a name holds no '/').
struct NamedArgument {
  bool named = false;
  std::string name;
  vbs::Variant value;
};
NamedArgument ParseNamedArgument(const std::string& arg);

// Output streams are flushed before each write to the other one, so that a reader of
// both sees them in order.
vbs::ObjectPtr<vbs::HostObject> MakeWScript(vbs::Engine& engine, ScriptInfo info);

}  // namespace runner
