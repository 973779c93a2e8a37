// The real daemon, measured from outside: exec to first heartbeat, idle memory (resident,
// proportional and private), and datagrams received, parsed and dispatched at a paced 100,000
// a second (each an echo query, so every one that got through comes back as an answer). The
// raw loopback receive rate is measured in the same run as the ceiling. Run inside
// tests/netns-run.sh.
//
// The ramp: offered rates rise step by step (kRampCount datagrams a step) until two steps in a
// row lose something; the highest lossless offered rate is reported for a plain receiver
// process on raw loopback (the reference), for the node with plain xAP datagrams (none of
// them answered or stored) and for the node with echo queries (each answered).
//
// Idle memory is measured alone and beside a second node (a copy of the program in a folder of
// its own): alone, every library page the node touches counts in full, as on a machine where
// no other program uses glib, libsystemd, libstdc++ or libm; beside another process that uses
// them, as on a desktop or a server, the pages both touch are shared.
//
// With --memory, only start-up and idle memory are measured. With --trace, a `sablewick-ctl trace -f --json` follows the flood (its output into a file),
// and the figures say how many messages it was sent and how many it was told it lost.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <atomic>
#include <functional>

#include <algorithm>
#include <cctype>
#include <map>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bench/xap/BenchSupport.h"
#include "tests/bridge/BrokerHarness.h"

using sablewick::testing::Broker;
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

// Idle memory of a process, KB: resident, proportional (shared pages divided among the
// processes that map them), private dirty and clean, anonymous.
struct IdleMemory {
  long rss = -1, pss = -1, privateDirty = -1, privateClean = -1, anonymous = -1;
};

IdleMemory MeasureIdle(pid_t pid) {
  using sablewick::testing::ProcKb;
  IdleMemory m;
  m.rss = ProcKb(pid, "status", "VmRSS:");
  m.pss = ProcKb(pid, "smaps_rollup", "Pss:");
  m.privateDirty = ProcKb(pid, "smaps_rollup", "Private_Dirty:");
  m.privateClean = ProcKb(pid, "smaps_rollup", "Private_Clean:");
  m.anonymous = ProcKb(pid, "smaps_rollup", "Anonymous:");
  return m;
}

// The median of each figure over the runs, with the lowest and highest.
void PrintIdle(const char* what, const std::vector<IdleMemory>& runs) {
  const auto row = [&](const char* name, long IdleMemory::*field) {
    std::vector<long> v;
    for (const IdleMemory& m : runs) v.push_back(m.*field);
    std::sort(v.begin(), v.end());
    std::printf("%s, %-*s %8ld  (%ld..%ld, %zu runs)\n", what,
                static_cast<int>(42 - std::strlen(what)), name, v[v.size() / 2], v.front(),
                v.back(), v.size());
  };
  row("RSS, KB", &IdleMemory::rss);
  row("PSS, KB", &IdleMemory::pss);
  row("private dirty, KB", &IdleMemory::privateDirty);
  row("private clean, KB", &IdleMemory::privateClean);
  row("anonymous, KB", &IdleMemory::anonymous);
}

constexpr int kBrokerPort = 18831;
// The second node's own settings: another UID, so the two are two devices on the network.
const std::string kNeighbourIni = "[General]\nUID=FF00E900\n";
const std::string kDrumlin =
    "[Interface]\nBroadcastAddress=127.0.0.1\nInterfaceAddress=127.0.0.2\n";

// Until the broker logs one more client than `before` (at most 5 s). Asked of the broker, not
// of the node: a status call would run code in the node that an idle node does not run.
int Connections(const Broker& broker) {
  const std::string log = broker.Log();
  int n = 0;
  for (size_t at = log.find("New client connected"); at != std::string::npos;
       at = log.find("New client connected", at + 1))
    ++n;
  return n;
}
bool WaitConnected(const Broker& broker, int before) {
  for (int i = 0; i < 100; ++i) {
    if (Connections(broker) > before) return true;
    usleep(50000);
  }
  return false;
}

