// The bridge measured from outside, in one run: xAP datagrams paced at 10,000 a second into
// the real daemon and counted as they arrive from the broker (one MQTT message each), with the
// node's CPU time per datagram next to the same datagrams into a node without the bridge and
// to mosquitto_pub's own CPU time per message into the same broker (its -l mode, one message
// per line of stdin, same payload size); and the node's idle resident memory with the bridge
// connected, next to the same node without it. Run inside tests/netns-run.sh.
#include <fcntl.h>
#include <mosquitto.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/bridge/BrokerHarness.h"
#include "tests/daemon/DaemonHarness.h"

using sablewick::testing::Broker;
using sablewick::testing::Daemon;
using sablewick::testing::TempDir;
using sablewick::testing::UdpSocket;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kPort = 18830;
const std::string kDrumlin = "[Interface]\nBroadcastAddress=127.0.0.1\nInterfaceAddress=127.0.0.2\n";
const std::string kBridgeIni = "[MQTT]\nBroker=127.0.0.1:" + std::to_string(kPort) + "\n";

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// User plus system CPU time of a process, in seconds.
double CpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(in, line);
  std::istringstream fields(line.substr(line.rfind(')') + 2));
  std::string field;
  long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stol(field);
    if (i == 15) stime = std::stol(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// A subscriber on its own libmosquitto thread that counts what arrives under a filter.
class Counter {
 public:
  explicit Counter(const std::string& filter) {
    mosquitto_lib_init();
    mosq_ = mosquitto_new(nullptr, true, this);
    mosquitto_message_callback_set(mosq_, [](mosquitto*, void* self, const mosquitto_message* m) {
      auto* c = static_cast<Counter*>(self);
      if (std::string(m->topic).find("/status/") != std::string::npos) {
        c->online = std::string(static_cast<const char*>(m->payload), m->payloadlen) == "online";
      } else {
        c->count.fetch_add(1);
      }
    });
    mosquitto_connect(mosq_, "127.0.0.1", kPort, 60);
    mosquitto_subscribe(mosq_, nullptr, filter.c_str(), 0);
    mosquitto_subscribe(mosq_, nullptr, "xap/status/#", 0);
    mosquitto_loop_start(mosq_);
  }
  ~Counter() {
    mosquitto_disconnect(mosq_);
    mosquitto_loop_stop(mosq_, false);
    mosquitto_destroy(mosq_);
  }
  // Waits until n have arrived or nothing more came for idleMs.
  long WaitFor(long n, int idleMs = 2000) {
    long last = count.load();
    auto quiet = Clock::now();
    while (count.load() < n) {
      usleep(5000);
      const long now = count.load();
      if (now != last) {
        last = now;
        quiet = Clock::now();
      } else if (Clock::now() - quiet > std::chrono::milliseconds(idleMs)) {
        break;
      }
    }
    return count.load();
  }
  std::atomic<long> count{0};
  std::atomic<bool> online{false};

 private:
  mosquitto* mosq_;
};

bool WaitOnline(Counter& c) {
  for (int i = 0; i < 1000 && !c.online.load(); ++i) usleep(10000);
  return c.online.load();
}

std::string Datagram(int i) {
  return "xap-header\n{\nv=12\nhop=1\nuid=FF123400\nclass=Bench.Reading\nsource=acme.bench.pc:" +
         std::to_string(i % 50) + "\n}\nreading\n{\nState=on\nText=reading " +
         std::to_string(i) + "\n}\n";
}

// Paces the datagrams to the node at `rate` a second; the seconds it took.
double PacedSend(const std::vector<std::string>& texts, double rate) {
  UdpSocket tx(0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(32768);
  inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
  const auto start = Clock::now();
  for (size_t i = 0; i < texts.size(); ++i) {
    const auto due = start + std::chrono::duration_cast<Clock::duration>(
                                 std::chrono::duration<double>(static_cast<double>(i) / rate));
    while (Clock::now() < due) {
    }
    sendto(tx.Fd(), texts[i].data(), texts[i].size(), 0, reinterpret_cast<sockaddr*>(&to),
           sizeof to);
  }
  return Seconds(Clock::now() - start);
}

}  // namespace

int main() {
  Broker broker(kPort);
  if (!broker.Start()) {
    std::printf("the broker did not start\n");
    return 1;
  }
  std::printf("%-58s %12s\n", "measure", "value");

  const int n = 50000;
  const double rate = 10000;
  std::vector<std::string> texts;
  for (int i = 0; i < n; ++i) texts.push_back(Datagram(i));

  // Idle memory without the bridge, then with it connected; the node's CPU time for the same
  // datagrams without the bridge.
  long rssOff = -1, rssOn = -1, pssOff = -1, pssOn = -1;
  double cpuOffPerDatagram = 0;
  {
    UdpSocket hub(3639);
    Daemon daemon(kDrumlin, "[General]\nUID=FF00E800\n");
    daemon.Start();
    if (!hub.Receive(5000)) return 1;
    usleep(1000000);
    rssOff = daemon.RssKb();
    // PSS: shared library pages divided among the processes that map them.
    pssOff = sablewick::testing::ProcKb(daemon.Pid(), "smaps_rollup", "Pss:");
    const double cpuBefore = CpuSeconds(daemon.Pid());
    PacedSend(texts, rate);
    usleep(1000000);  // what is queued is dispatched within its 50 ms batch
    cpuOffPerDatagram = (CpuSeconds(daemon.Pid()) - cpuBefore) / n;
  }
  {
    UdpSocket hub(3639);
    Counter counter("xap/in/#");
    Daemon daemon(kDrumlin, kBridgeIni);
    daemon.Start();
    if (!hub.Receive(5000) || !WaitOnline(counter)) {
      std::printf("the node did not get on the broker\n%s\n", daemon.Log().c_str());
      return 1;
    }
    usleep(1000000);
    rssOn = daemon.RssKb();
    pssOn = sablewick::testing::ProcKb(daemon.Pid(), "smaps_rollup", "Pss:");

    const double cpuBefore = CpuSeconds(daemon.Pid());
    const auto start = Clock::now();
    const double sendSecs = PacedSend(texts, rate);
    const long got = counter.WaitFor(n);
    const double allSecs = Seconds(Clock::now() - start);
    const double cpu = CpuSeconds(daemon.Pid()) - cpuBefore;
    std::printf("%-58s %12.0f\n", "xAP datagrams sent to the node, paced, per second", n / sendSecs);
    std::printf("%-58s %12ld\n", "  of 50,000: arrived on MQTT (xap/in/#)", got);
    std::printf("%-58s %12ld\n", "  lost", n - got);
    std::printf("%-58s %12.2f\n", "  last arrival after the first send, s", allSecs);
    std::printf("%-58s %12.1f\n", "  node CPU time per bridged datagram, us", cpu * 1e6 / n);
    std::printf("%-58s %12.1f\n", "  node CPU time per datagram without the bridge, us",
                cpuOffPerDatagram * 1e6);
    std::printf("%-58s %12ld\n", "idle resident memory after the run, KB", daemon.RssKb());
    // What the node said about its connection during the run (drops, losses).
    std::istringstream log(daemon.Log());
    for (std::string line; std::getline(log, line);) {
      if (line.find("MQTT") != std::string::npos) std::fprintf(stderr, "node: %s\n", line.c_str());
    }
  }

  // mosquitto_pub's own rate into the same broker: the same count, payloads of the same size.
  {
    Counter counter("bench/pub");
    TempDir dir;
    const std::string lines = dir.Path() + "/lines";
    {
      std::ofstream out(lines);
      const std::string payload(220, 'x');
      for (int i = 0; i < n; ++i) out << payload << i << '\n';
    }
    const auto start = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
      const int fd = open(lines.c_str(), O_RDONLY);
      dup2(fd, 0);
      execlp("mosquitto_pub", "mosquitto_pub", "-h", "127.0.0.1", "-p", std::to_string(kPort).c_str(),
             "-t", "bench/pub", "-l", static_cast<char*>(nullptr));
      _exit(127);
    }
    const long got = counter.WaitFor(n);
    const double secs = Seconds(Clock::now() - start);
    rusage usage{};
    wait4(pid, nullptr, 0, &usage);
    const double pubCpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                          static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    std::printf("%-58s %12.0f\n", "mosquitto_pub -l into the same broker, arrived per second",
                got / secs);
    std::printf("%-58s %12ld\n", "  of 50,000: arrived", got);
    std::printf("%-58s %12.1f\n", "  mosquitto_pub's own CPU time per message, us", pubCpu * 1e6 / n);
  }
  std::printf("%-58s %12ld\n", "idle resident memory, bridge connected, KB", rssOn);
  std::printf("%-58s %12ld\n", "idle resident memory, bridge off, KB", rssOff);
  std::printf("%-58s %12ld\n", "idle proportional memory (PSS), bridge connected, KB", pssOn);
  std::printf("%-58s %12ld\n", "idle proportional memory (PSS), bridge off, KB", pssOff);
  return 0;
}
