// The same four programs in our engine, Lua 5.4 and CPython, timed in one run and
// printed side by side. Each interpreter times its own run in CPU time (start-up
// excluded).
//   vbs-bench [--repeat N]
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "bench/engine/BenchSupport.h"
#include "engine/Engine.h"

namespace {

struct Program {
  const char* name;
  const char* vbs;
  const char* lua;     // body; ends by printing nothing
  const char* python;  // body of a function
};

const Program kPrograms[] = {
    {"10M integer additions (For loop)",
     "Dim i, t: t = 0\nFor i = 1 To 10000000: t = t + i: Next\n",
     "local t = 0 for i = 1, 10000000 do t = t + i end",
     "    t = 0\n    for i in range(1, 10000001):\n        t += i\n"},
    {"1M calls of a small function",
     "Function Inc(x): Inc = x + 1: End Function\nDim i, r: r = 0\n"
     "For i = 1 To 1000000: r = Inc(r): Next\n",
     "local function inc(x) return x + 1 end local r = 0 for i = 1, 1000000 do r = inc(r) end",
     "    def inc(x):\n        return x + 1\n    r = 0\n    for i in range(1000000):\n"
     "        r = inc(r)\n"},
    {"100k appends s = s & \"x\"", "Dim i, s: s = \"\"\nFor i = 1 To 100000: s = s & \"x\": Next\n",
     "local s = \"\" for i = 1, 100000 do s = s .. \"x\" end",
     "    s = ''\n    for i in range(100000):\n        s = s + 'x'\n"},
    {"build 100k short strings",
     "Dim i, a(100000)\nFor i = 1 To 100000: a(i) = \"item\" & i: Next\n",
     "local a = {} for i = 1, 100000 do a[i] = \"item\" .. i end",
     "    a = [None] * 100001\n    for i in range(1, 100001):\n        a[i] = 'item' + str(i)\n"},
};

}  // namespace

using namespace bench;

int main(int argc, char** argv) {
  int repeat = 3;
  if (argc == 3 && std::string(argv[1]) == "--repeat") repeat = std::max(1, std::atoi(argv[2]));
  std::printf("%-36s %12s %12s %12s\n", "program (best of runs)", "ours", "lua5.4", "python3");
  for (const auto& p : kPrograms) {
    double ours = 1e18, lua = 1e18, py = 1e18;
    for (int r = 0; r < repeat; ++r) {
      ours = std::min(ours, RunOurs(p.vbs));
      lua = std::min(lua, RunLua(p.lua));
      py = std::min(py, RunPython(p.python));
    }
    std::printf("%-36s %12s %12s %12s\n", p.name, Cell(ours).c_str(), Cell(lua).c_str(),
                Cell(py).c_str());
  }
  // Appends must stay linear: ten times the appends may cost about ten times as much.
  double small = RunOurs("Dim i, s: For i = 1 To 100000: s = s & \"x\": Next");
  double large = RunOurs("Dim i, s: For i = 1 To 1000000: s = s & \"x\": Next");
  std::printf("appends 100k -> 1M: %s -> %s (x%.1f)\n", Cell(small).c_str(), Cell(large).c_str(),
              large / small);
  return 0;
}
