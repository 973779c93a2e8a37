// Runs the real sablewick-hub for a test, with peers that play its clients. Meant to run in a
// network namespace that holds only loopback (tests/netns-run.sh): the tests own port 3639.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/TestSupport.h"
#include "tests/daemon/DaemonHarness.h"

namespace sablewick::testing {

// Polls `done` every 10 ms for at most timeoutMs.
inline bool WaitUntil(const std::function<bool()>& done, int timeoutMs) {
  for (int waited = 0; waited <= timeoutMs; waited += 10) {
    if (done()) return true;
    ::usleep(10000);
  }
  return false;
}

// A heartbeat as senders write them: `eol` "\n" or "\r\n", names as given.
inline std::string HeartbeatText(int port, int interval, const std::string& cls = "xap-hbeat.alive",
                                 const std::string& eol = "\n",
                                 const std::string& block = "xap-hbeat",
                                 const std::string& portKey = "port") {
  return block + eol + "{" + eol + "v=12" + eol + "hop=1" + eol + "uid=FF123400" + eol +
         "class=" + cls + eol + "source=acme.test." + std::to_string(port) + eol +
         "interval=" + std::to_string(interval) + eol + portKey + "=" + std::to_string(port) + eol +
         "}" + eol;
}

class HubProcess {
 public:
  ~HubProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  void Start(const std::vector<std::string>& args = {}) {
    pid_ = ::fork();
    if (pid_ == 0) {
      const int file = ::open(ErrPath().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      if (file >= 0) ::dup2(file, 2);
      // Its folder for Config/Drumlin.ini is the test's, unless the test names one.
      ::setenv("SABLEWICK_FOLDER", dir_.Path().c_str(), 1);
      std::vector<char*> argv{const_cast<char*>(SABLEWICK_HUB)};
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      ::execv(SABLEWICK_HUB, argv.data());
      ::_exit(127);
    }
  }
  // Starts it and waits for its start-up line (the socket is bound by then).
  bool StartListening(const std::vector<std::string>& args = {}) {
    Start(args);
    return WaitUntil([&] { return Stderr().find("listening on") != std::string::npos; }, 3000);
  }
  std::string Stderr() const { return ReadFile(ErrPath()); }
  bool LogHas(const std::string& text, int timeoutMs = 3000) const {
    return WaitUntil([&] { return Stderr().find(text) != std::string::npos; }, timeoutMs);
  }
  // Its exit status, or -1 when it has not ended within the time.
  int WaitExit(int timeoutMs = 5000) {
    int status = 0;
    const bool ended =
        WaitUntil([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, timeoutMs);
    if (!ended) return -1;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  void Signal(int sig) { ::kill(pid_, sig); }
  pid_t Pid() const { return pid_; }
  const std::string& Folder() const { return dir_.Path(); }

 private:
  std::string ErrPath() const { return dir_.Path() + "/hub-stderr.txt"; }
  TempDir dir_;
  pid_t pid_ = -1;
};

// A client of the hub: a socket on 127.0.0.1 (or another loopback address) at a free port.
class Peer : public UdpSocket {
 public:
  explicit Peer(const char* address = "127.0.0.1") : UdpSocket(0, address) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ::getsockname(Fd(), reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  int Port() const { return port_; }
  void ToHub(const std::string& text, int hubPort = 3639) { SendTo(hubPort, text); }
  // Registers with a heartbeat and reads its own heartbeat back (the hub forwards it to the
  // sender too); false when it does not come back.
  bool Register(int interval = 60, int hubPort = 3639) {
    const std::string hb = HeartbeatText(port_, interval);
    ToHub(hb, hubPort);
    for (int i = 0; i < 20; ++i) {
      auto d = Receive(2000);
      if (!d) return false;
      if (*d == hb) return true;
    }
    return false;
  }
  // Everything that arrives within quietMs of the last datagram (bounded to 10,000).
  std::vector<std::string> ReceiveAll(int quietMs = 300) {
    std::vector<std::string> all;
    while (all.size() < 10000) {
      auto d = Receive(quietMs);
      if (!d) break;
      all.push_back(std::move(*d));
    }
    return all;
  }

 private:
  int port_ = 0;
};

}  // namespace sablewick::testing
