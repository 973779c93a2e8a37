// The string library and RegExp over a 1 MB text and a Dictionary of 100,000 keys, in our engine and
// in CPython, timed in one run and printed side by side (CPU time, start-up excluded).
//   vbs-lib-bench [--repeat N]
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "bench/engine/BenchSupport.h"
#include "engine/Engine.h"

namespace {

struct Program {
  const char* name;
  const char* vbs;
  const char* python;  // body of a function
};

// Both sides build the same 1 MB text first: 20,000 lines of 50 bytes.
#define TEXT_VBS                                                                  \
  "Dim line, t: line = \"the quick brown fox jumps over the lazy dog 0123456\"\n" \
  "t = Replace(Space(20000), \" \", line & vbLf)\n"
#define TEXT_PY                                                       \
  "    line = 'the quick brown fox jumps over the lazy dog 0123456'\n" \
  "    t = (' ' * 20000).replace(' ', line + '\\n')\n"

// The same on text that is not ASCII: room names in several scripts, a unit, an emoji.
#define ROOMS_VBS                                                                                 \
  "Dim line, t: line = \"K\u00fcche S\u00e9jour Sal\u00f3n \u03a8\u03c5\u03b3\u03b5\u03af\u03bf " \
  "\u5ba2\u5385 21.5\u00b0C \U0001F4A1 0123\"\n"                                                  \
  "t = Replace(Space(20000), \" \", line & vbLf)\n"
#define ROOMS_PY                                                                        \
  "    line = 'K\u00fcche S\u00e9jour Sal\u00f3n \u03a8\u03c5\u03b3\u03b5\u03af\u03bf " \
  "\u5ba2\u5385 21.5\u00b0C \U0001F4A1 0123'\n"                                         \
  "    t = (' ' * 20000).replace(' ', line + '\\n')\n"

const Program kPrograms[] = {
    {"Split 1 MB into 20k lines, Join back",
     TEXT_VBS "Dim a, u: a = Split(t, vbLf): u = Join(a, vbLf)\n"
              "If Len(u) <> Len(t) Then Err.Raise 5\n",
     TEXT_PY "    a = t.split('\\n')\n    u = '\\n'.join(a)\n    assert len(u) == len(t)\n"},
    {"Replace in 1 MB (200k hits, longer)",
     TEXT_VBS "Dim u: u = Replace(t, \"o\", \"00\")\nIf Len(u) <= Len(t) Then Err.Raise 5\n",
     TEXT_PY "    u = t.replace('o', '00')\n    assert len(u) > len(t)\n"},
    {"InStr loop: count 100k hits in 1 MB",
     TEXT_VBS "Dim p, n: p = InStr(1, t, \"fox\"): n = 0\n"
              "Do While p > 0: n = n + 1: p = InStr(p + 3, t, \"fox\"): Loop\n"
              "If n <> 20000 Then Err.Raise 5\n"
              "p = InStr(1, t, \"e\"): n = 0\n"
              "Do While p > 0: n = n + 1: p = InStr(p + 1, t, \"e\"): Loop\n",
     TEXT_PY "    p = t.find('fox'); n = 0\n    while p >= 0:\n        n += 1\n"
             "        p = t.find('fox', p + 3)\n    assert n == 20000\n"
             "    p = t.find('e'); n = 0\n    while p >= 0:\n        n += 1\n"
             "        p = t.find('e', p + 1)\n"},
    {"RegExp Execute \\w+ in 1 MB (200k matches)",
     TEXT_VBS "Dim re, ms: Set re = CreateObject(\"VBScript.RegExp\")\n"
              "re.Pattern = \"\\w+\": re.Global = True: Set ms = re.Execute(t)\n"
              "If ms.Count <> 200000 Or ms(199999).Value <> \"0123456\" Then Err.Raise 5\n",
     TEXT_PY "    import re\n    ms = list(re.finditer(r'\\w+', t))\n"
             "    assert len(ms) == 200000 and ms[199999].group(0) == '0123456'\n"},
    {"RegExp Replace 2 groups in 1 MB (100k hits)",
     TEXT_VBS "Dim re, u: Set re = CreateObject(\"VBScript.RegExp\")\n"
              "re.Pattern = \"(\\w+) (\\w+)\": re.Global = True: u = re.Replace(t, \"$2 $1\")\n"
              "If Len(u) <> Len(t) Or Left(u, 9) <> \"quick the\" Then Err.Raise 5\n",
     TEXT_PY "    import re\n    u = re.sub(r'(\\w+) (\\w+)', r'\\2 \\1', t)\n"
             "    assert len(u) == len(t) and u[:9] == 'quick the'\n"},
    {"RegExp Test on each of 20k lines",
     TEXT_VBS "Dim re, a, l, n: Set re = CreateObject(\"VBScript.RegExp\")\n"
              "re.Pattern = \"^the .* dog \\d+$\": a = Split(t, vbLf): n = 0\n"
              "For Each l In a: If re.Test(l) Then n = n + 1\n: Next\n"
              "If n <> 20000 Then Err.Raise 5\n",
     TEXT_PY "    import re\n    rx = re.compile(r'^the .* dog \\d+$')\n    n = 0\n"
             "    for l in t.split('\\n'):\n        if rx.search(l): n += 1\n"
             "    assert n == 20000\n"},
    {"Non-ASCII 1 MB: Split/Join, Replace, UCase",
     ROOMS_VBS "Dim a, u: a = Split(t, vbLf): u = Join(a, vbLf)\n"
               "If Len(u) <> Len(t) Then Err.Raise 5\n"
               "u = Replace(t, \"\u00fc\", \"ue\"): If Len(u) <= Len(t) Then Err.Raise 5\n"
               "u = UCase(t): If InStr(u, \"K\u00dcCHE\") <> 1 Then Err.Raise 5\n",
     ROOMS_PY "    a = t.split('\\n')\n    u = '\\n'.join(a)\n    assert len(u) == len(t)\n"
              "    u = t.replace('\u00fc', 'ue')\n    assert len(u) > len(t)\n"
              "    u = t.upper()\n    assert u.find('K\u00dcCHE') == 0\n"},
    {"Non-ASCII: InStr loop 20k hits, Mid per line",
     ROOMS_VBS "Dim p, n, a, l: p = InStr(1, t, \"\u00b0C\"): n = 0\n"
               "Do While p > 0: n = n + 1: p = InStr(p + 2, t, \"\u00b0C\"): Loop\n"
               "If n <> 20000 Then Err.Raise 5\n"
               "a = Split(t, vbLf): n = 0\n"
               "For Each l In a: If Mid(l, 7, 6) = \"S\u00e9jour\" Then n = n + 1\n: Next\n"
               "If n <> 20000 Then Err.Raise 5\n",
     ROOMS_PY "    p = t.find('\u00b0C'); n = 0\n    while p >= 0:\n        n += 1\n"
              "        p = t.find('\u00b0C', p + 2)\n    assert n == 20000\n"
              "    n = 0\n    for l in t.split('\\n'):\n"
              "        if l[6:12] == 'S\u00e9jour': n += 1\n    assert n == 20000\n"},
    {"Dictionary: 100k adds, lookups, Exists",
     "Dim d, i, s: Set d = CreateObject(\"Scripting.Dictionary\")\n"
     "For i = 1 To 100000: d.Add \"key\" & i, i: Next\n"
     "s = 0: For i = 1 To 100000: s = s + d(\"key\" & i): Next\n"
     "For i = 1 To 100000: If Not d.Exists(\"key\" & i) Then Err.Raise 5\n: Next\n"
     "If d.Count <> 100000 Then Err.Raise 5\n",
     "    d = {}\n    for i in range(1, 100001):\n        d['key' + str(i)] = i\n"
     "    s = 0\n    for i in range(1, 100001):\n        s += d['key' + str(i)]\n"
     "    for i in range(1, 100001):\n        assert ('key' + str(i)) in d\n"
     "    assert len(d) == 100000\n"},
};

}  // namespace

using namespace bench;

int main(int argc, char** argv) {
  int repeat = 3;
  if (argc == 3 && std::string(argv[1]) == "--repeat") repeat = std::max(1, std::atoi(argv[2]));
  std::printf("%-42s %12s %12s\n", "program (best of runs)", "ours", "python3");
  for (const auto& p : kPrograms) {
    double ours = 1e18, py = 1e18;
    for (int r = 0; r < repeat; ++r) {
      ours = std::min(ours, RunOurs(p.vbs));
      py = std::min(py, RunPython(p.python));
    }
    std::printf("%-42s %12s %12s\n", p.name, Cell(ours).c_str(), Cell(py).c_str());
  }
  return 0;
}
