// A long run of the real daemon under steady traffic with handlers: ten subscriptions, each
// to its own class that one datagram in a thousand carries, each with a handler script that
// fetches its messages until none is left and writes down each one's sequence number. Sends
// 1,000,000 datagrams at 50,000 a second, waits until the handlers are idle, and prints what
// went in, what was handled (once each?), zombies, open descriptors and resident memory, then
// memory again once the queued messages have expired. Run inside tests/netns-run.sh:
//   soak_bench [COUNT [RATE [SECONDS_TO_EXPIRY [EVERY]]]]   (1000000 50000 65 100)
#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "bench/xap/BenchSupport.h"

using sablewick::testing::Daemon;
using sablewick::testing::ProcKb;
using sablewick::testing::ReadFile;
using sablewick::testing::UdpSocket;
using sablewick::testing::WriteFile;
using namespace sablewick::bench;

namespace {

constexpr int kHandlers = 10;
size_t kEvery = 100;  // one datagram in kEvery matches a subscription (`soak_bench C R S EVERY`)

void Print(const char* what, long value) { std::printf("%-48s %12ld\n", what, value); }

// The class of the i-th datagram: every kEvery-th goes to one handler after the other.
std::string ClassOf(size_t i) {
  return i % kEvery == 0 ? "soak.c" + std::to_string((i / kEvery) % kHandlers) : "soak.other";
}

std::string Datagram(size_t i) {
  return "xap-header\n{\nv=12\nhop=1\nuid=FF123400\nclass=" + ClassOf(i) +
         "\nsource=acme.bench.pc\n}\nSoak\n{\nseq=" + std::to_string(i) + "\n}\n";
}

// Children of `parent` (all, and those in state Z), from /proc.
void Children(pid_t parent, int& all, int& zombies) {
  all = zombies = 0;
  DIR* d = opendir("/proc");
  if (d == nullptr) return;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
    const std::string stat = ReadFile(std::string("/proc/") + e->d_name + "/stat");
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) continue;
    char state = 0;
    int ppid = 0;
    if (std::sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) != 2) continue;
    if (ppid != parent) continue;
    ++all;
    if (state == 'Z') ++zombies;
  }
  closedir(d);
}

long OpenDescriptors(pid_t pid) {
  DIR* d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  if (d == nullptr) return -1;
  long n = 0;
  while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
  closedir(d);
  return n;
}

// What the handlers wrote: one sequence number a line, per handler file.
struct Handled {
  long lines = 0, unique = 0, duplicates = 0, wrongHandler = 0, bad = 0;
};

Handled Count(const std::string& dataDir, size_t sent) {
  Handled h;
  std::vector<unsigned char> seen(sent, 0);
  for (int k = 0; k < kHandlers; ++k) {
    std::istringstream in(ReadFile(dataDir + "/h" + std::to_string(k) + ".txt"));
    std::string line;
    while (std::getline(in, line)) {
      ++h.lines;
      char* end = nullptr;
      const unsigned long seq = std::strtoul(line.c_str(), &end, 10);
      if (line.empty() || *end != '\0' || seq >= sent || seq % kEvery != 0) {
        ++h.bad;
        continue;
      }
      if (ClassOf(seq) != "soak.c" + std::to_string(k)) ++h.wrongHandler;
      if (seen[seq]++ == 0)
        ++h.unique;
      else
        ++h.duplicates;
    }
  }
  return h;
}

}  // namespace

