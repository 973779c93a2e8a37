// The objects CreateObject can make in the runner, by ProgID: one table (Objects.cpp).
// A later part adds "Sablewick.Application" (a D-Bus proxy to the daemon) here.
#pragma once

#include "engine/Engine.h"

namespace runner {

void RegisterObjects(vbs::Engine& engine);

}  // namespace runner
