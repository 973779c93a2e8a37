// sablewick-hub measured (run inside tests/netns-run.sh):
//
//   1. The highest lossless rate of 200-byte xAP datagrams through the hub to 3 clients, beside
//      raw loopback (one sender straight to one receiver) in the same run: offered rates ramp
//      by 1.25 from 10,000 a second, 50,000 datagrams a step, until two steps in a row lose
//      one or the sender cannot offer the rate; the figure is the highest rate the sender
//      achieved without a loss. One receiver thread reads every client socket in both cases, so
//      that the hub run has only the hub more than the raw one. Also the hub's CPU time per
//      datagram.
//   2. The hub's CPU time and wake-ups over 10 s idle, with no client and with 3.
//   3. Its proportional memory (PSS) idle, after the flood, and the node's beside it.
//
//   tests/netns-run.sh build/bench/hub/hub_bench [--quick]
#include <arpa/inet.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/daemon/DaemonHarness.h"

namespace {

using namespace sablewick::testing;
using Clock = std::chrono::steady_clock;

constexpr int kReceiveBuffer = 4 << 20;  // as the hub asks for its own socket, and how

std::string Datagram() {
  std::string t =
      "xap-header\n{\nv=12\nhop=1\nuid=FF123400\nclass=xAPBSC.event\nsource=acme.lamp.hall\n}\n"
      "input.state\n{\nstate=on\nlevel=";
  while (t.size() < 196) t += '7';
  return t + "\n}\n";
}

// CPU ticks (user + system) and context switches (voluntary: wake-ups) of a process.
struct Usage {
  long ticks = 0;
  long wakeups = 0;
};
Usage UsageOf(pid_t pid) {
  Usage u;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string s((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  std::istringstream rest(s.substr(s.rfind(')') + 2));
  std::string field;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14 || i == 15) u.ticks += std::atol(field.c_str());
  }
  u.wakeups = ProcKb(pid, "status", "voluntary_ctxt_switches:");
  return u;
}

int Bind(const char* address, int port) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  ::inet_pton(AF_INET, address, &a.sin_addr);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  // The same buffer policy as the hub's own socket, so raw and hub runs compare alike.
  if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveBuffer, sizeof kReceiveBuffer) != 0)
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer, sizeof kReceiveBuffer);
  return fd;
}

int PortOf(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  return ntohs(a.sin_port);
}

// One thread reads every socket and counts what each got.
class Receivers {
 public:
  explicit Receivers(std::vector<int> fds) : fds_(std::move(fds)), counts_(fds_.size()) {
    thread_ = std::thread([this] { Run(); });
  }
  ~Receivers() {
    stop_ = true;
    thread_.join();
  }
  long Count(size_t i) const { return counts_[i].load(); }
  long Least() const {
    long least = Count(0);
    for (size_t i = 1; i < counts_.size(); ++i) least = std::min(least, Count(i));
    return least;
  }
  void Reset() {
    for (auto& c : counts_) c = 0;
  }

 private:
  void Run() {
    std::vector<pollfd> p;
    for (int fd : fds_) p.push_back({fd, POLLIN, 0});
    constexpr unsigned kBatch = 64;
    static char buf[kBatch][2048];
    mmsghdr h[kBatch];
    iovec v[kBatch];
    while (!stop_) {
      if (::poll(p.data(), p.size(), 50) <= 0) continue;
      for (size_t i = 0; i < p.size(); ++i) {
        if (!(p[i].revents & POLLIN)) continue;
        for (;;) {
          for (unsigned k = 0; k < kBatch; ++k) {
            v[k] = {buf[k], sizeof buf[k]};
            h[k] = {};
            h[k].msg_hdr.msg_iov = &v[k];
            h[k].msg_hdr.msg_iovlen = 1;
          }
          const int n = ::recvmmsg(fds_[i], h, kBatch, MSG_DONTWAIT, nullptr);
          if (n <= 0) break;
          counts_[i] += n;
        }
      }
    }
  }
  std::vector<int> fds_;
  std::vector<std::atomic<long>> counts_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Sends `count` datagrams to 127.0.0.1:port at `rate` a second; the time it took.
double PacedSend(int fd, int port, long count, double rate) {
  const std::string text = Datagram();
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  ::inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
  const auto start = Clock::now();
  for (long i = 0; i < count; ++i) {
    const auto due = start + std::chrono::duration_cast<Clock::duration>(
                                 std::chrono::duration<double>(static_cast<double>(i) / rate));
    while (Clock::now() < due) {
    }
    ::sendto(fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  }
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Waits until the receivers stop counting (100 ms without a new datagram, 3 s at most).
void Settle(const Receivers& r, size_t n) {
  long last = -1;
  for (int i = 0; i < 30; ++i) {
    long sum = 0;
    for (size_t k = 0; k < n; ++k) sum += r.Count(k);
    if (sum == last) return;
    last = sum;
    ::usleep(100000);
  }
}

struct Ramp {
  double lossless = 0;          // highest offered rate without a loss
  double cpuUsPerDatagram = 0;  // the hub's, at that rate
};

// Ramps the offered rate until two steps in a row lose a datagram or fall short of the offered
// rate (the sender's limit); the highest rate achieved without a loss.
Ramp RunRamp(const char* name, int port, Receivers& r, size_t receivers, long perStep,
             pid_t hubPid) {
  const int sender = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  Ramp result;
  int lossesInARow = 0;
  std::printf("%s\n", name);
  for (double rate = 10000; rate < 5e6 && lossesInARow < 2; rate *= 1.25) {
    r.Reset();
    const Usage before = hubPid > 0 ? UsageOf(hubPid) : Usage{};
    const double took = PacedSend(sender, port, perStep, rate);
    Settle(r, receivers);
    const Usage after = hubPid > 0 ? UsageOf(hubPid) : Usage{};
    long least = r.Count(0);
    for (size_t k = 1; k < receivers; ++k) least = std::min(least, r.Count(k));
    const long lost = perStep - least;
    const double cpu =
        hubPid > 0 ? (after.ticks - before.ticks) * 1e6 / sysconf(_SC_CLK_TCK) / perStep : 0;
    std::printf("  offered %8.0f/s (sent at %8.0f/s)  lost %6ld%s\n", rate, perStep / took, lost,
                hubPid > 0
                    ? ("  hub CPU " + std::to_string(cpu).substr(0, 5) + " us/datagram").c_str()
                    : "");
    // The rate is what the sender achieved: on a busy machine it often cannot offer more.
    const double sent = perStep / took;
    if (lost == 0 && sent > result.lossless) {
      result.lossless = sent;
      result.cpuUsPerDatagram = cpu;
    }
    if (lost == 0 && sent > 0.9 * rate)
      lossesInARow = 0;
    else
      ++lossesInARow;
  }
  ::close(sender);
  return result;
}

long PssKb(pid_t pid) {
  return ProcKb(pid, "smaps_rollup", "Pss:");
}

pid_t StartHub(const std::string& errPath) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int f = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ::dup2(f, 2);
    ::execl(SABLEWICK_HUB, SABLEWICK_HUB, "--folder", "/nonexistent", nullptr);
    ::_exit(127);
  }
  for (int i = 0; i < 300 && ReadFile(errPath).find("listening on") == std::string::npos; ++i)
    ::usleep(10000);
  return pid;
}

}  // namespace

