// Started processes: how a script file becomes a command line (argv only, never a shell), and
// the object a script gets back from Spawn to watch the process it started.
#pragma once

#include <sys/types.h>

#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/App.h"
#include "engine/HostObject.h"

namespace sablewick {

// The argv that starts a script file: .vbs and .wsf through the script runner, any other file
// with its execute bit directly. Throws a Failure (53 file not found, 70 permission denied)
// when the file cannot be started.
std::vector<std::string> ScriptCommand(const App& app, const std::string& path,
                                       const std::vector<std::string>& arguments);

// A started child: its pid and the read ends of its stdout and stderr pipes (non-blocking,
// close-on-exec). The caller watches the pipes and gives the child to the node's reaper
// (core/ChildReaper.h) before the loop turns again.
struct StartedProcess {
  pid_t pid;
  int out;
  int err;
};

// Starts argv (argv only, no shell) in a session of its own, with SABLEWICK_ADDRESS in its
// environment and stdin from /dev/null. Throws a Failure with failureNumber when it cannot.
StartedProcess StartWithPipes(const App& app, const std::vector<std::string>& argv,
                              int32_t failureNumber);

// A path as the log shows it: relative to the install folder when it lies within it
// ("Scripts/OnLamp.sh"), else whole.
std::string ShownPath(const App& app, std::string_view path);

// The script runner beside the daemon's binary (or on PATH).
std::string RunnerPath(const App& app);

struct ProcessState;
class ObjectServer;

// Gives the started-process classes their interface on the object server.
void RegisterProcessClasses(ObjectServer& server);

// What Spawn returns: ProcessID, Status (0 running, 1 ended), ExitCode, Terminate, and the
// captured StdOut and StdErr (each kept up to a limit).
class ProcessObject : public vbs::TableObject<ProcessObject> {
 public:
  static constexpr std::string_view kTypeName = "WshScriptExec";
  static const std::span<const vbs::Member<ProcessObject>> kMembers;
  // Output kept per stream; beyond it the oldest bytes go.
  static constexpr size_t kMaxOutput = 1u << 20;

  // Starts argv with its output captured; throws a Failure when it cannot be started.
  ProcessObject(App& app, const std::vector<std::string>& argv);
  ~ProcessObject() override;

  pid_t ProcessID() const;
  int Status() const;
  int ExitCode() const;
  void Terminate();
  std::shared_ptr<ProcessState> State() const { return state_; }

 private:
  // The table kMembers views: sized only in the .cpp, so nothing else iterates it.
  static const vbs::Member<ProcessObject> kMemberTable[];
  std::shared_ptr<ProcessState> state_;
};

}  // namespace sablewick
