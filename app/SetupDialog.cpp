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
  for (std::string path : {DirName(app.ExePath) + "/" + kSetupModuleName,
                           std::string(SABLEWICK_SETUP_MODULE)}) {
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
  LogToFile(app, "Sablewick", std::string("Setup: ") + kSetupModuleName + " not found");
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
