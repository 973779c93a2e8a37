#include "app/Reload.h"

#include <signal.h>

#include <algorithm>
#include <exception>

#include "app/TollkeepForm.h"
#include "bridge/Bridge.h"
#include "core/Log.h"
#include "core/Paths.h"
#include "core/Text.h"
#include "ini/ConfigCheck.h"
#include "ini/IniTool.h"
#include "ini/KnownSettings.h"
#include "script/RunJournal.h"
#include "script/ScriptHost.h"
#include "xap/Transport.h"

namespace sablewick {
namespace {

// What a changed setting does until the node restarts. An empty key stands for every key of
// its section. A known setting missing here is read at start only.
struct ReloadEffect {
  std::string_view section, key;
  bool live;
  std::string_view effect;
};

constexpr std::string_view kBound =
    "ignored until the node restarts: the transport is bound with it";

constexpr ReloadEffect kReloadEffects[] = {
    {"Interface", "BroadcastAddress", false, kBound},
    {"Interface", "InterfaceAddress", false, kBound},
    {"General", "UID", false,
     "messages the node and its scripts send carry it now; its heartbeats keep the UID the "
     "transport started with until the node restarts"},
    {"Scripts", "MaxRunSeconds", true, "applies to runs started from now on"},
    {"Scripts", "MaxOutputKBPerMinute", true, "applies now"},
    {"Log", "MaxFileKB", true, "applies now"},
    {"Log", "Files", true, "applies now"},
    {"MQTT", "", true, "the MQTT bridge reconnects with it"},
    {"Hub", "Listen", false, "read by sablewick-hub at its start: restart the hub"},
};

const ReloadEffect& EffectOf(std::string_view section, std::string_view key) {
  static constexpr ReloadEffect kAtStartOnly{"", "", false,
                                             "read at start only: ignored until the node restarts"};
  for (const ReloadEffect& e : kReloadEffects)
    if (e.section == section && (e.key.empty() || e.key == key)) return e;
  return kAtStartOnly;
}

std::string Shown(const Reloader::Value& v) {
  return v.present ? "\"" + v.text + "\"" : "(not set)";
}

}  // namespace

void ApplyLogLimits(App& app, const IniTool& ini) {
  // The log's bound: files of at most MaxFileKB, Files of them besides the current one.
  if (!app.logFile) app.logFile = std::make_unique<LogFile>();
  const uint64_t kb = CountSetting(app, "Log", "MaxFileKB", ini.Read("Log", "MaxFileKB", ""),
                                   LogFile::kDefaultMaxBytes >> 10);
  const uint64_t files =
      CountSetting(app, "Log", "Files", ini.Read("Log", "Files", ""), LogFile::kDefaultFiles);
  app.logFile->SetLimits(std::max<uint64_t>(kb, 1) << 10,
                         static_cast<unsigned>(std::min<uint64_t>(files, 100)));
}

Reloader::Reloader(App& app, TollkeepForm& form) : app_(app), form_(form) {}

Reloader::~Reloader() {
  if (journalWatch_ != 0 && app_.runs) app_.runs->Unwatch(journalWatch_);
  if (startupTimer_ != 0) g_source_remove(startupTimer_);
  if (startupIdle_ != 0) g_source_remove(startupIdle_);
}

std::vector<Reloader::Value> Reloader::ReadSettings(std::vector<std::string>& unreadable) {
  // A quiet read: the faults of a file's lines go out as event reports where the node reads
  // the file for its own use, and the settings check says them in the reload's summary; a
  // second report of each from here would only repeat them.
  struct Quiet {
    App& app;
    decltype(App::SendEvent) saved = app.SendEvent;
    explicit Quiet(App& a) : app(a) { app.SendEvent = nullptr; }
    ~Quiet() { app.SendEvent = saved; }
  } quiet(app_);
  std::vector<Value> values;
  std::string loadedFile;
  bool loaded = false;
  IniTool ini(app_);
  for (const KnownSetting& k : kKnownSettings) {
    Value v{std::string(k.file), std::string(k.section), std::string(k.key), false, {}};
    if (loadedFile != k.file) {
      loadedFile = std::string(k.file);
      loaded = false;
      try {
        ini.Load(app_.AppPath + "/Config/" + loadedFile);
        loaded = true;
      } catch (const std::exception& e) {
        unreadable.push_back("Config/" + loadedFile + " cannot be read (" + e.what() +
                             "): its settings stay as they are");
      }
    }
    if (!loaded) {
      // What the node runs with stays: the value of the last snapshot.
      for (const Value& old : snapshot_)
        if (old.file == v.file && old.section == v.section && old.key == v.key) v = old;
      values.push_back(std::move(v));
      continue;
    }
    const std::string upper = ToUpper(k.key);
    for (const std::string& key : ini.Keys(k.section)) v.present = v.present || key == upper;
    if (v.present) v.text = ini.Read(k.section, k.key, "");
    values.push_back(std::move(v));
  }
  return values;
}

void Reloader::TakeSnapshot() {
  std::vector<std::string> unreadable;
  snapshot_ = ReadSettings(unreadable);
}

void Reloader::RunStartupScriptAtStart() {
  // The journal exists once the script host is up: from now on the start-up runs are followed.
  if (journalWatch_ == 0 && app_.runs) {
    journalWatch_ = app_.runs->Watch([this](const ScriptRun& run, RunJournal::Change change) {
      if (change == RunJournal::Change::Ended && startupPid_ != 0 && run.pid == startupPid_)
        StartupEnded();
    });
  }
  startupPid_ = RunStartupScript(app_, "at start");
}

ReloadReport Reloader::Reload(const std::string& how) {
  ReloadReport report;
  auto say = [&](const std::string& line) {
    LogToFile(app_, "Sablewick", "Reload: " + line);
    report.lines.push_back(line);
  };
  LogToFile(app_, "Sablewick",
            "Reload (" + how + "): reading Config/Drumlin.ini and Config/Sablewick.ini again");

  // The settings, compared with those the node runs with.
  std::vector<std::string> unreadable;
  std::vector<Value> now = ReadSettings(unreadable);
  bool mqttChanged = false, uidChanged = false;
  for (size_t i = 0; i < now.size() && i < snapshot_.size(); ++i) {
    const Value& before = snapshot_[i];
    const Value& after = now[i];
    if (before == after) continue;
    const ReloadEffect& effect = EffectOf(after.section, after.key);
    ReloadReport::Change c{after.file,
                           after.section,
                           after.key,
                           before.present ? before.text : "(not set)",
                           after.present ? after.text : "(not set)",
                           std::string(effect.effect),
                           effect.live};
    mqttChanged = mqttChanged || after.section == "MQTT";
    uidChanged = uidChanged || (after.section == "General" && after.key == "UID");
    // Settings hold no secrets (the MQTT password stays in its file): the values are shown.
    say("[" + c.section + "] " + c.key + ": " + Shown(before) + " -> " + Shown(after) + " (" +
        c.effect + ")");
    report.changes.push_back(std::move(c));
  }
  for (const std::string& u : unreadable) {
    report.problems.push_back(u);
    say("Warning: " + u);
  }
  snapshot_ = std::move(now);

  // Applied whether they changed or not: reading them again costs nothing and leaves no doubt.
  const bool settingsRead =
      std::none_of(unreadable.begin(), unreadable.end(),
                   [](const std::string& u) { return u.starts_with("Config/Sablewick.ini"); });
  if (settingsRead) {
    StepRunner step(app_, "Sablewick", "Reload", ReportVia::Log);
    step([&] {
      IniTool ini(app_);
      ini.Load(app_.AppPath + "/Config/Sablewick.ini");
      ApplyLogLimits(app_, ini);
    });
    step([&] { ApplyScriptSettings(app_); });
    if (uidChanged) step([&] { form_.InitIniKeys(); });
  }

  // The settings check of `sablewick-ctl check`.
  for (const Finding& f : CheckConfig(app_.AppPath)) {
    if (!f.problem) continue;
    const std::string text =
        f.file + (f.line > 0 ? " line " + std::to_string(f.line) : "") + ": " + f.message;
    if (report.problems.size() < 20) say("Warning: " + text);
    report.problems.push_back(text);
  }
  if (report.problems.size() > 20)
    say("Warning: " + std::to_string(report.problems.size() - 20) +
        " more settings problems; sablewick-ctl check lists them all");

  // The bridge: with the new settings when they changed; otherwise a bridge that is down tries
  // at once (its password or CA file may just have been fixed).
  if (settingsRead && mqttChanged) {
    report.bridge = "MQTT bridge " + RestartBridge(app_);
  } else if (app_.bridge) {
    const Bridge::Status s = app_.bridge->State();
    if (s.connected) {
      report.bridge = "MQTT bridge unchanged, connected to " + s.broker;
    } else {
      app_.bridge->AttemptNow();
      report.bridge = "MQTT bridge unchanged, trying " + s.broker + " again now";
    }
  } else {
    report.bridge = "MQTT bridge off";
  }

  // The subscriptions go; the start-up script makes them again.
  report.removed = static_cast<long>(RemoveAllSubscriptions(app_));
  const std::string path = StartupScriptPath(app_);
  if (startupWanted_) {
    report.startup = "starts once its previous run [" + std::to_string(startupPid_) +
                     "] has ended (an earlier reload ended it)";
  } else if (startupPid_ != 0) {
    // Still running from the start or the last reload: ended first (see Reload.h).
    ::kill(-startupPid_, SIGTERM);
    startupWanted_ = true;
    killed_ = false;
    startupTimer_ = g_timeout_add(kStartupGraceMs, &Reloader::OnStartupTimer, this);
    report.startup = "its previous run [" + std::to_string(startupPid_) +
                     "] still ran: ended (SIGTERM); " +
                     (path.empty() ? std::string("there is no Scripts/Startup.vbs to start again")
                                   : "it starts again once that run has ended");
  } else if (path.empty()) {
    report.startup = "none (no Scripts/Startup.vbs)";
  } else {
    startupPid_ = RunStartupScript(app_, "again by the reload");
    report.startup = startupPid_ != 0
                         ? "started again, " + path + "[" + std::to_string(startupPid_) + "]"
                         : "could not start again (see the log)";
  }

  // The summary: one line, the same in the log and in the tool.
  std::string changed;
  int later = 0;
  for (const ReloadReport::Change& c : report.changes) {
    changed += (changed.empty() ? "" : ", ") + ("[" + c.section + "] " + c.key);
    if (!c.live) ++later;
  }
  std::string summary = "Reload (" + how + ") done: ";
  summary += report.changes.empty()
                 ? std::string("no setting changed")
                 : std::to_string(report.changes.size()) + " setting(s) changed (" + changed + ")";
  if (later > 0)
    summary += ", " + std::to_string(later) + " of them ignored until the node restarts";
  summary += "; " + std::to_string(report.problems.size()) + " settings problem(s)";
  summary += "; " + report.bridge;
  summary += "; " + std::to_string(report.removed) + " subscription(s) removed";
  summary += "; start-up script: " + report.startup;
  LogToFile(app_, "Sablewick", summary);
  report.lines.push_back(summary);
  return report;
}

void Reloader::StartupEnded() {
  startupPid_ = 0;
  if (!startupWanted_ || startupIdle_ != 0) return;
  // Not from inside the journal's notice: the start records a run in the same journal.
  startupIdle_ = g_idle_add(&Reloader::OnStartupIdle, this);
}

gboolean Reloader::OnStartupIdle(gpointer self) {
  auto* r = static_cast<Reloader*>(self);
  r->startupIdle_ = 0;
  r->StartStartupScript();
  return G_SOURCE_REMOVE;
}

gboolean Reloader::OnStartupTimer(gpointer self) {
  auto* r = static_cast<Reloader*>(self);
  r->startupTimer_ = 0;
  if (!r->startupWanted_) return G_SOURCE_REMOVE;
  if (r->startupPid_ != 0 && !r->killed_) {
    ::kill(-r->startupPid_, SIGKILL);
    r->killed_ = true;
    r->startupTimer_ = g_timeout_add(kStartupGiveUpMs, &Reloader::OnStartupTimer, r);
    return G_SOURCE_REMOVE;
  }
  // Its end never came to the journal: start all the same rather than never.
  LogToFile(r->app_, "Sablewick",
            "Reload: the previous start-up run [" + std::to_string(r->startupPid_) +
                "] was not seen to end; starting the start-up script all the same");
  r->StartStartupScript();
  return G_SOURCE_REMOVE;
}

void Reloader::StartStartupScript() {
  startupWanted_ = false;
  if (startupTimer_ != 0) g_source_remove(startupTimer_);
  startupTimer_ = 0;
  // What the ended run subscribed while it ended goes too: only the new run's subscriptions stay.
  if (const size_t late = RemoveAllSubscriptions(app_); late > 0) {
    LogToFile(app_, "Sablewick",
              "Reload: removed " + std::to_string(late) +
                  " subscription(s) made while the previous start-up run ended");
  }
  startupPid_ = RunStartupScript(app_, "again by the reload");
}

}  // namespace sablewick
