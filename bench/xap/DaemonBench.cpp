// The real daemon, measured from outside: exec to first heartbeat, idle resident memory, and
// datagrams received, parsed and dispatched at a paced 100,000 a second (each an echo query,
// so every one that got through comes back as an answer). The raw loopback receive rate is
// measured in the same run as the ceiling. Run inside tests/netns-run.sh.
//
// With --trace, a `sablewick-ctl trace -f --json` follows the flood (its output into a file),
// and the figures say how many messages it was sent and how many it was told it lost.
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench/xap/BenchSupport.h"

using sablewick::testing::Daemon;
using sablewick::testing::UdpSocket;
using namespace sablewick::bench;

namespace {

// A `sablewick-ctl trace -f --json` on the daemon, writing to a file; stopped by its pid.
class Tracer {
 public:
  Tracer(const Daemon& daemon, const std::string& output) : output_(output) {
    const std::string runtime = daemon.RuntimeDir();
    pid_ = fork();
    if (pid_ == 0) {
      const int fd = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
      dup2(fd, 1);
      setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
      unsetenv("DBUS_SESSION_BUS_ADDRESS");
      unsetenv("SABLEWICK_ADDRESS");
      execl(SABLEWICK_CTL, SABLEWICK_CTL, "trace", "-f", "--json", static_cast<char*>(nullptr));
      _exit(127);
    }
    // Attached once the node counts a follower (at most 5 s).
    for (int i = 0; i < 250 && !Attached(runtime); ++i) usleep(20000);
  }
  ~Tracer() { Stop(); }
  void Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  // Lines written (messages shown) and the sum of the losses they report.
  void Count(long& shown, long& lost) const {
    std::ifstream in(output_);
    std::string line;
    shown = lost = 0;
    while (std::getline(in, line)) {
      ++shown;
      const size_t at = line.find("\"lost\":");
      if (at != std::string::npos) lost += std::atol(line.c_str() + at + 7);
    }
  }

 private:
  static bool Attached(const std::string& runtime) {
    return Status(runtime).find("\"trace\":{\"recording\":true,\"followers\":1}") !=
           std::string::npos;
  }
  std::string output_;
  pid_t pid_ = -1;
};

}  // namespace

int main(int argc, char** argv) {
  const bool trace = argc > 1 && std::strcmp(argv[1], "--trace") == 0;
  std::printf("%-44s %12s\n", "measure", "value");

  // Raw loopback ceiling: one socket to another, as fast as we can send.
  {
    UdpSocket rx(0), tx(0);
    BigBuffer(rx.Fd());
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(rx.Fd(), reinterpret_cast<sockaddr*>(&a), &len);
    const std::string text(300, 'x');
    const int n = 200000;
    const auto start = Clock::now();
    int got = 0;
    for (int i = 0; i < n; ++i) {
      sendto(tx.Fd(), text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
      if (i % 64 == 0) got += Drain(rx.Fd());
    }
    got += Drain(rx.Fd());
    const double secs = Ms(Clock::now() - start) / 1000;
    std::printf("%-44s %12.0f\n", "raw loopback send+receive, datagrams/s", got / secs);
  }

  // Exec to first heartbeat, and idle memory.
  std::vector<double> startups;
  long rss = -1;
  for (int run = 0; run < 5; ++run) {
    UdpSocket hub(3639);
    Daemon daemon;
    const auto t0 = Clock::now();
    daemon.Start();
    auto hb = hub.Receive(5000);
    startups.push_back(Ms(Clock::now() - t0));
    if (!hb) {
      std::printf("no heartbeat\n");
      return 1;
    }
    if (run == 0) {
      usleep(1000000);
      rss = daemon.RssKb();
    }
    daemon.Signal(SIGTERM);
    daemon.WaitExit();
  }
  std::sort(startups.begin(), startups.end());
  std::printf("%-44s %12.2f\n", "exec to first heartbeat, median ms (5 runs)", startups[2]);
  std::printf("%-44s %12ld\n", "idle resident memory, KB", rss);

  // Paced flood of echo queries through the daemon.
  {
    UdpSocket hub(3639);
    BigBuffer(hub.Fd());
    Daemon daemon;
    daemon.Start();
    if (!hub.Receive(5000)) return 1;
    const int n = 100000;
    std::vector<std::string> texts;
    texts.reserve(n);
    for (int i = 0; i < n; ++i) {
      texts.push_back(
          "xap-header\n{\nv=12\nhop=1\nuid=FF123400\nclass=WDT.Echo\nsource=acme.bench.pc\n}\n"
          "Echo.Query\n{\nQuery=q" + std::to_string(i) + "\n}\n");
    }
    UdpSocket tx(0);
    sockaddr_in nodeAddress{};
    nodeAddress.sin_family = AF_INET;
    nodeAddress.sin_port = htons(32768);
    inet_pton(AF_INET, "127.0.0.1", &nodeAddress.sin_addr);
    sablewick::testing::TempDir traceDir;
    std::unique_ptr<Tracer> tracer;
    if (trace) tracer = std::make_unique<Tracer>(daemon, traceDir.Path() + "/trace.json");
    Drain(hub.Fd());
    const auto start = Clock::now();
    long answers = PacedSend(
        tx.Fd(), 32768, texts.size(), [&](size_t i) { return texts[i]; }, 100000.0, hub.Fd());
    const double sendMs = Ms(Clock::now() - start);
    for (int i = 0; i < 300 && answers < n; ++i) {  // at most 3 s for the tail
      usleep(10000);
      answers += Drain(hub.Fd());
    }
    std::printf("%-44s %12.0f\n", "offered rate, datagrams/s", n / (sendMs / 1000));
    std::printf("%-44s %12d\n", "echo queries sent", n);
    std::printf("%-44s %12ld\n", "answers received", answers);
    std::printf("%-44s %12ld\n", "lost", n - answers);
    // Where they were lost: before the node's socket (the kernel), or in its own queue.
    const std::string status = Status(daemon.RuntimeDir());
    std::printf("%-44s %12ld\n", "taken in by the node", StatusNumber(status, "received"));
    std::printf("%-44s %12ld\n", "dropped by the node's queue", StatusNumber(status, "dropped"));
    // The kernel's drops on the node's socket reach its log with the next datagram it reads.
    sendto(tx.Fd(), "xap-header\n", 11, 0, reinterpret_cast<const sockaddr*>(&nodeAddress),
           sizeof nodeAddress);
    usleep(200000);
    std::printf("%-44s %12ld\n", "dropped by the kernel (the node's status)",
                StatusNumber(Status(daemon.RuntimeDir()), "kernel_dropped"));
    if (tracer) {
      // The follower's tail: until its file stops growing (at most 5 s).
      long shown = 0, lost = 0, before = -1;
      for (int i = 0; i < 50 && shown != before; ++i) {
        before = shown;
        usleep(100000);
        tracer->Count(shown, lost);
      }
      tracer->Stop();
      tracer->Count(shown, lost);
      std::printf("%-44s %12ld\n", "traced messages shown by trace -f", shown);
      std::printf("%-44s %12ld\n", "traced messages trace -f was told it lost", lost);
    }
    daemon.Signal(SIGTERM);
    daemon.WaitExit();
    // Logged at once for the first drop, then once a minute, and what remains at the end.
    std::printf("%-44s %12ld\n", "dropped by the kernel (the node's log)",
                LoggedDrops(daemon.Root() + "/Data/Sablewick.txt", "Receive socket full: "));
  }
  return 0;
}
