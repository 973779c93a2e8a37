// Runs sablewick-ctl against a test daemon: once to its end with its output captured, or in
// the background (a follow) with its lines read as they come. Every wait is bounded.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/daemon/DaemonHarness.h"

namespace sablewick::testing {

struct CtlResult {
  int status = -1;  // exit status; -1 when it had to be killed
  std::string out, err;
};

class CtlProcess {
 public:
  // Starts the tool with the daemon's runtime folder, so it finds the daemon's socket the way
  // a user's terminal would.
  // sessionBus: the tool's session bus, none when empty.
  // program: the tool's binary (a copy in an install folder).
  CtlProcess(const std::string& runtimeDir, const std::vector<std::string>& args,
             const std::string& input = "", const std::string& sessionBus = "",
             const std::string& program = SABLEWICK_CTL) {
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 ||
        ::pipe2(err, O_CLOEXEC) != 0)
      return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(in[0], 0);
      ::dup2(out[1], 1);
      ::dup2(err[1], 2);
      ::setenv("XDG_RUNTIME_DIR", runtimeDir.c_str(), 1);
      if (sessionBus.empty())
        ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
      else
        ::setenv("DBUS_SESSION_BUS_ADDRESS", sessionBus.c_str(), 1);
      ::unsetenv("SABLEWICK_ADDRESS");
      std::vector<char*> argv{const_cast<char*>(program.c_str())};
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      ::execv(program.c_str(), argv.data());
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    if (!input.empty()) (void)!::write(in[1], input.data(), input.size());
    ::close(in[1]);
    out_ = out[0];
    err_ = err[0];
  }
  ~CtlProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) ::close(out_);
    if (err_ >= 0) ::close(err_);
  }
  CtlProcess(const CtlProcess&) = delete;
  CtlProcess& operator=(const CtlProcess&) = delete;

  // The next line of standard output, without its newline; empty on time-out or end.
  std::string ReadLine(int timeoutMs = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      const size_t nl = pending_.find('\n');
      if (nl != std::string::npos) {
        std::string line = pending_.substr(0, nl);
        pending_.erase(0, nl + 1);
        return line;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !ReadSome(out_, pending_, static_cast<int>(left.count())))
        return {};
    }
  }

  // Waits for the end (killing the tool after timeoutMs) and collects the rest of its output.
  CtlResult Finish(int timeoutMs = 10000) {
    CtlResult r;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    bool outOpen = true, errOpen = true;
    while ((outOpen || errOpen) && std::chrono::steady_clock::now() < deadline) {
      if (outOpen) outOpen = ReadSome(out_, pending_, 10);
      if (errOpen) errOpen = ReadSome(err_, err_text_, 10);
    }
    for (int i = 0; i < timeoutMs / 10 && pid_ > 0; ++i) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        break;
      }
      ::usleep(10000);
    }
    r.out = pending_;
    r.err = err_text_;
    return r;
  }
  void Signal(int sig) {
    if (pid_ > 0) ::kill(pid_, sig);
  }

 private:
  // Reads what is there within timeoutMs; false once the pipe is closed.
  static bool ReadSome(int fd, std::string& into, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return true;
    char buf[4096];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) return false;
    into.append(buf, static_cast<size_t>(n));
    return true;
  }
  pid_t pid_ = -1;
  int out_ = -1, err_ = -1;
  std::string pending_, err_text_;
};

// Runs the tool to its end.
inline CtlResult RunCtl(const std::string& runtimeDir, const std::vector<std::string>& args,
                        const std::string& input = "") {
  CtlProcess p(runtimeDir, args, input);
  return p.Finish();
}

}  // namespace sablewick::testing
