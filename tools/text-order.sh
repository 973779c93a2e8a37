#!/bin/sh
# Writes app/text-order.txt: the functions of the daemon that its start and an idle minute run,
# then those that the everyday traffic of an xAP network adds (heartbeats, an echo query, a
# plain message), then those of the MQTT bridge (its start and bridged messages, when Mosquitto
# is installed), as the linker names them. The link puts them first in that order, side by
# side, so that an idle node keeps a few pages of its own code resident instead of a page here
# and there across all of it, and a node without the bridge does not touch the bridge's pages
# (see app/README.md).
#
# The Debian package is built with Debian's flags (-O2 and the hardening options, not the
# release preset's -O3), which inline differently and so give many functions other names: the
# list holds the names of both builds (the linker skips those its program lacks). The second
# build is made here, in build-pkgflags, with the flags dpkg-buildflags gives the package.
#
# Usage: tools/text-order.sh [BUILD_DIR [IDLE_SECONDS]]   (build 70)
# Needs valgrind, python3, ninja and dpkg-buildflags; runs the daemon under callgrind in a
# private network namespace (tests/netns-run.sh), on loopback only. Takes about 8 minutes.
# Commit the new list with the change that needed it.
set -eu
cd "$(dirname "$0")/.."
build=${1:-build}
idle=${2:-70}
case "$build" in /*) ;; *) build="$PWD/$build" ;; esac
[ -x "$build/sablewick" ] || { echo "no $build/sablewick: build the target sablewick first" >&2; exit 1; }
command -v dpkg-buildflags >/dev/null || { echo "dpkg-buildflags is missing (apt-get install dpkg-dev)" >&2; exit 1; }

# The program as the package builds it (debian/rules: hardening=+all; debhelper adds CPPFLAGS
# to the compiler flags, as CMake does not read them).
pkg="$PWD/build-pkgflags"
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cmake -S . -B "$pkg" -G Ninja -DCMAKE_BUILD_TYPE=None \
  -DCMAKE_C_FLAGS="$(dpkg-buildflags --get CFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
  -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" \
  -DCMAKE_SHARED_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" \
  -DSABLEWICK_TESTS=OFF -DSABLEWICK_BENCH=OFF >/dev/null
cmake --build "$pkg" --target sablewick >/dev/null

work=$(mktemp -d /tmp/sablewick-text-order-XXXXXX)
trap 'rm -rf "$work"' EXIT

# One run: the daemon under callgrind in its own folder, the traffic, then SIGTERM (bounded).
cat >"$work/run.sh" <<'EOF'
#!/bin/sh
set -eu
work=$1; build=$2; idle=$3; name=$4; ini=$5; traffic=$6
d=$work/$name
mkdir -p "$d/S/Config" "$d/S/Scripts" "$d/run"
chmod 700 "$d/run"
cp "$build/sablewick" "$d/S/sablewick"
printf '[Interface]\nBroadcastAddress=127.0.0.1\nInterfaceAddress=127.0.0.2\n' >"$d/S/Config/Drumlin.ini"
# Without settings of its own the node makes Config/Sablewick.ini, as on a first start.
[ -n "$ini" ] && printf "$ini" >"$d/S/Config/Sablewick.ini"
broker=""
case "$name" in bridge*)
  printf 'per_listener_settings false\npersistence false\nlistener 18839 127.0.0.1\nallow_anonymous true\n' >"$d/mosquitto.conf"
  /usr/sbin/mosquitto -c "$d/mosquitto.conf" >"$d/broker.log" 2>&1 &
  broker=$!
  sleep 0.5
  ;;
esac
unset DBUS_SESSION_BUS_ADDRESS SABLEWICK_ADDRESS SABLEWICK_FOLDER
XDG_RUNTIME_DIR="$d/run" valgrind -q --tool=callgrind --compress-strings=no --demangle=no \
  --callgrind-out-file="$d/callgrind.out" "$d/S/sablewick" >"$d/stdout" 2>"$d/stderr" &
node=$!
sleep 5
[ "$traffic" = yes ] && python3 - <<'PY'
import socket, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
texts = [
  "xap-hbeat\n{\nv=12\nhop=1\nuid=FF123400\nclass=xap-hbeat.alive\nsource=acme.lamp.hall\ninterval=60\nport=3639\n}\n",
  "xap-header\n{\nv=12\nhop=1\nuid=FF123400\nclass=WDT.Echo\nsource=acme.bench.pc\n}\nEcho.Query\n{\nQuery=q1\n}\n",
  "xap-header\n{\nv=12\nhop=1\nuid=FF123400\nclass=xAPBSC.event\nsource=acme.lamp.hall\n}\ninput.state\n{\nstate=on\nlevel=50%\n}\n",
]
for _ in range(3):
  for t in texts:
    s.sendto(t.encode(), ("127.0.0.1", 32768))
  time.sleep(1)
PY
sleep "$idle"
kill -TERM "$node"
for _ in $(seq 1 100); do kill -0 "$node" 2>/dev/null || break; sleep 0.1; done
kill -KILL "$node" 2>/dev/null || true
wait "$node" || true
[ -n "$broker" ] && { kill "$broker"; wait "$broker" || true; }
exit 0
EOF
chmod +x "$work/run.sh"

n=0
for b in "$build" "$pkg"; do
  tests/netns-run.sh "$work/run.sh" "$work" "$b" "$idle" "idle-$n" "" no
  tests/netns-run.sh "$work/run.sh" "$work" "$b" "$idle" "traffic-$n" "" yes
  if [ -x /usr/sbin/mosquitto ]; then
    tests/netns-run.sh "$work/run.sh" "$work" "$b" "$idle" "bridge-$n" '[MQTT]\nBroker=127.0.0.1:18839\n' yes
  fi
  n=$((n + 1))
done

python3 - "$work" app/text-order.txt <<'PY'
import os, sys
work, out = sys.argv[1], sys.argv[2]

def functions(run):
  names = set()
  for build in (0, 1):
    names |= functions_of(f"{run}-{build}")
  return names

def functions_of(run):
  names = set()
  path = os.path.join(work, run, "callgrind.out")
  if not os.path.exists(path):
    return names
  ob = ""
  for line in open(path, errors="replace"):
    if line.startswith("ob="):
      ob = line[3:].strip()
    elif line.startswith("fn=") and ob.endswith("/S/sablewick"):
      name = line[3:].strip()
      # Not valgrind's own names ("(below main)") nor bare addresses.
      if name and " " not in name and not name.startswith(("(", "0x")):
        names.add(name)
  return names

# The C runtime's start and its constructor and destructor helpers run in every start; named
# here, they join the group instead of opening pages of their own after it.
idle = functions("idle") | {"_start", "deregister_tm_clones", "register_tm_clones",
                            "__do_global_dtors_aux", "frame_dummy"}
traffic = functions("traffic") - idle
bridge = functions("bridge") - idle - traffic
if len(idle) < 10:
  sys.exit("no function of the daemon was seen: did it start?")
with open(out, "w") as f:
  f.write("# The daemon's functions placed first by the link (lld --symbol-ordering-file), in three\n"
          "# groups: start and an idle minute; everyday traffic; the MQTT bridge.\n"
          "# Made by tools/text-order.sh.\n")
  for title, names in (("start and idle", idle), ("traffic", traffic), ("bridge", bridge)):
    f.write(f"# {title}\n")
    for n in sorted(names):
      f.write(n + "\n")
print(f"{out}: {len(idle)} + {len(traffic)} + {len(bridge)} functions")
PY
