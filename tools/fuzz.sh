#!/bin/sh
# Fuzzes every fuzz target with clang's libFuzzer under ASan + UBSan, in its own build folder
# (build-fuzz). Usage: tools/fuzz.sh [SECONDS [TARGET...]]
#   SECONDS  time per target (default 60); TARGET  names from build-fuzz/fuzz-targets.txt
#   (default: all). FUZZ_ARGS adds libFuzzer options, e.g. FUZZ_ARGS=-max_len=65536.
# What a target finds lands in build-fuzz/artifacts/TARGET/ (replay it with the target and the
# file as its only argument); inputs that reached new code stay in build-fuzz/corpus/TARGET/
# and seed the next run. Exits non-zero when any target failed.
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-60}
[ $# -gt 0 ] && shift
build=build-fuzz
command -v clang++ >/dev/null ||
  { echo "tools/fuzz.sh needs clang and libFuzzer: apt-get install clang libclang-rt-14-dev" >&2; exit 2; }

CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DSABLEWICK_LIBFUZZER=ON -DSABLEWICK_SANITIZE=ON -DSABLEWICK_BENCH=OFF >/dev/null
list="$build/fuzz-targets.txt"
if [ $# -eq 0 ]; then
  set -- $(cut -d' ' -f1 "$list")
fi
cmake --build "$build" -j 2 --target "$@"

export ASAN_OPTIONS=abort_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
failed=""
for target in "$@"; do
  line=$(grep "^$target " "$list") || { echo "unknown fuzz target: $target" >&2; exit 2; }
  program=$(echo "$line" | cut -d' ' -f2)
  seeds=$(echo "$line" | cut -d' ' -f3-)
  mkdir -p "$build/corpus/$target" "$build/artifacts/$target"
  echo "== $target: $seconds s"
  # shellcheck disable=SC2086  # FUZZ_ARGS and seeds are lists
  if ! "$program" \
      -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$build/artifacts/$target/" ${FUZZ_ARGS:-} \
      "$build/corpus/$target" $seeds >"$build/artifacts/$target.log" 2>&1; then
    failed="$failed $target"
    tail -n 40 "$build/artifacts/$target.log"
  fi
  grep -E '^stat::(number_of_executed_units|peak_rss_mb)|^Done' "$build/artifacts/$target.log" || true
done
if [ -n "$failed" ]; then
  echo "fuzz targets that failed:$failed" >&2
  exit 1
fi
