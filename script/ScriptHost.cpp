#include "script/ScriptHost.h"

#include <sys/stat.h>

#include <cstdlib>

#include "core/Log.h"
#include "core/Paths.h"
#include "script/TcpClient.h"
#include "engine/Engine.h"
#include "script/Application.h"
#include "script/Control.h"
#include "script/Dispatcher.h"
#include "script/ObjectServer.h"
#include "script/ScriptObjects.h"
#include "script/Process.h"
#include "script/RunJournal.h"
#include "script/ScriptStarter.h"
#include "ini/IniTool.h"
#include "watchdog/Shell.h"

namespace sablewick {
namespace {

// [Scripts] MaxRunSeconds in Sablewick.ini: the wall-clock limit of a run, 0 for none.
unsigned ReadMaxRunSeconds(App& app) {
  IniTool ini(app);
  try {
    ini.Load(app.AppPath + "/Config/Sablewick.ini");
  } catch (...) {
    SetPendingError(app, 0);
    LogToFile(app, "Sablewick", "[Scripts] MaxRunSeconds not read; no limit");
    return 0;
  }
  const std::string text = ini.Read("Scripts", "MaxRunSeconds", "0");
  char* end = nullptr;
  const long seconds = std::strtol(text.c_str(), &end, 10);
  if (end == text.c_str() || *end != '\0' || seconds < 0 || seconds > 86400 * 365) {
    LogToFile(app, "Sablewick", "[Scripts] MaxRunSeconds=" + text + " is not a number of seconds; no limit");
    return 0;
  }
  return static_cast<unsigned>(seconds);
}

}  // namespace

void ApplyScriptSettings(App& app) {
  if (!app.starter) return;
  app.starter->SetMaxRunSeconds(ReadMaxRunSeconds(app));
  try {
    IniTool ini(app);
    ini.Load(app.AppPath + "/Config/Sablewick.ini");
    app.starter->SetMaxOutputPerMinute(
        CountSetting(app, "Scripts", "MaxOutputKBPerMinute",
                     ini.Read("Scripts", "MaxOutputKBPerMinute", ""),
                     ScriptStarter::kDefaultOutputPerMinute / 1024) *
        1024);
  } catch (...) {
    SetPendingError(app, 0);
    LogToFile(app, "Sablewick", "[Scripts] MaxOutputKBPerMinute not read");
  }
}

size_t RemoveAllSubscriptions(App& app) {
  if (!app.dispatcher) return 0;
  const size_t count = app.dispatcher->Subscriptions.size();
  app.dispatcher->Subscriptions.clear();
  return count;
}

void StartScriptHost(App& app) {
  App* a = &app;
  if (!app.runs) app.runs = std::make_unique<RunJournal>();
  if (!app.starter) app.starter = std::make_unique<ScriptStarter>(app, *app.runs);
  ApplyScriptSettings(app);
  app.dispatcher->StartScript = [a](const std::string& script, int position) {
    if (!a->starter) throw Failure(91, "Object variable not set");
    a->starter->StartForMessages(script, position);
  };
  app.dispatcher->HandlerIdle = [a](int position) {
    return a->starter && a->starter->Idle(position);
  };
  if (!app.tcp) app.tcp = std::make_unique<TcpClient>(app);

  app.objectServer = std::make_unique<ObjectServer>(
      app, [a]() -> vbs::ObjectPtr<vbs::HostObject> { return vbs::MakeObject<Application>(*a); });
  RegisterScriptClasses(*app.objectServer);
  if (!app.control) app.control = std::make_unique<Control>(app);
  app.control->Serve(*app.objectServer);
  if (app.objectServer->Start()) {
    app.busAddress = app.objectServer->Address();
    // Every process the program starts learns where to find it.
    if (app.shell) app.shell->SetEnvironment("SABLEWICK_ADDRESS", app.busAddress);
  }
}

void StopScriptHost(App& app) {
  app.objectServer.reset();
  app.control.reset();
  app.tcp.reset();
}

std::string StartupScriptPath(App& app) {
  const std::string path = ResolveCaseInsensitive(app.AppPath + "/Scripts/startup.vbs");
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
  return path;
}

pid_t RunStartupScript(App& app, const std::string& when) {
  pid_t pid = 0;
  StepRunner step(app, "Sablewick", "Startup script", ReportVia::Log);
  step([&] {
    const std::string path = StartupScriptPath(app);
    if (path.empty()) return;
    if (!app.starter || app.busAddress.empty()) {
      throw Failure(kGenericFailure, BaseName(path) + " not started: the object server is not up");
    }
    pid = app.starter->StartScript(path);
    LogToFile(app, "Sablewick",
              "Started " + BaseName(path) + "[" + std::to_string(pid) + "] " + when +
                  ": the start-up script " + path +
                  " runs at every start and at every reload (sablewick-ctl reload or SIGHUP)");
  });
  return pid;
}

void EndScripts(App& app) {
  if (app.starter) app.starter->EndAll();
  app.starter.reset();
}

}  // namespace sablewick
