#include "app/TollkeepForm.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "app/SetupDialog.h"
#include "bridge/Bridge.h"
#include "core/Log.h"
#include "core/Paths.h"
#include "ini/ConfigCheck.h"
#include "ini/IniTool.h"
#include "ini/TextFile.h"
#include "script/Application.h"
#include "script/BusValue.h"
#include "script/Dispatcher.h"
#include "script/ScriptHost.h"
#include "script/ScriptStarter.h"
#include "script/TcpClient.h"
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

// The one line on standard error that says what this node is, where it keeps its files, how
// to reach it and what to do next.
void SayStarted(App& app, const XapTransport& xap) {
  const std::string& a = app.AppPath;
  const std::string control =
      app.busAddress.empty() ? "none (no scripting object: see the log)" : app.busAddress;
  SayOnTerminal(app, "sablewick " SABLEWICK_VERSION ": source " + xap.XapSource() + ", UID " +
                         app.UID + ", receive port " + std::to_string(xap.ListenPort()) +
                         ", broadcast " + xap.SendAddress() + ", interface " +
                         (xap.LocalAddress().empty() ? "any" : xap.LocalAddress()) + "; Config " +
                         a + "/Config, Data " + a + "/Data, Scripts " + a + "/Scripts, log " +
                         LogFilePath(app) + ", program " + app.ProgramPath + "; control " +
                         control + ". Next: " + DirName(app.ExePath) +
                         "/sablewick-ctl status; the log: tail -f " + LogFilePath(app) + "\n");
}

// The settings check of `sablewick-ctl check`, at start: each problem is a warning line in the
// log (the node still starts, with the defaults the settings rules give).
void SayConfigProblems(App& app) {
  constexpr int kMaxLines = 20;
  int said = 0, more = 0;
  for (const Finding& f : CheckConfig(app.AppPath)) {
    if (!f.problem) continue;
    if (said == kMaxLines) {
      ++more;
      continue;
    }
    ++said;
    LogToFile(app, "Sablewick",
              "Warning: " + f.file + (f.line > 0 ? " line " + std::to_string(f.line) : "") + ": " +
                  f.message);
  }
  if (more > 0) {
    LogToFile(app, "Sablewick",
              "Warning: " + std::to_string(more) +
                  " more settings problems; sablewick-ctl check lists them all");
  }
}

// A log file that cannot be written is said once, on the terminal: the log is the record.
void CheckLogFile(App& app) {
  const std::string path = LogFilePath(app);
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666);
  if (fd >= 0) {
    ::close(fd);
    return;
  }
  SayOnTerminal(app, "sablewick: cannot write the log file " + path + " (" + std::strerror(errno) +
                         "): log lines go to standard error only\n");
}

}  // namespace

TollkeepForm::TollkeepForm(App& app)
    : app_(app),
      timer1_([this] { Timer1_Timer(); }, /*oneShot=*/true),
      timestampTimer_([this] {
        if (OnTimestampTimer) OnTimestampTimer();
      }) {
  app_.form = this;
  app_.SwapIcons = [this] { SwapIcons(); };
}

TollkeepForm::~TollkeepForm() {
  if (exitSource_ != 0) g_source_remove(exitSource_);
  if (folderLock_ >= 0) ::close(folderLock_);
  app_.form = nullptr;
  app_.SwapIcons = nullptr;
}

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
  if (app_.InstanceFolder.empty()) {
    step([&] { app_.AppPath = DirName(app_.ExePath); });
    step([&] { app_.AppPath = ResolveAppPath(app_.AppPath); });
    step([&] { app_.ProgramPath = app_.AppPath + "/" + BaseName(app_.ExePath); });
  } else {
    // The program lives apart from its files (a packaged /usr/bin): the path reported is the
    // program's own.
    app_.AppPath = app_.InstanceFolder;
    app_.ProgramPath = app_.ExePath;
  }
  step([&] {
    CreateFolders(app_, app_.AppPath + "/Config/x");
    CreateFolders(app_, app_.AppPath + "/Data/x");
    // A folder of one's own gets the scripts' folder too; a portable install brings its own.
    if (!app_.InstanceFolder.empty()) CreateFolders(app_, app_.AppPath + "/Scripts/x");
    // What saves killed before their rename left beside the files.
    RemoveStaleTempFiles(app_.AppPath + "/Config");
    RemoveStaleTempFiles(app_.AppPath + "/Scripts");
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
    // The log's bound: files of at most MaxFileKB, Files of them besides the current one.
    if (!app_.logFile) app_.logFile = std::make_unique<LogFile>();
    const uint64_t kb = CountSetting(app_, "Log", "MaxFileKB", ini.Read("Log", "MaxFileKB", ""),
                                     LogFile::kDefaultMaxBytes >> 10);
    const uint64_t files = CountSetting(app_, "Log", "Files", ini.Read("Log", "Files", ""),
                                        LogFile::kDefaultFiles);
    app_.logFile->SetLimits(std::max<uint64_t>(kb, 1) << 10,
                            static_cast<unsigned>(std::min<uint64_t>(files, 100)));
  });
  step([&] { app_.application = vbs::MakeObject<Application>(app_); });
}

