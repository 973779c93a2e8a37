// The setup dialog as the main window sees it. The dialog itself lives in a module of its own
// (sablewick-setup.so) that is loaded when "Setup" is first chosen: a resident node on a
// machine without a desktop never maps the GUI toolkit, which would triple its start-up time
// and resident memory.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "core/App.h"

namespace sablewick {

struct TrayImage;

class SetupDialog {
 public:
  virtual ~SetupDialog() = default;
  // Shows the dialog without waiting for it; an open one comes to the front.
  virtual void Show() = 0;
  // Closes the dialog if it is open, running its close step.
  virtual void Unload() = 0;
  virtual bool Loaded() const = 0;
  // The close step on a text: exactly 8 characters are saved as the UID.
  virtual void Form_Unload(const std::string& text) = 0;
};

// The dialog, or null (logged) when there is no display or the module cannot be loaded.
std::unique_ptr<SetupDialog> LoadSetupDialog(App& app, std::function<void()> onClosed,
                                             const TrayImage* windowIcon);

// The module's one entry point.
using SetupDialogFactory = SetupDialog* (*)(App&, std::function<void()>, const TrayImage*);
inline constexpr const char* kSetupDialogEntry = "SablewickNewSetupDialog";
inline constexpr const char* kSetupModuleName = "sablewick-setup.so";

}  // namespace sablewick
