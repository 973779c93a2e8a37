// CreateObject("Sablewick.Application") in the runner: a new instance in the running daemon,
// reached over D-Bus through a proxy. The proxy takes any member name (the daemon's member
// table decides, without regard to case), turns objects the daemon returns into further
// proxies and the daemon's script errors into the same error numbers here. Releasing the last
// reference to a proxy releases the object in the daemon.
//
// Where the daemon is: the address in $SABLEWICK_ADDRESS (the daemon gives it to every
// process it starts), else the name org.sablewick.Sablewick on the session bus, else the
// default private socket.
#pragma once

#include "engine/HostObject.h"

namespace runner {

// Throws ScriptError 429 (with the reason) when no daemon can be reached.
vbs::ObjectPtr<vbs::HostObject> MakeApplicationProxy();

}  // namespace runner
