// Brings the script host up and down: script start for the dispatcher, the TCP client, and
// the object server through which other processes create "Sablewick.Application".
#pragma once

#include "core/App.h"

namespace sablewick {

// After InitHW (the process-start shell exists). Failures are logged; the node runs on.
void StartScriptHost(App& app);
// Stops serving scripts: the object server flushes its replies and closes.
void StopScriptHost(App& app);
// Starts Scripts/Startup.vbs (any letter case) when there is one: the place where a user
// makes the subscriptions that must come back at every start. After the object server is up.
void RunStartupScript(App& app);
// Ends the scripts the node started that still run (the last step of shutdown).
void EndScripts(App& app);

}  // namespace sablewick
