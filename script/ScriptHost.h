// Brings the script host up and down: script start for the dispatcher, the TCP client, and
// the object server through which other processes create "Sablewick.Application".
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

#include "core/App.h"

namespace sablewick {

// After InitHW (the process-start shell exists). Failures are logged; the node runs on.
void StartScriptHost(App& app);
// Stops serving scripts: the object server flushes its replies and closes.
void StopScriptHost(App& app);
// Starts Scripts/Startup.vbs (any letter case) when there is one: the place where a user
// makes the subscriptions that must come back at every start (and at every reload). After the
// object server is up. when: "at start", "again by the reload", for the log line that names
// the script and its process. Its process id; 0 when there is no such file or it failed
// (logged).
pid_t RunStartupScript(App& app, const std::string& when = "at start");
// The start-up script's path as found on disk; empty when there is none.
std::string StartupScriptPath(App& app);
// [Scripts] MaxRunSeconds and MaxOutputKBPerMinute read again and handed to the starter.
void ApplyScriptSettings(App& app);
// Removes every subscription, as `sablewick-ctl unsubscribe` does for one: their queued
// messages stay in the store until they expire. The number removed.
size_t RemoveAllSubscriptions(App& app);
// Ends the scripts the node started that still run (the last step of shutdown).
void EndScripts(App& app);

}  // namespace sablewick
