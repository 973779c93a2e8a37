// Starts the real daemon from a private install folder and plays the xAP hub on
// 127.0.0.1:3639. Meant to run inside a network namespace that holds only loopback (see
// tests/netns-run.sh), so nothing leaves the machine and tests do not fight over port 3639.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "tests/TestSupport.h"

namespace sablewick::testing {

// A UDP socket bound to 127.0.0.1:port (0 for any free port).
class UdpSocket {
 public:
  explicit UdpSocket(int port, const char* address = "127.0.0.1") {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, address, &a.sin_addr);
    bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  ~UdpSocket() { ::close(fd_); }
  UdpSocket(const UdpSocket&) = delete;
  UdpSocket& operator=(const UdpSocket&) = delete;
  bool Bound() const { return bound_; }
  int Fd() const { return fd_; }

  // The next datagram within the time limit, or nullopt.
  std::optional<std::string> Receive(int timeoutMs = 3000) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return std::nullopt;
    std::string buf(65536, '\0');
    const ssize_t n = ::recv(fd_, buf.data(), buf.size(), 0);
    if (n < 0) return std::nullopt;
    buf.resize(static_cast<size_t>(n));
    return buf;
  }
  // The next datagram that is not a heartbeat.
  std::optional<std::string> ReceiveMessage(int timeoutMs = 3000) {
    for (int i = 0; i < 100; ++i) {
      auto d = Receive(timeoutMs);
      if (!d || d->rfind("xap-hbeat", 0) != 0) return d;
    }
    return std::nullopt;
  }
  void SendTo(int port, const std::string& text) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    ::sendto(fd_, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
  }

 private:
  int fd_ = -1;
  bool bound_ = false;
};

// A "Key: value kB" line of /proc/<pid>/<file> (status, smaps_rollup), -1 when missing.
inline long ProcKb(pid_t pid, const std::string& file, const std::string& key) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/" + file);
  std::string word;
  long value = 0;
  while (in >> word) {
    if (word == key) {
      in >> value;
      return value;
    }
    std::getline(in, word);
  }
  return -1;
}

