// From a matching datagram to the started script's first GetXapMessage: the daemon in a
// private network namespace (run through tests/netns-run.sh), a subscribed VBScript that
// answers with one raw datagram as soon as its first fetch returns. Messages are sent one at a
// time, each after the previous answer, so every one starts a process. The floor to compare
// with is the 50 ms receive timer plus one process start, which the bench measures too.
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "tests/daemon/DaemonHarness.h"

using sablewick::testing::Daemon;
using sablewick::testing::UdpSocket;
using sablewick::testing::WriteFile;
using Clock = std::chrono::steady_clock;

namespace {

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double Percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(p * (v.size() - 1) + 0.5))];
}

}  // namespace

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::atoi(argv[1]) : 1000;
  UdpSocket hub(3639);
  Daemon daemon;
  WriteFile(daemon.Root() + "/Scripts/first.vbs",
            "Set hs = CreateObject(\"Sablewick.Application\")\n"
            "Set m = hs.GetXapMessage(WScript.Arguments(0))\n"
            "hs.SendUDPMessage \"got \" & m.Handle\n"
            "Do Until m Is Nothing : Set m = hs.GetXapMessage(WScript.Arguments(0)) : Loop\n");
  WriteFile(daemon.Root() + "/Scripts/subscribe.vbs",
            "Set hs = CreateObject(\"Sablewick.Application\")\n"
            "hs.SelectXapMessage \"\", \"bench.event\", \"\", \"\", \"first.vbs\"\n");
  WriteFile(daemon.Root() + "/Scripts/empty.vbs", "x = 1\n");
  daemon.Start();
  if (!hub.Receive(5000) || !hub.Receive(5000)) return 1;  // heartbeat, port notice
  const std::string bus = daemon.RuntimeDir() + "/sablewick/bus";  // the object server, just after
  for (int i = 0; i < 500 && !std::filesystem::exists(bus); ++i) usleep(10000);
  if (daemon.RunScript(daemon.Root() + "/Scripts/subscribe.vbs") != 0) return 1;

  // The floor's second part: starting the runner on a script that does nothing.
  std::vector<double> starts;
  for (int i = 0; i < 50; ++i) {
    const auto t0 = Clock::now();
    daemon.RunScript(daemon.Root() + "/Scripts/empty.vbs");
    starts.push_back(Ms(Clock::now() - t0));
  }

  const std::string message =
      "xap-header\n{\nv=12\nhop=1\nuid=FF123400\nclass=bench.event\nsource=acme.bench.pc\n}\n"
      "Bench\n{\nn=1\n}\n";
  std::vector<double> latencies;
  int lost = 0;
  for (int i = 0; i < count; ++i) {
    const auto t0 = Clock::now();
    hub.SendTo(32768, message);
    auto reply = hub.ReceiveMessage(5000);
    if (!reply || reply->rfind("got M", 0) != 0) {
      ++lost;
      continue;
    }
    latencies.push_back(Ms(Clock::now() - t0));
    usleep(5000);  // let the script end before the next message starts another
  }
  daemon.Signal(SIGTERM);
  daemon.WaitExit();
  if (latencies.empty()) return 1;
  std::printf("%-52s %10s %10s\n", "measure (ms)", "median", "p99");
  std::printf("%-52s %10.2f %10.2f\n", "runner start on an empty script", Percentile(starts, 0.5),
              Percentile(starts, 0.99));
  std::printf("%-52s %10.2f %10.2f\n", "floor: 50 ms receive timer + runner start",
              50 + Percentile(starts, 0.5), 50 + Percentile(starts, 0.99));
  std::printf("%-52s %10.2f %10.2f\n", "datagram -> first GetXapMessage answered",
              Percentile(latencies, 0.5), Percentile(latencies, 0.99));
  std::printf("messages %d, answered %zu, lost %d\n", count, latencies.size(), lost);
  return 0;
}
