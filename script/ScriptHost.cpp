#include "script/ScriptHost.h"

#include "app/Log.h"
#include "app/TcpClient.h"
#include "app/TollkeepForm.h"
#include "script/Dispatcher.h"
#include "script/Process.h"
#include "watchdog/Shell.h"

namespace sablewick {

void StartScriptHost(App& app, TollkeepForm& form) {
  App* a = &app;
  app.dispatcher->StartScript = [a](const std::string& script, int position) {
    if (!a->shell) throw Failure(91, "Object variable not set");
    a->shell->Run(ScriptCommand(*a, script, {std::to_string(position)}));
  };
  form.OnTimestampTimer = [a] {
    if (a->dispatcher) a->dispatcher->ExpireMessages();
  };
  if (!app.tcp) app.tcp = std::make_unique<TcpClient>(app);
  form.OnRemoteClose = [a] {
    if (a->tcp) a->tcp->RemoteClose();
  };
}

void StopScriptHost(App& app) { app.tcp.reset(); }

}  // namespace sablewick
