// The reload (`sablewick-ctl reload` and SIGHUP): the settings that can change while the node
// runs are read again and applied, the subscriptions are removed and the start-up script runs
// again, and what changed is said, one log line per changed setting and a summary.
//
// Which settings apply at once and which wait for a restart is the table kReloadEffects in
// Reload.cpp: the transport's addresses and UID are bound when it starts.
//
// The start-up script of the previous start or reload may still run when a reload comes: it is
// ended first (SIGTERM to its process group, SIGKILL 2 s later), and the script starts again
// once it has ended. Waiting for it instead would let a start-up script that never ends hold
// every later reload back, and one still running could make its old subscriptions after they
// were removed. A reload that comes while one waits for that end joins it: one start follows.
#pragma once

#include <glib.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/App.h"
#include "script/Control.h"

namespace sablewick {

class IniTool;
class TollkeepForm;

// [Log] MaxFileKB and Files from a loaded Sablewick.ini, handed to the log file.
void ApplyLogLimits(App& app, const IniTool& ini);

class Reloader {
 public:
  static constexpr unsigned kStartupGraceMs = 2000;   // SIGTERM to SIGKILL
  static constexpr unsigned kStartupGiveUpMs = 3000;  // SIGKILL to starting without its end

  Reloader(App& app, TollkeepForm& form);
  ~Reloader();
  Reloader(const Reloader&) = delete;
  Reloader& operator=(const Reloader&) = delete;

  // Remembers the settings as the node runs with them now (at start, after reading them).
  void TakeSnapshot();
  // The start-up script at start; its process is followed so that a reload can end it.
  void RunStartupScriptAtStart();
  // how: "SIGHUP", "sablewick-ctl reload". Logs and returns what it did.
  ReloadReport Reload(const std::string& how);

  // One setting as a settings file holds it.
  struct Value {
    std::string file, section, key;
    bool present = false;
    std::string text;
    bool operator==(const Value&) const = default;
  };

 private:
  std::vector<Value> ReadSettings(std::vector<std::string>& unreadable);
  void StartStartupScript();
  void StartupEnded();
  static gboolean OnStartupTimer(gpointer self);
  static gboolean OnStartupIdle(gpointer self);

  App& app_;
  TollkeepForm& form_;
  std::vector<Value> snapshot_;
  uint64_t journalWatch_ = 0;
  pid_t startupPid_ = 0;        // the start-up script's run, while it runs
  bool startupWanted_ = false;  // a reload waits for that run's end to start it again
  guint startupTimer_ = 0;      // SIGKILL, then starting without its end
  bool killed_ = false;
  guint startupIdle_ = 0;
};

}  // namespace sablewick