// Three runs of a node started with `ini`, alone or beside a second node (another folder and
// UID, the same settings otherwise), each measured 1 s after it is up: its heartbeat came and,
// with a broker, the broker saw it connect. Prints the figures; false when a node did not
// come up.
bool IdleRuns(const char* what, const std::string& ini, bool beside, const Broker* broker) {
  std::vector<IdleMemory> runs;
  for (int run = 0; run < 3; ++run) {
    UdpSocket hub(3639);
    std::optional<Daemon> neighbour;
    if (beside) neighbour.emplace(kDrumlin, kNeighbourIni + ini);
    Daemon daemon(kDrumlin, ini);
    const int before = broker != nullptr ? Connections(*broker) : 0;
    if (neighbour) neighbour->Start();
    daemon.Start();
    const int nodes = beside ? 2 : 1;
    bool up = true;
    for (int i = 0; i < nodes && up; ++i) up = hub.Receive(5000).has_value();
    if (up && broker != nullptr) up = WaitConnected(*broker, before + nodes - 1);
    if (!up) {
      std::printf("%s: the node did not come up\n%s\n", what, daemon.Log().c_str());
      return false;
    }
    usleep(1000000);
    runs.push_back(MeasureIdle(daemon.Pid()));
    if (run == 0 && !beside) PrintPssByMapping(daemon.Pid(), 10);
    daemon.Signal(SIGTERM);
    daemon.WaitExit();
    if (neighbour) {
      neighbour->Signal(SIGTERM);
      neighbour->WaitExit();
    }
  }
  PrintIdle(what, runs);
  return true;
}

constexpr size_t kRampCount = 100000;
const double kRampRates[] = {25e3,  50e3,  100e3, 150e3, 200e3, 250e3, 300e3,  350e3, 400e3,
                             500e3, 600e3, 700e3, 800e3, 1e6,   1.25e6, 1.6e6, 2e6};

// One step: offer kRampCount datagrams at the rate; the rate really offered, and whether every
// one got through.
using RampStep = std::function<bool(double rate, double& offered)>;

// Nanoseconds a process has spent on a CPU so far (/proc/PID/schedstat).
long CpuNs(pid_t pid) {
  return std::atol(sablewick::testing::ReadFile("/proc/" + std::to_string(pid) + "/schedstat").c_str());
}

struct RampResult {
  double best = 0;        // the highest lossless offered rate
  double cpuNsEach = 0;   // the receiver's CPU time per datagram, median over the steps
  std::vector<double> cpuByStep;  // the same for each step, in the order of kRampRates
};

// Raw's CPU per datagram over the node's, step by step at the same asked rate (a receiver
// that wakes for every datagram pays more per datagram at low rates, and the node's ramps stop
// earlier than raw's): the median over the steps both ran.
double SameRateRatio(const RampResult& raw, const RampResult& node) {
  std::vector<double> ratios;
  for (size_t i = 0; i < raw.cpuByStep.size() && i < node.cpuByStep.size(); ++i) {
    if (node.cpuByStep[i] > 0) ratios.push_back(raw.cpuByStep[i] / node.cpuByStep[i]);
  }
  if (ratios.empty()) return 0;
  std::sort(ratios.begin(), ratios.end());
  return ratios[ratios.size() / 2];
}

// The highest lossless offered rate, after two lossy steps in a row or the last rate; and the
// receiving process's CPU time per datagram, which a busy machine disturbs far less than rates.
RampResult Ramp(const char* what, pid_t receiver, const RampStep& step) {
  RampResult r;
  std::vector<double> cpu;
  int lossyInARow = 0;
  for (double rate : kRampRates) {
    double offered = 0;
    const long cpu0 = CpuNs(receiver);
    const bool lossless = step(rate, offered);
    const double each = static_cast<double>(CpuNs(receiver) - cpu0) / kRampCount;
    cpu.push_back(each);
    r.cpuByStep.push_back(each);
    std::printf("  %-26s asked %8.0f/s offered %8.0f/s  %-8s  receiver CPU %6.0f ns each\n",
                what, rate, offered, lossless ? "lossless" : "LOSS", each);
    std::fflush(stdout);
    if (lossless) {
      r.best = std::max(r.best, offered);
      lossyInARow = 0;
    } else if (++lossyInARow == 2) {
      break;
    }
  }
  std::sort(cpu.begin(), cpu.end());
  r.cpuNsEach = cpu.empty() ? 0 : cpu[cpu.size() / 2];
  return r;
}

