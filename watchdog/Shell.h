// Starting other programs. Never through /bin/sh: a program is named by its argv, so no text
// from a script or a message is ever read as shell syntax. Every child starts in a session
// of its own (a signal meant for the daemon's terminal or group does not reach it) and
// inherits none of the daemon's descriptors beyond stdin, stdout and stderr.
//
// Shell starts and forgets: the node's reaper (core/ChildReaper.h) reaps the child on the main
// loop, so none is left a zombie. CommandRunner runs a short command to its end and returns
// what it printed.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace sablewick {

class ChildReaper;

class Shell {
 public:
  // Runs on the loop once the child has ended, with the status waitpid gave.
  using ExitHandler = std::function<void(pid_t pid, int waitStatus)>;

  // The reaper must outlive the children the shell starts, not the shell.
  explicit Shell(ChildReaper& reaper);
  ~Shell();
  Shell(const Shell&) = delete;
  Shell& operator=(const Shell&) = delete;

  // Starts argv[0] (looked up in PATH when it has no "/") with stdin from /dev/null and does
  // not wait. Returns the child's pid; throws a Failure when it cannot be started.
  pid_t Run(const std::vector<std::string>& argv, ExitHandler onExit = {},
            const std::string& workingDirectory = {});

  // A variable set in the environment of every child started from now on.
  void SetEnvironment(const std::string& name, const std::string& value);

  // Children started by this shell and not yet reaped.
  size_t Running() const;

 private:
  ChildReaper& reaper_;
  // Shared with the reaping callbacks, which may outlive the shell.
  std::shared_ptr<size_t> running_ = std::make_shared<size_t>(0);
  std::map<std::string, std::string> environment_;
};

class CommandRunner {
 public:
  virtual ~CommandRunner() = default;
  // Runs argv to its end and returns its standard output. Throws a Failure when the program
  // cannot be started, exits with a status other than 0, or breaks the runner's limits.
  virtual std::string Run(const std::vector<std::string>& argv) = 0;
};

// Runs the command as a real child process. The caller's thread is held while it runs, so
// its time and its output are bounded: past either limit the child is killed and reaped and
// the run fails.
class SpawnCommandRunner : public CommandRunner {
 public:
  explicit SpawnCommandRunner(int timeoutMs = 5000, size_t maxOutput = 256 * 1024)
      : timeoutMs_(timeoutMs), maxOutput_(maxOutput) {}
  std::string Run(const std::vector<std::string>& argv) override;

 private:
  int timeoutMs_;
  size_t maxOutput_;
};

}  // namespace sablewick
