// A private X server (Xvfb) and what a user does on it: find a window by its title, type into
// it, press its close button. Xlib stays inside XDisplay.cpp: its macros clash with C++ code.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/desktop/DesktopHarness.h"

struct _XDisplay;

namespace sablewick::testing {

using XWindow = unsigned long;

class XDisplay {
 public:
  XDisplay();
  ~XDisplay();
  bool Ready() const { return dpy_ != nullptr; }
  // ":N", for DISPLAY.
  const std::string& Name() const { return name_; }

  // Top-level windows on screen with exactly this title.
  std::vector<XWindow> Windows(const std::string& title);
  std::optional<XWindow> WaitWindow(const std::string& title, int timeoutMs = 10000);
  bool WaitGone(const std::string& title, int timeoutMs = 5000);

  // Replaces the focused entry's text the way a user does: select all, delete, type.
  void Type(XWindow w, const std::string& text);
  // The window manager's close button: WM_DELETE_WINDOW.
  void Close(XWindow w);
  // The Enter key, in the focused entry.
  void PressEnter() { Key(0xff0d /* XK_Return */); }
  // The Escape key, in the focused window.
  void PressEscape() { Key(0xff1b /* XK_Escape */); }
  // The window's width in pixels, 0 when it is gone.
  int Width(XWindow w);

 private:
  void Key(unsigned long sym, unsigned long modifier = 0);

  std::unique_ptr<HelperProcess> server_;
  std::string name_;
  _XDisplay* dpy_ = nullptr;
};

}  // namespace sablewick::testing
