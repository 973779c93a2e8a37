// The hidden main window: start-up (its load handler), the timers it owns, the tray icon and
// its menu, the setup dialog, the message notice from the transport, and shutdown (its unload
// handler).
#pragma once

#include <glib.h>

#include <functional>
#include <memory>

#include "core/App.h"
#include "core/Timer.h"
#include "app/TrayIcon.h"

namespace sablewick {

class Reloader;
class SetupDialog;

class TollkeepForm : public TrayIconOwner {
 public:
  explicit TollkeepForm(App& app);
  ~TollkeepForm() override;

  // Runs the start-up sequence; false when the transport could not start (logged; the
  // process must end before anything else happens).
  bool Form_Load();
  // Shutdown in order; runs once, later calls do nothing.
  void Form_Unload();

  // SIGHUP: the reload of `sablewick-ctl reload` (app/Reload.h).
  void OnHangup();

  // Called by the transport when received texts are waiting.
  void onMessage();

  // Starts the activity blink (the tray icon shows the alternate image for 200 ms).
  void SwapIcons();
  // The blink's end: the normal icon again.
  void Timer1_Timer();

  // The tray menu: 0 "Setup", 1 "System Config", 2 "System Status", 3 "Help", 4 separator,
  // 5 "Exit".
  void MenuArray_Click(int Index) override;
  static constexpr const char* kMenuArray[] = {"Setup", "System Config", "System Status",
                                                "Help",  "-",             "Exit"};

  void InitXap();
  void InitHW();
  void InitIniKeys();
  void InitApplication();

  // Steps of start-up that put the icon up: the tray's caption and callback, then the normal
  // image through Timer1_Timer. Form_Load runs them last.
  void ShowTrayIcon();

  // Handlers that come with other parts of the program; each timer calls its hook if set.
  std::function<void()> OnTimestampTimer;  // expiry sweep of stored messages
  std::function<void()> OnRemoteClose;     // closes the TCP connection at shutdown

  Timer& Timer1() { return timer1_; }
  Timer& TimestampTimer() { return timestampTimer_; }
  TrayIcon* Tray() { return trayIcon_.get(); }
  SetupDialog* Setup() { return setupForm_.get(); }
  const TrayImage& Image1() const { return image1_; }
  const TrayImage& Image2() const { return image2_; }

  static constexpr unsigned kBlinkMs = 200;
  // The stored messages expire after 60 s; sweeping every 5 s keeps them within 65 s.
  static constexpr unsigned kTimestampTimerMs = 5000;

 private:
  void Exit();
  static gboolean ExitIdle(gpointer self);
  // One node per folder: locks the folder and its lock file; false (said) when another node
  // holds either.
  bool TakeFolderLock();
  // Puts the control address beside the pid in the lock, for the tools of this folder.
  void PublishAddress();
  // Says why the node cannot start, in the log and on standard error, in the same words.
  void SayCannotStart(const std::string& why, const std::string& logPrefix = "");

  App& app_;
  TrayImage image1_;
  TrayImage image2_;
  Timer timer1_;
  Timer timestampTimer_;
  std::unique_ptr<SetupDialog> setupForm_;
  std::unique_ptr<TrayIcon> trayIcon_;
  std::unique_ptr<Reloader> reloader_;
  guint exitSource_ = 0;
  bool unloaded_ = false;
  int folderLock_ = -1;  // the lock file, held until the process ends
  int folderFd_ = -1;    // the folder itself, locked likewise
};

// The computer's name, looked up once.
const std::string& LocalComputerName(App& app);

}  // namespace sablewick