int main(int argc, char** argv) {
  const bool quick = argc > 1 && std::string(argv[1]) == "--quick";
  const long perStep = quick ? 20000 : 50000;
  TempDir dir;
  const std::string hubErr = dir.Path() + "/hub.txt";
  const pid_t hub = StartHub(hubErr);
  if (ReadFile(hubErr).find("listening on") == std::string::npos) {
    std::fprintf(stderr, "hub_bench: the hub did not start (run inside tests/netns-run.sh): %s\n",
                 ReadFile(hubErr).c_str());
    return 1;
  }
  ::usleep(300000);
  const long pssStart = PssKb(hub);

  // 2a. Idle with no client.
  const int idleSeconds = quick ? 3 : 10;
  Usage u0 = UsageOf(hub);
  ::sleep(idleSeconds);
  Usage u1 = UsageOf(hub);
  const Usage idleNone{u1.ticks - u0.ticks, u1.wakeups - u0.wakeups};

  // Three clients register (interval 600 s, as the node announces).
  std::vector<int> clients;
  for (int i = 0; i < 3; ++i) {
    clients.push_back(Bind("127.0.0.1", 0));
    const std::string hb = "xap-hbeat\n{\nv=12\nhop=1\nuid=FF12340" + std::to_string(i) +
                           "\nclass=xap-hbeat.alive\nsource=acme.bench." + std::to_string(i) +
                           "\ninterval=600\nport=" + std::to_string(PortOf(clients.back())) +
                           "\n}\n";
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(3639);
    ::inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    ::sendto(clients.back(), hb.data(), hb.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  }
  ::usleep(300000);
  for (int fd : clients) {
    char buf[2048];
    while (::recv(fd, buf, sizeof buf, MSG_DONTWAIT) > 0) {
    }
  }
  // 2b. Idle with three clients.
  u0 = UsageOf(hub);
  ::sleep(idleSeconds);
  u1 = UsageOf(hub);
  const Usage idleThree{u1.ticks - u0.ticks, u1.wakeups - u0.wakeups};
  const long pssIdle = PssKb(hub);

  // 1. Rates: raw loopback, then through the hub.
  const int rawFd = Bind("127.0.0.1", 0);
  Ramp raw, through;
  {
    Receivers r({rawFd});
    raw = RunRamp("raw loopback, one sender to one receiver:", PortOf(rawFd), r, 1, perStep, -1);
  }
  {
    Receivers r(clients);
    through = RunRamp("through the hub to 3 clients:", 3639, r, 3, perStep, hub);
  }
  const long pssAfter = PssKb(hub);

  // 3. The node beside the hub, idle.
  long nodePss = -1;
  {
    Daemon node;
    node.Start();
    node.StartUpLine(5000);
    ::sleep(2);
    nodePss = PssKb(node.Pid());
  }

  std::printf("\nhub_bench (%ld datagrams of %zu bytes a step)\n", perStep, Datagram().size());
  std::printf(
      "  highest lossless rate: raw loopback %.0f/s, through the hub to 3 clients %.0f/s "
      "(%.2f of raw); hub CPU %.2f us a datagram there\n",
      raw.lossless, through.lossless, raw.lossless > 0 ? through.lossless / raw.lossless : 0,
      through.cpuUsPerDatagram);
  std::printf(
      "  idle %d s: no client %ld CPU ticks, %ld wake-ups; 3 clients %ld CPU ticks, %ld "
      "wake-ups\n",
      idleSeconds, idleNone.ticks, idleNone.wakeups, idleThree.ticks, idleThree.wakeups);
  std::printf(
      "  PSS: hub %ld KB at start, %ld KB idle with 3 clients, %ld KB after the flood; "
      "node %ld KB beside it\n",
      pssStart, pssIdle, pssAfter, nodePss);
  ::kill(hub, SIGTERM);
  ::waitpid(hub, nullptr, 0);
  const std::string log = ReadFile(hubErr);
  const size_t lost = log.find("lost since");
  if (lost != std::string::npos)
    std::printf("  the hub's own loss reports:\n%s", log.substr(log.rfind('\n', lost) + 1).c_str());
  return 0;
}
