#!/bin/sh
# The AddressSanitizer + UndefinedBehaviorSanitizer build: every test and every fuzz corpus.
set -eu
cd "$(dirname "$0")/.."
tools/deps.sh
cmake --preset asan >/dev/null
cmake --build --preset asan -j "$(nproc)"
ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --preset asan -j 2
