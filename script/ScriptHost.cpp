#include "script/ScriptHost.h"

#include "app/Log.h"
#include "app/TcpClient.h"
#include "app/TollkeepForm.h"
#include "engine/Engine.h"
#include "script/Application.h"
#include "script/Dispatcher.h"
#include "script/ObjectServer.h"
#include "script/ScriptObjects.h"
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

  app.objectServer = std::make_unique<ObjectServer>(
      app, [a]() -> vbs::ObjectPtr<vbs::HostObject> { return vbs::MakeObject<Application>(*a); });
  RegisterScriptClasses(*app.objectServer);
  if (app.objectServer->Start()) {
    app.busAddress = app.objectServer->Address();
    // Every process the program starts learns where to find it.
    if (app.shell) app.shell->SetEnvironment("SABLEWICK_ADDRESS", app.busAddress);
  }
}

void StopScriptHost(App& app) {
  app.objectServer.reset();
  app.tcp.reset();
}

}  // namespace sablewick
