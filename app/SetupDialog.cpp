#include "app/SetupDialog.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>

#include "core/Log.h"
#include "core/Paths.h"

namespace sablewick {
namespace {

bool HaveDisplay() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* v = std::getenv(name);
    if (v != nullptr && *v != '\0') return true;
  }
  return false;
}

SetupDialogFactory Factory(App& app) {
  static SetupDialogFactory factory = nullptr;
  if (factory != nullptr) return factory;
  // Beside the program (an install folder), else where the build put it.
  for (std::string path :
       {DirName(app.ExePath) + "/" + kSetupModuleName, std::string(SABLEWICK_SETUP_MODULE)}) {
    if (::access(path.c_str(), R_OK) != 0) continue;
    // Kept loaded for the rest of the run: GTK cannot be unloaded.
    void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (module == nullptr) {
      LogToFile(app, "Sablewick", std::string("Setup: ") + ::dlerror());
      return nullptr;
    }
    factory = reinterpret_cast<SetupDialogFactory>(::dlsym(module, kSetupDialogEntry));
    if (factory == nullptr) LogToFile(app, "Sablewick", "Setup: " + path + " has no dialog");
    return factory;
  }
  // A package install without the window's package, or a folder without the module: say
  // what to install, since the menu item itself shows nothing.
  std::string what = std::string("Setup: the setup window is not installed (") + kSetupModuleName +
                     " is neither beside the program nor at " + SABLEWICK_SETUP_MODULE + ")";
  if (*SABLEWICK_SETUP_PACKAGE != '\0') {
    what += std::string(": install the package ") + SABLEWICK_SETUP_PACKAGE + " (apt install " +
            SABLEWICK_SETUP_PACKAGE + ")";
  }
  LogToFile(app, "Sablewick", what);
  return nullptr;
}

}  // namespace

std::unique_ptr<SetupDialog> LoadSetupDialog(App& app, std::function<void()> onClosed,
                                             const TrayImage* windowIcon) {
  if (!HaveDisplay()) {
    LogToFile(app, "Sablewick", "Setup: no display is available");
    return nullptr;
  }
  SetupDialogFactory factory = Factory(app);
  if (factory == nullptr) return nullptr;
  return std::unique_ptr<SetupDialog>(factory(app, std::move(onClosed), windowIcon));
}

}  // namespace sablewick
