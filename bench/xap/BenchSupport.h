// What the benchmarks of the real daemon share: the sender's pacing, the node's status as
// sablewick-ctl reports it, and the kernel's drops as the node logs them.
#pragma once

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <fstream>
#include <map>
#include <vector>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "tests/daemon/DaemonHarness.h"

namespace sablewick::bench {

using Clock = std::chrono::steady_clock;

inline double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

inline void BigBuffer(int fd) {
  const int size = 64 << 20;
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0) {
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  }
}

// Reads and discards what is waiting on the socket; how many datagrams that was.
inline int Drain(int fd) {
  char buf[2048];
  int n = 0;
  while (recv(fd, buf, sizeof buf, MSG_DONTWAIT) > 0) ++n;
  return n;
}

// Sends count datagrams (text(i) for the i-th) to 127.0.0.1:port at rate per second, draining
// `drainFd` (when not -1) while it waits; how many datagrams it drained.
inline long PacedSend(int fd, int port, size_t count,
                      const std::function<std::string(size_t)>& text, double rate,
                      int drainFd) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
  const auto start = Clock::now();
  long drained = 0;
  for (size_t i = 0; i < count; ++i) {
    const auto due = start + std::chrono::duration_cast<Clock::duration>(
                                 std::chrono::duration<double>(static_cast<double>(i) / rate));
    while (Clock::now() < due) drained += drainFd >= 0 ? Drain(drainFd) : 0;
    const std::string t = text(i);
    sendto(fd, t.data(), t.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  }
  return drained;
}

// `sablewick-ctl --json status` of the daemon whose runtime folder this is.
inline std::string Status(const std::string& runtime) {
  const std::string command = "XDG_RUNTIME_DIR='" + runtime + "' " SABLEWICK_CTL " --json status";
  FILE* p = popen(command.c_str(), "r");
  if (p == nullptr) return {};
  char buf[4096];
  std::string out;
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

// A number in the status JSON after `"name":`, -1 when missing.
inline long StatusNumber(const std::string& status, const std::string& name) {
  const size_t at = status.find("\"" + name + "\":");
  return at == std::string::npos ? -1 : std::atol(status.c_str() + at + name.size() + 3);
}

// The sum of the counts in the log's lines "... PREFIX N datagrams dropped".
inline long LoggedDrops(const std::string& logPath, const std::string& prefix) {
  const std::string log = sablewick::testing::ReadFile(logPath);
  long total = 0;
  for (size_t at = log.find(prefix); at != std::string::npos; at = log.find(prefix, at + 1)) {
    total += std::strtol(log.c_str() + at + prefix.size(), nullptr, 10);
  }
  return total;
}

// The largest shares of a process's proportional memory, by mapped file ("[anon]" for the rest).
// With SABLEWICK_SMAPS_OUT=FILE set, the whole smaps is also appended to FILE, for a closer
// look at which mapping holds what.
inline void PrintPssByMapping(pid_t pid, int top) {
  if (const char* out = std::getenv("SABLEWICK_SMAPS_OUT")) {
    std::ifstream whole("/proc/" + std::to_string(pid) + "/smaps");
    std::ofstream(out, std::ios::app) << whole.rdbuf();
  }
  std::ifstream in("/proc/" + std::to_string(pid) + "/smaps");
  std::map<std::string, long> pss;
  std::string line, current;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    if (std::isxdigit(static_cast<unsigned char>(line[0])) && line.find('-') < 16) {
      const size_t slash = line.find_first_of("/[");
      current = slash == std::string::npos ? "[anon]" : line.substr(slash);
    } else if (line.rfind("Pss:", 0) == 0) {
      pss[current] += std::atol(line.c_str() + 4);
    }
  }
  std::vector<std::pair<long, std::string>> sorted;
  for (const auto& [name, kb] : pss) sorted.emplace_back(kb, name);
  std::sort(sorted.rbegin(), sorted.rend());
  for (int i = 0; i < top && i < static_cast<int>(sorted.size()); ++i) {
    std::printf("  PSS %6ld KB  %s\n", sorted[i].first, sorted[i].second.c_str());
  }
}

}  // namespace sablewick::bench
