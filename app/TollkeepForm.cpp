#include "app/TollkeepForm.h"

#include <unistd.h>

#include <array>

#include "app/Log.h"
#include "app/Paths.h"
#include "ini/IniTool.h"
#include "script/Application.h"
#include "script/Dispatcher.h"
#include "watchdog/Recovery.h"
#include "watchdog/Shell.h"
#include "watchdog/WDT.h"
#include "watchdog/WatchedDevices.h"
#include "xap/SendHelper.h"
#include "xap/Transport.h"

namespace sablewick {
namespace {

// Str() of the date-less numbers in the start-up texts: a leading blank for non-negatives.
std::string BasicStr(int32_t n) {
  std::string s(n >= 0 ? " " : "");
  s += std::to_string(n);
  return s;
}

}  // namespace

const std::string& LocalComputerName(App& app) {
  if (app.ComputerName.empty()) {
    std::array<char, 129> name{};
    if (::gethostname(name.data(), 128) == 0) app.ComputerName = name.data();
  }
  return app.ComputerName;
}

void TollkeepForm::InitXap() {
  StepRunner step(app_, "Sablewick", "InitXap", ReportVia::Log);
  step([&] { LocalComputerName(app_); });
  step([&] { app_.AppPath = DirName(app_.ExePath); });
  step([&] { app_.AppPath = ResolveAppPath(app_.AppPath); });
  step([&] { app_.ProgramPath = app_.AppPath + "/" + BaseName(app_.ExePath); });
  step([&] {
    CreateFolders(app_, app_.AppPath + "/Config/x");
    CreateFolders(app_, app_.AppPath + "/Data/x");
  });
  step([&] { app_.ProgramPath = NetworkPathRule(app_.ProgramPath); });
  IniTool ini(app_);
  step([&] {
    ini.Load(app_.AppPath + "/Config/Drumlin.ini");
    app_.InterfaceAddress = ini.Read("Interface", "InterfaceAddress", "Default");
    app_.BroadcastAddress = ini.Read("Interface", "BroadcastAddress", "Default");
  });
  step([&] {
    ini.Load(app_.AppPath + "/Config/Sablewick.ini");
    std::string uid = ini.Read("General", "UID", "FF00E800");
    std::erase(uid, '"');
    app_.UID = uid;
  });
  step([&] { app_.application = std::make_unique<Application>(app_); });
}

bool TollkeepForm::Form_Load() {
  app_.xapReady = false;
  app_.dispatcher = std::make_unique<Dispatcher>(app_);
  app_.dispatcher->Dispatching = false;
  InitXap();

  app_.xap = std::make_unique<XapTransport>(app_);
  XapTransport& xap = *app_.xap;
  xap.OnAlive = [this] { CheckWatchdogs(app_); };
  xap.RegisterNewMessageCallback([this] { onMessage(); });
  xap.SetXapSource("Orbel.Script." + app_.ComputerName);
  xap.SetXapUID(app_.UID);
  xap.BroadcastAddress = app_.BroadcastAddress;
  xap.InterfaceAddress = app_.InterfaceAddress;
  xap.FilterHeartbeats = true;
  app_.sink = &xap;

  const int32_t port = xap.Init();
  if (port <= 0) {
    LogToFile(app_, "Sablewick", "xAP Init Error " + BasicStr(port) + " occurred");
    return false;
  }
  xap.SendHeartbeat(60);
  app_.xapReady = true;
  ReportEvent(app_, "Sablewick", "Using xAP port " + BasicStr(port));

  InitHW();
  return true;
}

void TollkeepForm::InitHW() {
  StepRunner step(app_, "Sablewick", " InitHW: ", ReportVia::Event);
  step([&] { app_.shell = std::make_shared<Shell>(); });
  step([&] {
    // Timer2 belongs with the recovery settings; it is made here, disabled.
    if (!app_.recovery) app_.recovery = std::make_shared<Recovery>(app_);
    app_.recovery->BuildIniTables();
  });
  InitIniKeys();
  InitApplication();
}

void TollkeepForm::InitIniKeys() {
  StepRunner step(app_, "Sablewick", "InitIniKeys", ReportVia::Event);
  step([&] {
    if (!app_.application) throw Failure(91, "Object variable not set");
    app_.UID = app_.application->GetIniSetting("General", "UID", "FF00E800", "Sablewick.ini");
  });
}

void TollkeepForm::InitApplication() {
  StepRunner step(app_, "Sablewick", "InitApplication", ReportVia::Event);
  step([&] { app_.StartupTime = app_.clock->Now(); });
  step([&] { app_.WatchedDevices = std::make_shared<WatchedDeviceTable>(); });
}

void TollkeepForm::SwapIcons() {}

void TollkeepForm::Timer1_Timer() {}

void TollkeepForm::onMessage() {
  if (app_.dispatcher) app_.dispatcher->onMessage();
}

void TollkeepForm::Form_Unload() {
  // Transport, then the scripting object; faults here must not stop the shutdown.
  app_.sink = nullptr;
  app_.xap.reset();
  app_.application.reset();
}

}  // namespace sablewick