int main(int argc, char** argv) {
  const size_t count = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1000000;
  const double rate = argc > 2 ? std::strtod(argv[2], nullptr) : 50000.0;
  if (argc > 4) kEvery = std::max<size_t>(1, std::strtoul(argv[4], nullptr, 10));
  const size_t matching = (count + kEvery - 1) / kEvery;

  UdpSocket hub(3639);
  BigBuffer(hub.Fd());
  Daemon daemon;
  const std::string data = daemon.Root() + "/Data";
  std::string subscribe = "Set hs = CreateObject(\"Sablewick.Application\")\n";
  for (int k = 0; k < kHandlers; ++k) {
    const std::string name = std::string("h").append(std::to_string(k));
    const std::string path = daemon.Root() + "/Scripts/" + name + ".vbs";
    WriteFile(path,
              "Set hs = CreateObject(\"Sablewick.Application\")\n"
              "Set f = CreateObject(\"Scripting.FileSystemObject\").OpenTextFile(\"" +
                  data + "/" + name + ".txt\", 8, True)\n"
                  "Set m = hs.GetXapMessage(WScript.Arguments(0))\n"
                  "Do Until m Is Nothing\n"
                  "  f.WriteLine m.GetItem(\"Soak\", \"seq\")\n"
                  "  Set m = hs.GetXapMessage(WScript.Arguments(0))\n"
                  "Loop\n"
                  "f.Close\n");
    ::chmod(path.c_str(), 0755);
    subscribe += "hs.SelectXapMessage \"\", \"soak.c" + std::to_string(k) + "\", \"\", \"\", \"" +
                 name + ".vbs\"\n";
  }
  daemon.Start();
  if (!hub.Receive(5000)) {
    std::printf("no heartbeat\n");
    return 1;
  }
  WriteFile(daemon.Root() + "/subscribe.vbs", subscribe);
  if (daemon.RunScript(daemon.Root() + "/subscribe.vbs") != 0) {
    std::printf("the subscriptions failed:\n%s\n", daemon.Log().c_str());
    return 1;
  }
  const pid_t node = daemon.Pid();
  usleep(1000000);
  const long rssIdle = daemon.RssKb();
  const long anonIdle = ProcKb(node, "status", "RssAnon:");
  const long pssIdle = ProcKb(node, "smaps_rollup", "Pss:");
  const long dirtyIdle = ProcKb(node, "smaps_rollup", "Private_Dirty:");
  PrintPssByMapping(node, 6);
  const long fdsBefore = OpenDescriptors(node);

  // The flood, with the resident memory sampled between batches for its peak.
  UdpSocket tx(0);
  const auto start = Clock::now();
  long rssPeak = rssIdle;
  const size_t batch = 50000;
  for (size_t from = 0; from < count; from += batch) {
    const size_t n = std::min(batch, count - from);
    PacedSend(
        tx.Fd(), 32768, n, [&](size_t i) { return Datagram(from + i); }, rate, hub.Fd());
    rssPeak = std::max(rssPeak, daemon.RssKb());
  }
  const double sendSecs = Ms(Clock::now() - start) / 1000;

  // Until every matching message is written down and no handler runs (at most 120 s).
  Handled handled;
  int children = 0, zombies = 0;
  const auto waitStart = Clock::now();
  for (int i = 0; i < 1200; ++i) {
    Drain(hub.Fd());
    handled = Count(data, count);
    Children(node, children, zombies);
    rssPeak = std::max(rssPeak, daemon.RssKb());
    if (children == 0 && handled.unique >= static_cast<long>(matching)) break;
    usleep(100000);
  }
  const double waitSecs = Ms(Clock::now() - waitStart) / 1000;
  usleep(500000);  // a handler still ending shows as a child or zombie now
  Children(node, children, zombies);
  handled = Count(data, count);

  // The kernel's drops on the node's socket reach its status with the next datagram it reads.
  tx.SendTo(32768, "xap-header\n");
  usleep(200000);
  const std::string status = Status(daemon.RuntimeDir());
  const long fdsAfter = OpenDescriptors(node);
  const long rssAfter = daemon.RssKb();
  const long rssHwm = ProcKb(node, "status", "VmHWM:");

  Print("datagrams sent", static_cast<long>(count));
  std::printf("%-48s %12.0f\n", "offered rate, datagrams/s", count / sendSecs);
  Print("taken in by the node", StatusNumber(status, "received"));
  Print("dropped by the node's queue", StatusNumber(status, "dropped"));
  Print("dropped by the kernel (the node's status)", StatusNumber(status, "kernel_dropped"));
  Print("matched by a subscription (the node's status)", StatusNumber(status, "matched"));
  Print("still stored (the node's status)", StatusNumber(status, "stored"));
  Print("handler runs started (the node's status)", StatusNumber(status, "started"));
  Print("handler runs failed (the node's status)", StatusNumber(status, "failed"));
  Print("matching messages sent", static_cast<long>(matching));
  Print("matching messages handled (lines written)", handled.lines);
  Print("  distinct", handled.unique);
  Print("  handled more than once", handled.duplicates);
  Print("  never handled", static_cast<long>(matching) - handled.unique);
  Print("  by the wrong handler", handled.wrongHandler);
  Print("  unreadable lines", handled.bad);
  std::printf("%-48s %12.1f\n", "seconds from last send to handlers idle", waitSecs);
  Print("children of the node still running", children - zombies);
  Print("zombies", zombies);
  Print("open descriptors of the node, before", fdsBefore);
  Print("open descriptors of the node, after", fdsAfter);
  Print("resident memory idle before, KB", rssIdle);
  Print("  of which anonymous (RssAnon), KB", anonIdle);
  Print("proportional memory (PSS) idle before, KB", pssIdle);
  Print("private dirty memory idle before, KB", dirtyIdle);
  Print("resident memory at peak (sampled), KB", rssPeak);
  Print("resident memory high-water mark (VmHWM), KB", rssHwm);
  Print("resident memory when handlers are idle, KB", rssAfter);

  // The node has no trim of its own: memory once every queued message has expired.
  const int expirySecs = argc > 3 ? std::atoi(argv[3]) : 65;
  for (int i = 0; i < expirySecs * 10; ++i) {
    if (i % 10 == 0) Drain(hub.Fd());
    usleep(100000);
  }
  std::printf("%-48s %12ld\n",
              ("resident memory " + std::to_string(expirySecs) + " s later, KB").c_str(),
              daemon.RssKb());
  Print("  of which anonymous (RssAnon), KB", ProcKb(node, "status", "RssAnon:"));
  Print("proportional memory (PSS) then, KB", ProcKb(node, "smaps_rollup", "Pss:"));
  Print("private dirty memory then, KB", ProcKb(node, "smaps_rollup", "Private_Dirty:"));
  PrintPssByMapping(node, 6);
  Print("still stored then (the node's status)",
        StatusNumber(Status(daemon.RuntimeDir()), "stored"));
  Print("open descriptors of the node then", OpenDescriptors(node));
  Children(node, children, zombies);
  Print("zombies then", zombies);

  daemon.Signal(SIGTERM);
  const int exit = daemon.WaitExit(10000);
  Print("exit status of the node after SIGTERM", exit);
  Print("dropped by the kernel (the node's log)",
        LoggedDrops(data + "/Sablewick.txt", "Receive socket full: "));
  return 0;
}
