// The scripting object "Sablewick.Application": the one object through which scripts act on
// the program, the network and the machine. Every creation makes a new instance; the program
// keeps one of its own for its whole run.
#pragma once

#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "core/App.h"
#include "engine/HostObject.h"

namespace sablewick {

class XapMessage;

class Application : public vbs::TableObject<Application> {
 public:
  static constexpr std::string_view kTypeName = "Application";
  static const std::span<const vbs::Member<Application>> kMembers;

  explicit Application(App& app);

  void SendUDPMessage(std::string_view sData);
  void SendXapMessage(std::string_view sTarget, std::string_view sClass, std::string_view sSection,
                      std::string_view sData, std::string_view sSubaddress,
                      std::string_view sUIDIn, std::string_view sTargetSubaddress);
  void WriteLog(std::string_view c, std::string_view Message);
  std::string GetIniSetting(std::string_view Group, std::string_view Key,
                            std::string_view Default, std::string_view File);
  void SaveIniSetting(std::string_view Group, std::string_view Key, std::string_view Value,
                      std::string_view File);
  std::string GetINISection(std::string_view Group, std::string_view File);
  std::string GetAppPath() const;

  void SelectXapMessage(std::string_view sTarget, std::string_view sClass,
                        std::string_view sSection, std::string_view sSource,
                        std::string_view sScriptIn);
  // The next queued message of the subscription at the position the text starts with; null
  // when there is none.
  std::shared_ptr<XapMessage> GetXapMessage(std::string_view sScriptHandle);
  void DeSelectXapMessage(std::string_view sTarget, std::string_view sClass,
                          std::string_view sSection, std::string_view sSource,
                          std::string_view sScript);
  void SendTCP(std::string_view sIP, int32_t iPort, std::string_view sData);
  // Holds the whole program for the number of milliseconds the text starts with.
  void WaitMilliseconds(std::string_view Milliseconds);
  // Writes the job file "~<name>.wsf" into Scripts/ and returns its name.
  std::string WrapWSF(std::string_view sScriptName, std::string_view sProcedure,
                      std::string_view sScriptParm);
  // Loads the file into module "M1" of the shared engine and runs its "main".
  void Run(std::string_view sFilename);
  vbs::Variant Runex(std::string_view sFilename, std::string_view sProcedure,
                     std::string_view sParameter);
  // Writes the job file and starts it with the script runner; the started process.
  vbs::Variant Spawn(std::string_view sScriptName, std::string_view sProcedure,
                     std::string_view sScriptParm);

  const std::string& LogFile() const { return logFile_; }

 private:
  // The table kMembers views: sized only in the .cpp, so nothing else iterates it.
  static const vbs::Member<Application> kMemberTable[];
  void InitScriptControl();
  std::string IniPath(std::string_view file) const;

  App& app_;
  std::string logFile_;
};

}  // namespace sablewick
