#!/bin/sh
# Sets up, builds and runs every test (release build). Usage: tools/test.sh
set -eu
cd "$(dirname "$0")/.."
tools/deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)"
ctest --preset release -j 2
