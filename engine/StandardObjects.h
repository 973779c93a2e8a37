// Objects scripts create with CreateObject that the engine itself provides, registered by
// ProgID in one table (StandardObjects.cpp). Hosts add their own with RegisterProgId.
#pragma once

#include <span>
#include <string_view>

#include "engine/HostObject.h"

namespace vbs {

class Interpreter;

struct StandardObject {
  std::string_view progId;
  ObjectPtr<HostObject> (*make)(Interpreter& vm);
};

std::span<const StandardObject> StandardObjects();

}  // namespace vbs
