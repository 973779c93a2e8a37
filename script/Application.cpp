#include "script/Application.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>

#include "core/CWaitNDispatch.h"
#include "core/FastString.h"
#include "script/TcpClient.h"
#include "core/Text.h"
#include "core/PrivateFiles.h"
#include "engine/Engine.h"
#include "script/Dispatcher.h"
#include "script/Process.h"
#include "script/Script.h"
#include "script/ScriptStarter.h"
#include "xap/XapMessage.h"
#include "core/Log.h"
#include "core/Paths.h"
#include "ini/IniTool.h"
#include "xap/SendHelper.h"
#include "xap/Transport.h"

namespace sablewick {

void Application::InitScriptControl() {
  StepRunner step(app_, "Sablewick", "InitScriptControl", ReportVia::Event);
  step([&] {
    if (!app_.engine) app_.engine = std::make_unique<vbs::Engine>();
    vbs::Engine& engine = *app_.engine;
    engine.Reset();
    engine.SetLanguage("VBScript");
    engine.SetAllowUI(true);
    // The newest instance answers to both names; every new one drops earlier scripts' code.
    engine.AddObject("hs", vbs::ObjectPtr<vbs::HostObject>(this), true);
    engine.AddObject("xap", vbs::ObjectPtr<vbs::HostObject>(this), true);
    engine.SetTimeout(90000);
    // Scripts share the daemon's process: a runaway one gets error 7 long before the
    // machine runs short.
    engine.SetMemoryLimit(vbs::Engine::ShareOfMemory(size_t{384} << 20, 4));
    App* app = &app_;
    // A daemon never blocks on a dialog: the prompt goes to the log and the default answer
    // comes back at once.
    engine.SetMessageHook([app](const vbs::MessageRequest& r) {
      LogToFile(*app, "Sablewick",
                (r.kind == vbs::MessageRequest::Kind::MsgBox ? "MsgBox " : "InputBox ") +
                    r.prompt);
      return r.kind == vbs::MessageRequest::Kind::MsgBox
                 ? vbs::Variant::Integer(1)
                 : vbs::Variant::String(r.defaultText);
    });
  });
}

void Application::Run(std::string_view sFilename) {
  Script script(app_);
  script.Add(sFilename, "M1");
  script.Run("main", "");
}

vbs::Variant Application::Runex(std::string_view sFilename, std::string_view sProcedure,
                                std::string_view sParameter) {
  Script script(app_);
  script.Add(sFilename, "M1");
  return script.Run(sProcedure, sParameter);
}

std::string Application::IniPath(std::string_view file) const {
  return JoinInside(app_.AppPath + "/Config", file);
}

void Application::SendUDPMessage(std::string_view sData) {
  if (!app_.xap) throw Failure(kGenericFailure, "the xAP transport is not running");
  app_.xap->SendRawXap(sData);
}

void Application::SendXapMessage(std::string_view sTarget, std::string_view sClass,
                                 std::string_view sSection, std::string_view sData,
                                 std::string_view sSubaddress, std::string_view sUIDIn,
                                 std::string_view sTargetSubaddress) {
  // Reported as an event as always; the caller gets the failure too (a message larger than a
  // datagram never went out).
  try {
    SendXapOrThrow(app_, sTarget, sClass, sSection, sData, sSubaddress, sUIDIn,
                   sTargetSubaddress);
  } catch (...) {
    SetPendingError(app_, 1);
    const PendingError failure = app_.Err;
    ReportEvent(app_, "Sablewick", "SendXapMessage");
    throw Failure(failure.number, failure.description);
  }
}

void Application::WriteLog(std::string_view c, std::string_view Message) {
  const std::string time = FormatGeneralDate(app_.clock->Now());
  try {
    SendXapOrThrow(app_, "", "Homeseer.Event", "Event.Log",
                   ItemList({{"Time", time}, {"Type", c}, {"Data", Message}}));
  } catch (...) {
    AppendToLog(app_, time + "\t" + EscapeForLog(c) + "\t" + EscapeForLog(Message) + "\r\n");
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
  try {
    ini.SaveOrThrow();  // reported as an event, and the script gets the error too
  } catch (const Failure& f) {
    // The file errors a script knows by number; the text keeps the reason.
    int32_t number = f.Number();
    if (number == ENOSPC || number == EDQUOT) number = 61;  // Disk full
    if (number == EACCES || number == EPERM || number == EROFS) number = 70;  // Permission denied
    throw Failure(number, f.what());
  }
}

std::string Application::GetINISection(std::string_view Group, std::string_view File) {
  IniTool ini(app_);
  ini.Load(IniPath(File));
  FastString text;
  for (const std::string& key : ini.KeysOrThrow(Group)) {
    text.Add(std::string_view("\0", 1));
    text.Add(key);
    text.Add("=");
    text.Add(ini.Read(Group, key, ""));
  }
  return std::string(text.View().substr(text.View().empty() ? 0 : 1));
}

// The program's folder, or the instance folder when the program lives apart from its files
// (scripts build the paths of Scripts/ and Data/ on it).
std::string Application::GetAppPath() const {
  return app_.InstanceFolder.empty() ? DirName(app_.ExePath) : app_.InstanceFolder;
}

namespace {

void CheckSubscriptionScript(App& app, std::string_view given, const std::string& path) {
  std::string problem;
  if (given.empty()) {
    problem = "the script name is empty";
  } else {
    try {
      ScriptCommand(app, path, {});
    } catch (const std::exception& e) {
      problem = e.what();
    }
  }
  if (problem.empty()) return;
  LogToFile(
      app, "Sablewick",
      "Subscription " + std::to_string(app.dispatcher->Subscriptions.size()) + ": " + problem);
}

}  // namespace

void Application::SelectXapMessage(std::string_view sTarget, std::string_view sClass,
                                   std::string_view sSection, std::string_view sSource,
                                   std::string_view sScriptIn) {
  StepRunner step(app_, "Sablewick", "ReceiveXapMessage", ReportVia::Event);
  step([&] {
    if (!app_.dispatcher) throw Failure(91, "Object variable not set");
    const std::string given = IsAbsolute(sScriptIn)
                                  ? std::string(sScriptIn)
                                  : JoinInside(GetAppPath() + "/Scripts", sScriptIn);
    ScriptVBS sub;
    sub.Target = ToLower(sTarget);
    sub.Schema = ToLower(sClass);
    sub.Section = ToLower(sSection);
    sub.Source = ToLower(sSource);
    // Shown as found on disk (or as written while it is not there); matched without regard
    // to case, as the file system of the scripts' origin did.
    sub.Script = ResolveCaseInsensitive(given);
    for (const ScriptVBS& s : app_.dispatcher->Subscriptions) {
      if (s.Target == sub.Target && s.Source == sub.Source && s.Schema == sub.Schema &&
          s.Section == sub.Section && EqualsNoCase(s.Script, sub.Script)) {
        return;
      }
    }
    sub.Prepare();
    app_.dispatcher->Subscriptions.push_back(std::move(sub));
    // Said now, not only when a message first matches (perhaps hours later).
    CheckSubscriptionScript(app_, sScriptIn, given);
  });
}

std::shared_ptr<XapMessage> Application::GetXapMessage(std::string_view sScriptHandle) {
  try {
    if (!app_.dispatcher) return nullptr;
    const double n = LeadingNumber(sScriptHandle);
    if (!(n >= 1 && n < 2147483648.0)) return nullptr;
    ScriptVBS* sub = app_.dispatcher->SubscriptionAt(static_cast<long>(n));
    if (sub == nullptr || sub->MessageCount() < 1) return nullptr;
    if (app_.starter) app_.starter->NoteFetch(static_cast<int>(n));
    return app_.dispatcher->Store.Find(sub->MessageHandle());
  } catch (...) {
    return nullptr;
  }
}

void Application::DeSelectXapMessage(std::string_view sTarget, std::string_view sClass,
                                     std::string_view sSection, std::string_view,
                                     std::string_view sScript) {
  StepRunner step(app_, "Sablewick", "RemoveXapMessage", ReportVia::Event);
  step([&] {
    if (!app_.dispatcher) return;
    auto& subs = app_.dispatcher->Subscriptions;
    for (auto it = subs.begin(); it != subs.end(); ++it) {
      if (it->Target == sTarget && it->Schema == sClass && it->Section == sSection &&
          EqualsNoCase(it->Script, sScript)) {
        subs.erase(it);
        return;
      }
    }
  });
}

void Application::SendTCP(std::string_view sIP, int32_t iPort, std::string_view sData) {
  if (!app_.tcp) app_.tcp = std::make_unique<TcpClient>(app_);
  app_.tcp->RemoteConnect(sIP, iPort);
  app_.tcp->RemoteSend(sData);
}

void Application::WaitMilliseconds(std::string_view Milliseconds) {
  const double n = std::nearbyint(LeadingNumber(Milliseconds));
  if (!(n > 0)) return;
  // The wait holds the whole program; it is limited to what a 32-bit count can say.
  const int32_t ms = n > 2147483647.0 ? 2147483647 : static_cast<int32_t>(n);
  CWaitNDispatch().Wait(ms);
}

std::string Application::WrapWSF(std::string_view sScriptName, std::string_view sProcedure,
                                 std::string_view sScriptParm) {
  std::string jobName;
  StepRunner step(app_, "Sablewick", "WrapWSF", ReportVia::Event);
  std::string base(sScriptName);
  step([&] {
    for (size_t at; (at = ToLower(base).find(".txt")) != std::string::npos;) base.erase(at, 4);
    jobName = "~" + base + ".wsf";
  });
  step([&] {
    std::string call = std::string(sProcedure) + " \"" + std::string(sScriptParm) + "\"";
    const size_t b = call.find_first_not_of(' ');
    call = b == std::string::npos ? std::string() : call.substr(b, call.find_last_not_of(' ') - b + 1);
    const std::string text = "<job id=\"" + base + "\">\n" +
                             "<script language=\"VBScript\" src=\"..\\" + base + ".txt\"/>\n" +
                             "<script language=\"VBScript\">\n"
                             "Dim hs\n"
                             "Dim xap\n"
                             "Set hs = createobject(\"Sablewick.Application\")\n"
                             "Set xap = hs\n" +
                             call + "\n" +
                             "Set hs = Nothing\n"
                             "Set xap = Nothing\n"
                             "</Script>\n"
                             "</Job>\n";
    const std::string path = JoinInside(app_.AppPath + "/Scripts", jobName);
    CreateFolders(app_, path);
    // A job file of our own making is 0600; one that is there already keeps its mode.
    const int fd = OpenPrivate(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC);
    if (fd < 0) ThrowSystemError("open " + path);
    std::string_view rest = text;
    while (!rest.empty()) {
      const ssize_t n = ::write(fd, rest.data(), rest.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        const int error = n < 0 ? errno : EIO;
        ::close(fd);
        errno = error;
        ThrowSystemError("write " + path);
      }
      rest.remove_prefix(static_cast<size_t>(n));
    }
    if (::close(fd) != 0) ThrowSystemError("write " + path);
  });
  return jobName;
}

}  // namespace sablewick
