// Helper programs of the tests: a child that reports one line on descriptor 3 (dbus-daemon's
// address, Xvfb's display number) and a private session bus built on it. Both are stopped by
// their pid, with bounded waits.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "tests/TestSupport.h"

namespace sablewick::testing {

// Starts argv with descriptor 3 as the write end of a pipe and reads one line from it.
class HelperProcess {
 public:
  explicit HelperProcess(std::vector<std::string> argv, int timeoutMs = 10000) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      // A test killed by its time-out must not leave its servers behind.
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);
      ::dup2(fds[1], 3);  // dup2 clears close-on-exec on the copy
      std::vector<char*> args;
      for (auto& a : argv) args.push_back(a.data());
      args.push_back(nullptr);
      ::execvp(args[0], args.data());
      ::_exit(127);
    }
    ::close(fds[1]);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char c;
    while (std::chrono::steady_clock::now() < deadline && line_.size() < 4096) {
      pollfd p{fds[0], POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      if (::read(fds[0], &c, 1) != 1 || c == '\n') break;
      line_ += c;
    }
    ::close(fds[0]);
  }
  ~HelperProcess() { Stop(); }
  HelperProcess(const HelperProcess&) = delete;
  HelperProcess& operator=(const HelperProcess&) = delete;

  void Stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    for (int i = 0; i < 200; ++i) {
      if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        return;
      }
      ::usleep(10000);
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  const std::string& Line() const { return line_; }
  pid_t Pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  std::string line_;
};

// A session bus of our own with no service activation: nothing on the machine can answer in
// place of a test's fakes. With asSessionBus, DBUS_SESSION_BUS_ADDRESS names it while it lives.
class PrivateBus {
 public:
  explicit PrivateBus(bool asSessionBus = false) : asSessionBus_(asSessionBus) {
    WriteFile(dir_.Path() + "/bus.conf",
              "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
              " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
              "<busconfig><type>session</type><listen>unix:dir=" +
                  dir_.Path() +
                  "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                  "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
                  "<allow own=\"*\"/></policy></busconfig>\n");
    daemon_ = std::make_unique<HelperProcess>(std::vector<std::string>{
        "dbus-daemon", "--config-file=" + dir_.Path() + "/bus.conf", "--nofork",
        "--print-address=3"});
    address_ = daemon_->Line();
    if (asSessionBus_ && !address_.empty()) {
      ::setenv("DBUS_SESSION_BUS_ADDRESS", address_.c_str(), 1);
    }
  }
  ~PrivateBus() {
    if (asSessionBus_) ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
  }
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  const std::string& Address() const { return address_; }
  void Stop() { daemon_->Stop(); }

 private:
  TempDir dir_;
  bool asSessionBus_;
  std::unique_ptr<HelperProcess> daemon_;
  std::string address_;
};

}  // namespace sablewick::testing
