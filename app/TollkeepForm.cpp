#include "app/TollkeepForm.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "app/FirstStartSettings.h"
#include "app/Reload.h"
#include "app/SetupDialog.h"
#include "bridge/Bridge.h"
#include "core/Log.h"
#include "core/Paths.h"
#include "core/PrivateFiles.h"
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
// (Opening it makes it, mode 0600; the log says the failure itself when it is first met.)
void CheckLogFile(App& app) {
  AppendToLog(app, {});
}

// The pid the running node wrote into its lock file, when that process runs this program: a
// lock file in a read-only folder keeps the pid of an earlier node, which may name anything
// by now. 0 when none.
long RunningNodePid(const std::string& lockPath) {
  const int fd = ::open(lockPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return 0;
  char buf[64] = {};
  const ssize_t n = ::pread(fd, buf, sizeof buf - 1, 0);
  ::close(fd);
  const long pid = n > 0 ? std::strtol(buf, nullptr, 10) : 0;
  if (pid <= 0) return 0;
  const auto program = [](const std::string& link) {
    std::array<char, 4096> target{};
    const ssize_t length = ::readlink(link.c_str(), target.data(), target.size() - 1);
    return length > 0 ? std::string(target.data(), static_cast<size_t>(length)) : std::string();
  };
  const std::string theirs = program("/proc/" + std::to_string(pid) + "/exe");
  return !theirs.empty() && theirs == program("/proc/self/exe") ? pid : 0;
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
  if (folderFd_ >= 0) ::close(folderFd_);
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
  // A first start writes the settings with every key explained (the installed examples' text),
  // so that a user edits them in place; a file that stands there is never touched.
  for (const FirstStartFile& file : kFirstStartFiles) {
    step([&] {
      EnsureSettingsFile(app_, app_.AppPath + "/Config/" + std::string(file.name), file.text);
    });
  }
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
    ApplyLogLimits(app_, ini);
  });
  step([&] { app_.application = vbs::MakeObject<Application>(app_); });
}

bool TollkeepForm::Form_Load() {
  // Every child that ends is reaped from here on, whoever started it.
  app_.Reaper();
  app_.xapReady = false;
  app_.dispatcher = std::make_unique<Dispatcher>(app_);
  app_.dispatcher->Dispatching = false;
  // The window's timers exist from its load on: the sweep runs, the others wait to be armed.
  timestampTimer_.Start(kTimestampTimerMs);
  InitXap();
  // What a reload compares with: the settings as the node read them just now (read later, a
  // change made meanwhile would never be seen as one).
  reloader_ = std::make_unique<Reloader>(app_, *this);
  reloader_->TakeSnapshot();
  CheckLogFile(app_);
  if (!TakeFolderLock()) return false;
  // The settings files must be files: a folder or a FIFO in their place (or a file that cannot
  // be made) is said for what it is, not later as an unrelated failure of whatever would have
  // been read from it.
  for (const FirstStartFile& file : kFirstStartFiles) {
    try {
      EnsureSettingsFile(app_, app_.AppPath + "/Config/" + std::string(file.name), file.text);
    } catch (const std::exception& e) {
      LogToFile(app_, "Sablewick", std::string("Cannot start: ") + e.what());
      std::fprintf(stderr, "sablewick: cannot start: %s\n", e.what());
      return false;
    }
  }
  SayConfigProblems(app_);

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
  if (app_.control) {
    app_.control->OnReload = [this] { return reloader_->Reload("sablewick-ctl reload"); };
  }
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
  reloader_->RunStartupScriptAtStart();
  return true;
}

void TollkeepForm::OnHangup() {
  if (reloader_) {
    reloader_->Reload("SIGHUP");
  } else {
    LogToFile(app_, "Sablewick", "SIGHUP ignored: the node is not started (or ends)");
  }
}

void TollkeepForm::SayCannotStart(const std::string& why, const std::string& logPrefix) {
  const std::string text = "cannot start: " + why + " (install folder " + app_.AppPath +
                           ", settings read from " + app_.AppPath + "/Config)";
  LogToFile(app_, "Sablewick", logPrefix + text);
  SayOnTerminal(app_, "sablewick: " + text + "\n");
}

bool TollkeepForm::TakeFolderLock() {
  const std::string path = app_.AppPath + "/" + kFolderLock;
  const auto refuse = [&] {
    const long pid = RunningNodePid(path);
    SayCannotStart("another node" +
                   (pid > 0 ? " (pid " + std::to_string(pid) + ")" : std::string()) +
                   " already runs from this folder; stop it first (sablewick-ctl status shows "
                   "it), or give this node a folder of its own");
    return false;
  };
  // The folder itself is locked, through a descriptor opened for reading: that lock holds
  // where nothing can be written (a read-only Data/, a lock file that cannot be made) and
  // when someone deletes the lock file under a running node.
  folderFd_ = ::open(app_.AppPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folderFd_ >= 0 && ::flock(folderFd_, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    ::close(folderFd_);
    folderFd_ = -1;
    if (error == EWOULDBLOCK) return refuse();
  }
  const bool folderLocked = folderFd_ >= 0;
  const std::string unnoticed =
      folderLocked ? "this node's control address is not published there (the folder's lock "
                     "still keeps a second node out)"
                   : "a second node started from this folder would not be noticed";
  // The lock file: the pid and control address for sablewick-ctl, and a lock of its own that
  // nodes which lock only the file see too.
  folderLock_ = OpenPrivate(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW);
  if (folderLock_ < 0) {
    SayOnTerminal(app_, "sablewick: cannot open " + path + " (" + std::strerror(errno) +
                            "): " + unnoticed + "\n");
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
  ::close(folderLock_);
  folderLock_ = -1;
  if (error == EAGAIN || error == EACCES) return refuse();
  SayOnTerminal(app_, "sablewick: cannot lock " + path + " (" + std::strerror(error) +
                          "): " + unnoticed + "\n");
  return true;
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
  step([&] { app_.shell = std::make_shared<Shell>(app_.Reaper()); });
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
  // No reload from here on: the scripts' end must not start the start-up script again.
  if (app_.control) app_.control->OnReload = nullptr;
  reloader_.reset();
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
