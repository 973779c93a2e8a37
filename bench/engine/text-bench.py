#!/usr/bin/env python3
"""Positions in text that is not ASCII: our engine beside CPython and Wine's VBScript engine.

    bench/engine/text-bench.py build/runner/sablewick-script [--wine /tmp/vbshost.exe]
        [--repeat N] [--sizes 50000,100000,200000] [--also NAME=RUNNER]

Four loops over N characters of "ä" text: Mid(s, i, 1) walking backwards, Mid at random
positions, and t = t & "ä" followed by Len(t) or by Right(t, 1). Each script is one
UTF-16LE file with a byte order mark, which both engines read; every runner's figure is
its CPU time (user + system) less that of an empty script (start-up; CPython times its own
loop with time.process_time), best of N runs,
taken in turns so that a busy machine disturbs all of them alike (a runner whose first run
takes over --once-after seconds, 10 by default, runs once). `--also` adds another
build of the runner (an older one, say). Wine runs with WINEPREFIX from the environment.
"""
import argparse
import os
import random
import resource
import subprocess
import sys
import tempfile
import time

LOOPS = {
    "Mid backward": (
        's = String(N, "\u00e4")\nFor i = N To 1 Step -1\n  c = Mid(s, i, 1)\nNext\n',
        "s = '\u00e4' * N\nfor i in range(N - 1, -1, -1):\n    c = s[i]\n"),
    "Mid random": (
        's = String(N, "\u00e4")\nRandomize 7\nFor k = 1 To N\n  c = Mid(s, Int(Rnd * N) + 1, 1)\nNext\n',
        "import random\nr = random.Random(7)\ns = '\u00e4' * N\nfor k in range(N):\n    c = s[int(r.random() * N)]\n"),
    "append + Len": (
        't = ""\nFor i = 1 To N\n  t = t & "\u00e4"\n  x = Len(t)\nNext\n',
        "t = ''\nfor i in range(N):\n    t += '\u00e4'\n    x = len(t)\n"),
    "append + Right": (
        't = ""\nFor i = 1 To N\n  t = t & "\u00e4"\n  y = Right(t, 1)\nNext\n',
        "t = ''\nfor i in range(N):\n    t += '\u00e4'\n    y = t[-1:]\n"),
}


def cpu_of(cmd, timeout, own=False):
    """CPU seconds of the command, or with `own` the figure it prints last (its own timing)."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.monotonic()
    proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if proc.returncode != 0:
        sys.exit(f"{' '.join(cmd)} failed: {proc.stderr.decode(errors='replace')[:300]}")
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    if own:
        cpu = float(proc.stdout.split()[-1])
    return cpu, time.monotonic() - start


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("runner")
    ap.add_argument("--wine", help="vbshost.exe for Wine's engine")
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--sizes", default="50000,100000,200000")
    ap.add_argument("--also", action="append", default=[], help="NAME=RUNNER")
    ap.add_argument("--timeout", type=float, default=600)
    ap.add_argument("--once-after", type=float, default=10,
                    help="seconds of a first run after which a runner is not run again")
    args = ap.parse_args()
    sizes = [int(x) for x in args.sizes.split(",")]
    runners = [("ours", lambda f: [args.runner, f])]
    for extra in args.also:
        name, path = extra.split("=", 1)
        runners.append((name, lambda f, p=path: [p, f]))
    if args.wine:
        env = dict(os.environ, WINEDEBUG="-all")
        os.environ.update(env)
        runners.append(("wine", lambda f: ["wine", args.wine, f]))
    runners.append(("python3", None))

    tmp = tempfile.mkdtemp(prefix="text-bench-")
    def vbs_file(name, body):
        path = os.path.join(tmp, name + ".vbs")
        with open(path, "wb") as f:
            f.write(b"\xff\xfe" + body.replace("\n", "\r\n").encode("utf-16-le"))
        return path
    def py_file(name, body):
        # CPython times its own loop (its start-up is longer than the loops).
        path = os.path.join(tmp, name + ".py")
        with open(path, "w", encoding="utf-8") as f:
            f.write("import time\n_t0 = time.process_time()\n" + body +
                    "print(time.process_time() - _t0)\n")
        return path

    empty_vbs, empty_py = vbs_file("empty", "x = 1\n"), py_file("empty", "x = 1\n")
    def command(runner, lang_file):
        name, make = runner
        return [sys.executable, lang_file[1]] if make is None else make(lang_file[0])

    # Start-up of each runner, best of N.
    base = {}
    for r in runners:
        base[r[0]] = 0.0 if r[1] is None else min(
            cpu_of(command(r, (empty_vbs, empty_py)), args.timeout)[0] for _ in range(args.repeat))
    print("CPU seconds, best of %d, start-up subtracted (%s)" %
          (args.repeat, ", ".join("%s %.3f" % (k, v) for k, v in base.items())))
    print("%-16s %8s" % ("loop", "N") + "".join("%12s" % r[0] for r in runners))
    results = {}
    for loop, (vbs, py) in LOOPS.items():
        for n in sizes:
            files = (vbs_file("l", f"N = {n}\n" + vbs), py_file("l", f"N = {n}\n" + py))
            best = {r[0]: float("inf") for r in runners}
            once = set()
            for k in range(args.repeat):
                for r in runners:  # in turns
                    if r[0] in once:
                        continue
                    cpu, _wall = cpu_of(command(r, files), args.timeout, own=r[1] is None)
                    best[r[0]] = min(best[r[0]], max(0.0, cpu - base[r[0]]))
                    # A runner that takes many seconds runs once: a busy machine moves
                    # such a figure by a few percent, not by its factor.
                    if k == 0 and cpu > args.once_after:
                        once.add(r[0])
            results[(loop, n)] = best
            print("%-16s %8d" % (loop, n) + "".join("%12.3f" % best[r[0]] for r in runners),
                  flush=True)
    # Growth per doubling of N (ours).
    print("growth per doubling (ours):")
    for loop in LOOPS:
        steps = []
        for a, b in zip(sizes, sizes[1:]):
            x, y = results[(loop, a)]["ours"], results[(loop, b)]["ours"]
            steps.append("%d->%d x%.2f" % (a, b, y / x if x > 0 else float("nan")))
        print("  %-16s %s" % (loop, ", ".join(steps)))


if __name__ == "__main__":
    main()