bool TollkeepForm::Form_Load() {
  app_.xapReady = false;
  app_.dispatcher = std::make_unique<Dispatcher>(app_);
  app_.dispatcher->Dispatching = false;
  // The window's timers exist from its load on: the sweep runs, the others wait to be armed.
  timestampTimer_.Start(kTimestampTimerMs);
  InitXap();
  CheckLogFile(app_);
  if (!TakeFolderLock()) return false;
  // The settings files must be files: a folder or a FIFO in their place (or a file that cannot
  // be made) is said for what it is, not later as an unrelated failure of whatever would have
  // been read from it.
  for (const char* name : {"Drumlin.ini", "Sablewick.ini"}) {
    try {
      EnsureSettingsFile(app_, app_.AppPath + "/Config/" + name);
    } catch (const std::exception& e) {
      LogToFile(app_, "Sablewick", std::string("Cannot start: ") + e.what());
      std::fprintf(stderr, "sablewick: cannot start: %s\n", e.what());
      return false;
    }
  }
  SayConfigProblems(app_);

  app_.xap = std::make_unique<XapTransport>(app_);
  XapTransport& xap = *app_.xap;
  xap.OnAlive = [this] {
    CheckWatchdogs(app_);
    if (app_.starter) app_.starter->ReapOrphans();
  };
  xap.RegisterNewMessageCallback([this] { onMessage(); });
  xap.SetXapSource("Orbel.Script." + app_.ComputerName);
  xap.SetXapUID(app_.UID);
  xap.BroadcastAddress = app_.BroadcastAddress;
  xap.InterfaceAddress = app_.InterfaceAddress;
  xap.FilterHeartbeats = true;
  app_.sink = &xap;

  const int32_t port = xap.Init();
  if (port <= 0) {
    SayCannotStart(
        xap.InitProblem().empty() ? std::string("the xAP transport failed") : xap.InitProblem(),
        "xAP Init Error " + BasicStr(port) + " occurred: ");
    return false;
  }
  xap.SendHeartbeat(60);
  app_.xapReady = true;
  ReportEvent(app_, "Sablewick", "Using xAP port " + BasicStr(port));

  InitHW();
  StartScriptHost(app_);
  PublishAddress();
  SayStarted(app_, xap);
  App* a = &app_;
  OnTimestampTimer = [a] {
    if (a->dispatcher) a->dispatcher->ExpireMessages();
  };
  OnRemoteClose = [a] {
    if (a->tcp) a->tcp->RemoteClose();
  };
  StartBridge(app_);
  ShowTrayIcon();
  RunStartupScript(app_);
  return true;
}

void TollkeepForm::SayCannotStart(const std::string& why, const std::string& logPrefix) {
  const std::string text = "cannot start: " + why + " (install folder " + app_.AppPath +
                           ", settings read from " + app_.AppPath + "/Config)";
  LogToFile(app_, "Sablewick", logPrefix + text);
  SayOnTerminal(app_, "sablewick: " + text + "\n");
}

