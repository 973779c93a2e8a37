// What the engine benchmarks share: CPU time of a run in our engine, and of the same work in
// lua5.4 and python3, each of which times itself (start-up excluded).
#pragma once

#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "engine/Engine.h"

namespace bench {

// CPU time of this process: the machine is shared, and wall time there measures the
// neighbours. Lua's os.clock and Python's process_time are CPU time too.
inline double CpuMs() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
}

inline double RunOurs(const char* code) {
  vbs::Engine engine;
  double start = CpuMs();
  bool ok = engine.AddCode(code);
  double end = CpuMs();
  if (!ok) {
    std::fprintf(stderr, "engine error %d: %s\n", engine.Error().Number,
                 engine.Error().Description.c_str());
    return -1;
  }
  return end - start;
}

// Runs a command that prints its own elapsed milliseconds; -1 when it is not there.
inline double RunExternal(const std::string& command) {
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  if (!pipe) return -1;
  char buf[128] = {};
  if (!std::fgets(buf, sizeof buf, pipe.get())) return -1;
  return std::atof(buf);
}

inline std::string ShellQuote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

inline double RunLua(const char* body) {
  std::string code =
      std::string("local c0 = os.clock() ") + body + " print((os.clock() - c0) * 1000)";
  return RunExternal("lua5.4 -e " + ShellQuote(code) + " 2>/dev/null");
}

inline double RunPython(const char* body) {
  std::string code = std::string("import time\ndef work():\n") + body +
                     "t0 = time.process_time()\nwork()\nprint((time.process_time() - t0) * 1000)\n";
  return RunExternal("python3 -c " + ShellQuote(code) + " 2>/dev/null");
}

inline std::string Cell(double ms) {
  if (ms < 0) return "n/a";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f ms", ms);
  return buf;
}

}  // namespace bench
