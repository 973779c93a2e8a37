#!/bin/sh
# Sets up, builds and runs the daemon from a local trial folder (./trial) whose configuration
# keeps every datagram on loopback. Stop it with Ctrl-C. Usage: tools/trial.sh
set -eu
cd "$(dirname "$0")/.."
tools/deps.sh
cmake --preset release >/dev/null
programs="sablewick sablewick-script"
[ -f ctl/CMakeLists.txt ] && programs="$programs sablewick-ctl"
# shellcheck disable=SC2086
cmake --build --preset release -j "$(nproc)" --target $programs
mkdir -p trial/Config trial/Scripts
for p in $programs; do
  find build -maxdepth 2 -type f -name "$p" -perm -u+x -exec cp -f {} trial/ \;
done
# The node receives on 127.0.0.1 and binds its sending socket to its interface address at the
# same port. "Default" would pick the first address of an interface that is up, which on a
# machine with only loopback (CI, containers, private network namespaces) is 127.0.0.1 again,
# and the start fails. 127.0.0.2 is on loopback on every Linux machine, so the trial uses it.
if [ ! -f trial/Config/Drumlin.ini ]; then
  printf '[Interface]\r\nBroadcastAddress=127.0.0.1\r\nInterfaceAddress=127.0.0.2\r\n' \
    > trial/Config/Drumlin.ini
  echo "trial/Config/Drumlin.ini: BroadcastAddress=127.0.0.1, InterfaceAddress=127.0.0.2 (loopback only)"
fi
echo "Running trial/sablewick (Ctrl-C ends it); its log is trial/Data/Sablewick.txt"
# The trial's files are beside its program, whatever folder this shell names for a node.
unset SABLEWICK_FOLDER
exec trial/sablewick