bool TollkeepForm::TakeFolderLock() {
  const std::string path = app_.AppPath + "/" + kFolderLock;
  folderLock_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (folderLock_ < 0) {
    SayOnTerminal(app_, "sablewick: cannot open " + path + " (" + std::strerror(errno) +
                            "): a second node started from this folder would not be noticed\n");
    return true;
  }
  // A lock of the open file description: it ends with the process, however it ends.
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  if (::fcntl(folderLock_, F_OFD_SETLK, &lock) == 0) {
    PublishAddress();
    return true;
  }
  const int error = errno;
  char buf[64] = {};
  const ssize_t n = ::pread(folderLock_, buf, sizeof buf - 1, 0);
  const long pid = n > 0 ? std::strtol(buf, nullptr, 10) : 0;
  ::close(folderLock_);
  folderLock_ = -1;
  if (error != EAGAIN && error != EACCES) {
    SayOnTerminal(app_, "sablewick: cannot lock " + path + " (" + std::strerror(error) +
                            "): a second node started from this folder would not be noticed\n");
    return true;
  }
  SayCannotStart("another node" + (pid > 0 ? " (pid " + std::to_string(pid) + ")" : std::string()) +
                 " already runs from this folder; stop it first (sablewick-ctl status shows "
                 "it), or give this node a folder of its own");
  return false;
}

void TollkeepForm::PublishAddress() {
  if (folderLock_ < 0) return;
  const std::string text = std::to_string(::getpid()) + "\n" + app_.busAddress + "\n";
  if (::ftruncate(folderLock_, 0) == 0) {
    [[maybe_unused]] const ssize_t n = ::pwrite(folderLock_, text.data(), text.size(), 0);
  }
}

void TollkeepForm::ShowTrayIcon() {
  // Drawn here, after the node is on the network: rendering both icons at three sizes costs
  // more than the whole start-up up to the first heartbeat.
  image1_ = DrawLetterS();
  image2_ = DrawHeart();
  trayIcon_ = std::make_unique<TrayIcon>(app_);
  trayIcon_->SetCaption("Tollkeep");
  trayIcon_->SetMenu({std::begin(kMenuArray), std::end(kMenuArray)});
  trayIcon_->SetCallback(this);
  Timer1_Timer();
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

void TollkeepForm::SwapIcons() {
  timer1_.Start(kBlinkMs);
  if (trayIcon_) trayIcon_->Update(true, image2_);
}

void TollkeepForm::Timer1_Timer() {
  if (trayIcon_) trayIcon_->Update(true, image1_);
  timer1_.Stop();
}

void TollkeepForm::MenuArray_Click(int Index) {
  switch (Index) {
    case 0:
      if (!setupForm_) {
        setupForm_ = LoadSetupDialog(app_, [this] { InitIniKeys(); }, &image1_);
      }
      if (setupForm_) setupForm_->Show();
      break;
    case 5:
      // The click arrives inside the tray's own bus handler, which the exit takes down: run it
      // from the loop once the handler has returned.
      if (exitSource_ == 0) exitSource_ = g_idle_add(&TollkeepForm::ExitIdle, this);
      break;
    default:  // "System Config", "System Status", "Help": nothing yet
      break;
  }
}

gboolean TollkeepForm::ExitIdle(gpointer self) {
  auto* form = static_cast<TollkeepForm*>(self);
  form->exitSource_ = 0;
  form->Exit();
  return G_SOURCE_REMOVE;
}

void TollkeepForm::Exit() {
  // The menu's order: the dialog (with its save step), the tray, the transport, then this
  // window's own unload; the process ends when the loop returns to main.
  if (setupForm_) setupForm_->Unload();
  trayIcon_.reset();
  app_.sink = nullptr;
  app_.xap.reset();
  Form_Unload();
  if (app_.loop != nullptr) g_main_loop_quit(app_.loop);
}

void TollkeepForm::onMessage() {
  if (app_.dispatcher) app_.dispatcher->onMessage();
}

void TollkeepForm::Form_Unload() {
  if (unloaded_) return;
  unloaded_ = true;
  if (exitSource_ != 0) {
    g_source_remove(exitSource_);
    exitSource_ = 0;
  }
  if (OnRemoteClose) OnRemoteClose();
  StopBridge(app_);
  if (trayIcon_) trayIcon_->Update(false, image1_);
  // The dialog's close step may still save the UID and report through the transport.
  if (setupForm_) setupForm_->Unload();
  app_.sink = nullptr;
  app_.xap.reset();
  StopScriptHost(app_);
  app_.application = {};
  app_.shell.reset();
  timer1_.Stop();
  timestampTimer_.Stop();
  // The tray's connection goes last: its queued messages (the icon's removal, a menu reply)
  // are flushed before the process ends.
  trayIcon_.reset();
  EndScripts(app_);
}

}  // namespace sablewick