double OfferedRate(size_t n, Clock::time_point start) {
  return static_cast<double>(n) / (Ms(Clock::now() - start) / 1000);
}

// Waits until a count stops rising (it is read every 50 ms; at most 3 s); its last value.
long Settled(const std::function<long()>& count) {
  long last = count();
  for (int i = 0; i < 60; ++i) {
    usleep(50000);
    const long now = count();
    if (now == last) return now;
    last = now;
  }
  return last;
}

// The reference: a plain process that receives with recv() on a socket with the node's
// receive buffer (8 MB), counting into shared memory.
RampResult RampRawLoopback() {
  UdpSocket rx(0);
  const int size = 8 << 20;
  setsockopt(rx.Fd(), SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
  sockaddr_in a{};
  socklen_t len = sizeof a;
  getsockname(rx.Fd(), reinterpret_cast<sockaddr*>(&a), &len);
  void* shared = mmap(nullptr, sizeof(std::atomic<long>), PROT_READ | PROT_WRITE,
                      MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  auto* counter = new (shared) std::atomic<long>(0);
  const pid_t child = fork();
  if (child == 0) {
    char buf[65536];
    for (;;) {
      if (recv(rx.Fd(), buf, sizeof buf, 0) >= 0) counter->fetch_add(1, std::memory_order_relaxed);
    }
  }
  UdpSocket tx(0);
  const std::string text(300, 'x');
  const RampResult best = Ramp("raw loopback", child, [&](double rate, double& offered) {
    const long before = counter->load();
    const auto start = Clock::now();
    PacedSend(tx.Fd(), ntohs(a.sin_port), kRampCount, [&](size_t) { return text; }, rate, -1);
    offered = OfferedRate(kRampCount, start);
    const long got = Settled([&] { return counter->load(); }) - before;
    return got == static_cast<long>(kRampCount);
  });
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  munmap(shared, sizeof(std::atomic<long>));
  return best;
}

std::string PlainDatagram(size_t i) {
  return "xap-header\n{\nv=12\nhop=1\nuid=FF123400\nclass=xAPBSC.event\n"
         "source=acme.lighting.livingroom:dimmer.1\n}\ninput.state\n{\nstate=on\nlevel=" +
         std::to_string(i % 100) + "%\n}\n";
}

std::string EchoQuery(size_t i) {
  return "xap-header\n{\nv=12\nhop=1\nuid=FF123400\nclass=WDT.Echo\nsource=acme.bench.pc\n}\n"
         "Echo.Query\n{\nQuery=q" + std::to_string(i) + "\n}\n";
}

// The node with plain datagrams: lossless when its status counts every one as received and
// dispatched, none dropped by its queue or the kernel.
RampResult RampNodePlain() {
  UdpSocket hub(3639);
  Daemon daemon;
  daemon.Start();
  if (!hub.Receive(5000)) return {};
  UdpSocket tx(0);
  std::vector<std::string> texts;
  for (size_t i = 0; i < kRampCount; ++i) texts.push_back(PlainDatagram(i));
  const std::string runtime = daemon.RuntimeDir();
  const RampResult best = Ramp("node, plain datagrams", daemon.Pid(), [&](double rate, double& offered) {
    const std::string s0 = Status(runtime);
    const auto start = Clock::now();
    PacedSend(tx.Fd(), 32768, kRampCount, [&](size_t i) { return texts[i]; }, rate, -1);
    offered = OfferedRate(kRampCount, start);
    Settled([&] { return StatusNumber(Status(runtime), "dispatched"); });
    const std::string s1 = Status(runtime);
    const auto delta = [&](const char* name) {
      return StatusNumber(s1, name) - StatusNumber(s0, name);
    };
    return delta("received") == static_cast<long>(kRampCount) && delta("dropped") == 0 &&
           delta("kernel_dropped") == 0 && delta("dispatched") == static_cast<long>(kRampCount);
  });
  daemon.Signal(SIGTERM);
  daemon.WaitExit();
  return best;
}

// The node with echo queries: lossless when every answer arrives at the hub's port.
RampResult RampNodeEcho() {
  UdpSocket hub(3639);
  BigBuffer(hub.Fd());
  Daemon daemon;
  daemon.Start();
  if (!hub.Receive(5000)) return {};
  UdpSocket tx(0);
  std::vector<std::string> texts;
  for (size_t i = 0; i < kRampCount; ++i) texts.push_back(EchoQuery(i));
  const RampResult best = Ramp("node, echo queries", daemon.Pid(), [&](double rate, double& offered) {
    Drain(hub.Fd());
    const auto start = Clock::now();
    long answers = PacedSend(
        tx.Fd(), 32768, kRampCount, [&](size_t i) { return texts[i]; }, rate, hub.Fd());
    offered = OfferedRate(kRampCount, start);
    answers += Settled([&, drained = 0L]() mutable {
      drained += Drain(hub.Fd());
      return drained;
    });
    return answers >= static_cast<long>(kRampCount);
  });
  daemon.Signal(SIGTERM);
  daemon.WaitExit();
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const bool trace = argc > 1 && std::strcmp(argv[1], "--trace") == 0;
  const bool memoryOnly = argc > 1 && std::strcmp(argv[1], "--memory") == 0;
  std::printf("load average at start: %s", sablewick::testing::ReadFile("/proc/loadavg").c_str());
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

  // Exec to first heartbeat, and idle memory (each of the 5 runs, 1 s after its heartbeat).
  std::vector<double> startups;
  std::vector<IdleMemory> idle;
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
    usleep(1000000);
    idle.push_back(MeasureIdle(daemon.Pid()));
    if (run == 0) PrintPssByMapping(daemon.Pid(), 10);
    daemon.Signal(SIGTERM);
    daemon.WaitExit();
  }
  std::sort(startups.begin(), startups.end());
  std::printf("%-44s %12.2f\n", "exec to first heartbeat, median ms (5 runs)", startups[2]);
  PrintIdle("idle, no bridge", idle);
  if (!IdleRuns("idle beside a second node", "", true, nullptr)) return 1;

  // The same with the MQTT bridge connected to a Mosquitto broker of our own.
  {
    std::fflush(stdout);  // the broker's child process must not write our buffer again
    Broker broker(kBrokerPort);
    if (!broker.Start()) {
      std::printf("the broker did not start\n");
      return 1;
    }
    const std::string mqtt = "[MQTT]\nBroker=127.0.0.1:" + std::to_string(kBrokerPort) + "\n";
    if (!IdleRuns("idle, bridge connected", mqtt, false, &broker) ||
        !IdleRuns("bridge, beside a second node", mqtt, true, &broker))
      return 1;
  }

  if (memoryOnly) return 0;

  // The ramps, the reference first.
  const RampResult raw = RampRawLoopback();
  const RampResult plain = RampNodePlain();
  const RampResult echo = RampNodeEcho();
  std::printf("%-44s %12.0f\n", "highest lossless rate, raw loopback, /s", raw.best);
  std::printf("%-44s %12.0f  (%.2f of raw)\n", "highest lossless rate, plain datagrams, /s",
              plain.best, raw.best > 0 ? plain.best / raw.best : 0.0);
  std::printf("%-44s %12.0f  (%.2f of raw)\n", "highest lossless rate, echo queries, /s",
              echo.best, raw.best > 0 ? echo.best / raw.best : 0.0);
  // What one receiver's CPU allows: raw's CPU time per datagram over the node's.
  std::printf("%-44s %12.0f\n", "receiver CPU per datagram, raw loopback, ns", raw.cpuNsEach);
  std::printf("%-44s %12.0f  (raw/node %.2f)\n", "node CPU per datagram, plain, ns",
              plain.cpuNsEach, plain.cpuNsEach > 0 ? raw.cpuNsEach / plain.cpuNsEach : 0.0);
  std::printf("%-44s %12.0f  (raw/node %.2f)\n", "node CPU per datagram, echo, ns",
              echo.cpuNsEach, echo.cpuNsEach > 0 ? raw.cpuNsEach / echo.cpuNsEach : 0.0);
  std::printf("%-44s %12.2f\n", "raw/node CPU at the same rates, plain", SameRateRatio(raw, plain));
  std::printf("%-44s %12.2f\n", "raw/node CPU at the same rates, echo", SameRateRatio(raw, echo));

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