class Daemon {
 public:
  // Lays out an install folder with the binary and a loopback-only configuration.
  explicit Daemon(const std::string& drumlin =
                      "[Interface]\nBroadcastAddress=127.0.0.1\nInterfaceAddress=127.0.0.2\n",
                  const std::string& sablewickIni = "") {
    root_ = dir_.Path() + "/Sablewick";
    runtime_ = dir_.Path() + "/run";
    std::filesystem::create_directories(root_ + "/Config");
    std::filesystem::create_directories(root_ + "/Scripts");
    std::filesystem::create_directories(runtime_);
    std::filesystem::permissions(runtime_, std::filesystem::perms::owner_all);
    // A benchmark may run another build of the daemon in its place (two builds measured back
    // to back by the same program): SABLEWICK_OTHER_DAEMON names its file.
    const char* other = std::getenv("SABLEWICK_OTHER_DAEMON");
    std::filesystem::copy_file(other != nullptr && *other != '\0' ? other : SABLEWICK_BINARY,
                               root_ + "/sablewick");
#ifdef SABLEWICK_RUNNER
    std::filesystem::copy_file(SABLEWICK_RUNNER, root_ + "/sablewick-script");
#endif
    WriteFile(root_ + "/Config/Drumlin.ini", drumlin);
    if (!sablewickIni.empty()) WriteFile(root_ + "/Config/Sablewick.ini", sablewickIni);
  }
  ~Daemon() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    // Its standard error goes to a file: a sanitizer's report there must still be seen.
    const std::string err = Stderr();
    // (Only the summary line: a script's own "runtime error" lines are logged here too.)
    if (err.find("SUMMARY: AddressSanitizer") != std::string::npos ||
        err.find("SUMMARY: UndefinedBehaviorSanitizer") != std::string::npos) {
      std::fprintf(stderr, "--- sanitizer report of the daemon ---\n%s\n", err.c_str());
      ++SanitizerReports();
    }
  }
  // Daemons whose standard error held a sanitizer's report, over the whole test program.
  static int& SanitizerReports() {
    static int count = 0;
    return count;
  }

  // Starts the daemon, with arguments when given; its standard output and error go to
  // stdout.txt and stderr.txt beside it, or standard error to stderrFd when given.
  void Start(const std::vector<std::string>& args = {}, int stderrFd = -1) {
    pid_ = ::fork();
    if (pid_ == 0) {
      UseOwnEnvironment();
      RedirectTo(1, root_ + "/stdout.txt");
      if (stderrFd >= 0)
        ::dup2(stderrFd, 2);
      else
        RedirectTo(2, root_ + "/stderr.txt");
      const std::string exe = root_ + "/sablewick";
      std::vector<char*> argv{const_cast<char*>(exe.c_str())};
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      ::execv(exe.c_str(), argv.data());
      ::_exit(127);
    }
  }
  std::string Stdout() const { return ReadFile(root_ + "/stdout.txt"); }
  std::string Stderr() const { return ReadFile(root_ + "/stderr.txt"); }
  // The start-up line comes a moment after the first heartbeat (it names the control address,
  // made later): waits for it, at most timeoutMs.
  std::string StartUpLine(int timeoutMs = 3000) const {
    std::string err;
    for (int waited = 0; waited <= timeoutMs; waited += 10) {
      err = Stderr();
      const size_t next = err.find(". Next: ");
      if (next != std::string::npos && err.find('\n', next) != std::string::npos) break;
      ::usleep(10000);
    }
    return err.substr(0, err.find('\n'));
  }
  // Waits for the process to end; its exit status, or -1 on time-out.
  int WaitExit(int timeoutMs = 5000) {
    for (int waited = 0; waited < timeoutMs; waited += 10) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      ::usleep(10000);
    }
    return -1;
  }
  void Signal(int sig) { ::kill(pid_, sig); }

  // Runs a script with the runner beside the daemon, as a script of the user would be run;
  // its exit status (-1 on time-out, when it is killed).
  int RunScript(const std::string& script, const std::vector<std::string>& args = {},
                int timeoutMs = 10000) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      UseOwnEnvironment();
      const std::string runner = root_ + "/sablewick-script";
      std::vector<char*> argv{const_cast<char*>(runner.c_str()),
                              const_cast<char*>(script.c_str())};
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      ::execv(runner.c_str(), argv.data());
      ::_exit(127);
    }
    for (int waited = 0; waited < timeoutMs; waited += 5) {
      int status = 0;
      if (::waitpid(pid, &status, WNOHANG) == pid) {
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      ::usleep(5000);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return -1;
  }
  // Variables set for the daemon and its scripts on top of the test's own.
  std::vector<std::pair<std::string, std::string>> environment;
  // A session bus for the daemon and its scripts (a test's private one); none when empty.
  std::string sessionBus;
  // False: no XDG_RUNTIME_DIR at all (su, cron, ssh without logind), so the private socket
  // goes to /tmp; tests that do so run with a /tmp of their own.
  bool runtimeDir = true;
  const std::string& RuntimeDir() const { return runtime_; }
  bool Running() const { return pid_ > 0; }
  pid_t Pid() const { return pid_; }
  const std::string& Root() const { return root_; }
  std::string Log() const { return ReadFile(root_ + "/Data/Sablewick.txt"); }
  // Its resident memory (VmRSS) in KB, -1 when it cannot be read.
  long RssKb() const { return ProcKb(pid_, "status", "VmRSS:"); }

 private:
  // Each daemon gets a runtime folder of its own (so its private socket too) and no session
  // bus: tests running side by side never meet.
  static void RedirectTo(int fd, const std::string& path) {
    const int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (file >= 0) ::dup2(file, fd);
  }
  void UseOwnEnvironment() const {
    if (runtimeDir)
      ::setenv("XDG_RUNTIME_DIR", runtime_.c_str(), 1);
    else
      ::unsetenv("XDG_RUNTIME_DIR");
    if (sessionBus.empty())
      ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
    else
      ::setenv("DBUS_SESSION_BUS_ADDRESS", sessionBus.c_str(), 1);
    ::unsetenv("SABLEWICK_ADDRESS");
    ::unsetenv("SABLEWICK_FOLDER");
    for (const auto& [name, value] : environment) ::setenv(name.c_str(), value.c_str(), 1);
  }

  TempDir dir_;
  std::string root_;
  std::string runtime_;
  pid_t pid_ = -1;
};

}  // namespace sablewick::testing
