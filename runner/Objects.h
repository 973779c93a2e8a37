// The objects CreateObject can make in the runner, by ProgID: one table (Objects.cpp).
#pragma once

#include "engine/Engine.h"

namespace runner {

void RegisterObjects(vbs::Engine& engine);

}  // namespace runner
