#include "script/Application.h"

#include <sys/stat.h>

#include <cstdio>

#include "app/FastString.h"
#include "app/Log.h"
#include "app/Paths.h"
#include "ini/IniTool.h"
#include "xap/SendHelper.h"
#include "xap/Transport.h"

namespace sablewick {

Application::Application(App& app) : app_(app), logFile_(LogFilePath(app)) {
  CreateFolders(app_, logFile_);
  struct stat st {};
  if (::stat(logFile_.c_str(), &st) != 0) {
    if (FILE* f = std::fopen(logFile_.c_str(), "ab")) std::fclose(f);
  }
  InitScriptControl();
}

void Application::InitScriptControl() {
  // The shared in-process engine is set up here once the script host is in place.
}

std::string Application::IniPath(std::string_view file) const {
  return JoinRelative(app_.AppPath + "/Config", file);
}

void Application::SendUDPMessage(std::string_view sData) {
  if (!app_.xap) throw Failure(kGenericFailure, "the xAP transport is not running");
  app_.xap->SendRawXap(sData);
}

void Application::SendXapMessage(std::string_view sTarget, std::string_view sClass,
                                 std::string_view sSection, std::string_view sData,
                                 std::string_view sSubaddress, std::string_view sUIDIn,
                                 std::string_view sTargetSubaddress) {
  StepRunner step(app_, "Sablewick", "SendXapMessage", ReportVia::Event);
  step([&] {
    SendXap(app_, sTarget, sClass, sSection, sData, sSubaddress, sUIDIn, sTargetSubaddress);
  });
}

void Application::WriteLog(std::string_view c, std::string_view Message) {
  const std::string time = FormatGeneralDate(app_.clock->Now());
  try {
    SendXap(app_, "", "Homeseer.Event", "Event.Log",
            ItemList({{"Time", time}, {"Type", c}, {"Data", Message}}));
  } catch (...) {
    std::string line = time + "\t" + std::string(c) + "\t" + std::string(Message) + "\r\n";
    if (FILE* f = std::fopen(logFile_.c_str(), "ab")) {
      std::fwrite(line.data(), 1, line.size(), f);
      std::fclose(f);
    }
  }
}

std::string Application::GetIniSetting(std::string_view Group, std::string_view Key,
                                       std::string_view Default, std::string_view File) {
  IniTool ini(app_);
  ini.Load(IniPath(File));
  return ini.Read(Group, Key, Default);
}

void Application::SaveIniSetting(std::string_view Group, std::string_view Key,
                                 std::string_view Value, std::string_view File) {
  IniTool ini(app_);
  ini.Load(IniPath(File));
  ini.WriteKey(Group, Key, Value);
  ini.Save();
}

std::string Application::GetINISection(std::string_view Group, std::string_view File) {
  IniTool ini(app_);
  ini.Load(IniPath(File));
  FastString text;
  for (const std::string& key : ini.Keys(Group)) {
    text.Add(std::string_view("\0", 1));
    text.Add(key);
    text.Add("=");
    text.Add(ini.Read(Group, key, ""));
  }
  return std::string(text.View().substr(text.View().empty() ? 0 : 1));
}

std::string Application::GetAppPath() const { return DirName(app_.ExePath); }

}  // namespace sablewick
