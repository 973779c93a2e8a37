// The hidden main window: start-up (its load handler), the timers it owns, the message notice
// from the transport, and shutdown (its unload handler).
#pragma once

#include "app/App.h"

namespace sablewick {

class TollkeepForm {
 public:
  explicit TollkeepForm(App& app) : app_(app) { app_.form = this; }
  ~TollkeepForm() { app_.form = nullptr; }

  // Runs the start-up sequence; false when the transport could not start (logged; the
  // process must end before anything else happens).
  bool Form_Load();
  // Shutdown in order; safe to call once after a successful Form_Load.
  void Form_Unload();

  // Called by the transport when received texts are waiting.
  void onMessage();

  // Starts the activity blink (the tray icon shows the alternate image for 200 ms).
  void SwapIcons();
  // The blink's end: the normal icon again.
  void Timer1_Timer();

  void InitXap();
  void InitHW();
  void InitIniKeys();
  void InitApplication();

 private:
  App& app_;
};

// The computer's name, looked up once.
const std::string& LocalComputerName(App& app);

}  // namespace sablewick
