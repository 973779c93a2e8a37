#!/bin/sh
# Sets up, builds and runs the daemon from a local trial folder (./trial) whose configuration
# keeps every datagram on loopback. Stop it with Ctrl-C. Usage: tools/trial.sh
set -eu
cd "$(dirname "$0")/.."
tools/deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target sablewick sablewick-script
mkdir -p trial/Config trial/Scripts
cp -f build/sablewick build/runner/sablewick-script trial/
if [ ! -f trial/Config/Drumlin.ini ]; then
  printf '[Interface]\r\nBroadcastAddress=127.0.0.1\r\nInterfaceAddress=Default\r\n' \
    > trial/Config/Drumlin.ini
fi
echo "Running trial/sablewick; its log is trial/Data/Sablewick.txt"
exec trial/sablewick
