#include "watchdog/Shell.h"

#include <fcntl.h>
#include <glib.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "core/ChildReaper.h"
#include "core/Errors.h"

namespace sablewick {
namespace {

constexpr int32_t kInvalidArgument = 5;

// Runs in the child between fork and exec: only async-signal-safe calls here.
void ChildSetup(gpointer) {
  ::setsid();
  ChildReaper::UnblockInChild();
}

// A null-terminated argv whose strings stay owned by the caller's vector.
std::vector<char*> ArgvOf(const std::vector<std::string>& argv) {
  if (argv.empty() || argv.front().empty()) {
    throw Failure(kInvalidArgument, "Invalid procedure call or argument");
  }
  std::vector<char*> out;
  out.reserve(argv.size() + 1);
  for (const std::string& arg : argv) out.push_back(const_cast<char*>(arg.c_str()));
  out.push_back(nullptr);
  return out;
}

[[noreturn]] void ThrowSpawnError(GError* error) {
  std::string text = error != nullptr ? error->message : "the program could not be started";
  g_clear_error(&error);
  throw Failure(kGenericFailure, text);
}

int64_t MonotonicMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// A descriptor that becomes readable when the child ends; -1 where the kernel has none, and
// the runner then looks at the child every few milliseconds instead.
int PidFd(pid_t pid) {
#ifdef SYS_pidfd_open
  return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
  return -1;
#endif
}

}  // namespace

// ---- Shell -------------------------------------------------------------------------------------

Shell::Shell(ChildReaper& reaper) : reaper_(reaper) {}
Shell::~Shell() = default;

pid_t Shell::Run(const std::vector<std::string>& argv, ExitHandler onExit,
                 const std::string& workingDirectory) {
  std::vector<char*> args = ArgvOf(argv);
  gchar** envp = nullptr;
  if (!environment_.empty()) {
    envp = g_get_environ();
    for (const auto& [name, value] : environment_) {
      envp = g_environ_setenv(envp, name.c_str(), value.c_str(), TRUE);
    }
  }
  const auto flags = static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD |
                                              G_SPAWN_STDIN_FROM_DEV_NULL);
  GPid pid = 0;
  GError* error = nullptr;
  const gboolean started =
      g_spawn_async(workingDirectory.empty() ? nullptr : workingDirectory.c_str(), args.data(),
                    envp, flags, ChildSetup, nullptr, &pid, &error);
  g_strfreev(envp);
  if (!started) ThrowSpawnError(error);

  ++*running_;
  reaper_.Watch(pid, [running = running_, onExit = std::move(onExit)](pid_t ended, int status) {
    --*running;
    if (onExit) onExit(ended, status);
  });
  return pid;
}

void Shell::SetEnvironment(const std::string& name, const std::string& value) {
  environment_[name] = value;
}

size_t Shell::Running() const {
  return *running_;
}

// ---- SpawnCommandRunner ------------------------------------------------------------------------

std::string SpawnCommandRunner::Run(const std::vector<std::string>& argv) {
  std::vector<char*> args = ArgvOf(argv);
  const auto flags =
      static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD |
                               G_SPAWN_STDIN_FROM_DEV_NULL | G_SPAWN_STDERR_TO_DEV_NULL);
  GPid pid = 0;
  gint out = -1;
  GError* error = nullptr;
  if (!g_spawn_async_with_pipes(nullptr, args.data(), nullptr, flags, ChildSetup, nullptr, &pid,
                                nullptr, &out, nullptr, &error)) {
    ThrowSpawnError(error);
  }
  ::fcntl(out, F_SETFL, ::fcntl(out, F_GETFL) | O_NONBLOCK);
  const int pidFd = PidFd(pid);

  const int64_t deadline = MonotonicMs() + timeoutMs_;
  std::string output;
  std::string problem;
  bool outOpen = true;
  bool exited = false;
  int status = 0;
  while (problem.empty()) {
    if (!exited) {
      const pid_t reaped = ::waitpid(pid, &status, WNOHANG);
      if (reaped == pid) {
        exited = true;
      } else if (reaped < 0 && errno == ECHILD) {
        exited = true;  // reaped elsewhere (SIGCHLD ignored): the exit status is gone
        problem = "ended, but its exit status was lost";
        break;
      }
    }
    if (exited && !outOpen) break;
    const int64_t remaining = deadline - MonotonicMs();
    if (remaining <= 0) {
      problem = "did not end within " + std::to_string(timeoutMs_) + " ms";
      break;
    }
    pollfd fds[2];
    nfds_t n = 0;
    if (outOpen) fds[n++] = {out, POLLIN, 0};
    if (!exited && pidFd >= 0) fds[n++] = {pidFd, POLLIN, 0};
    int timeout = static_cast<int>(remaining);
    if (!exited && pidFd < 0) timeout = std::min(timeout, 10);
    if (::poll(fds, n, timeout) < 0 && errno != EINTR) {
      problem = "poll failed";
      break;
    }
    while (outOpen) {
      char buffer[4096];
      const ssize_t got = ::read(out, buffer, sizeof buffer);
      if (got > 0) {
        output.append(buffer, static_cast<size_t>(got));
        if (output.size() > maxOutput_) {
          problem = "printed more than " + std::to_string(maxOutput_) + " bytes";
          break;
        }
      } else if (got == 0) {
        outOpen = false;
      } else if (errno == EINTR) {
        continue;
      } else {
        if (errno != EAGAIN) problem = "its output could not be read";
        break;
      }
    }
  }
  ::close(out);
  if (pidFd >= 0) ::close(pidFd);
  if (!exited) {
    // Our own child, by its id; SIGKILL cannot be caught, so the wait below is short.
    ::kill(pid, SIGKILL);
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  g_spawn_close_pid(pid);

  if (!problem.empty()) throw Failure(kGenericFailure, argv.front() + " " + problem);
  if (WIFSIGNALED(status)) {
    throw Failure(kGenericFailure,
                  argv.front() + " was ended by signal " + std::to_string(WTERMSIG(status)));
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    throw Failure(kGenericFailure,
                  argv.front() + " ended with status " + std::to_string(WEXITSTATUS(status)));
  }
  return output;
}

}  // namespace sablewick
