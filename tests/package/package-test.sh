#!/bin/sh
# Checks a built Debian package: what it holds, lintian, and the unpacked programs at work.
# Usage (in a network namespace with only loopback, tests/netns-run.sh): package-test.sh DIR
# Exit 77 (skipped) when DIR holds no package.
set -eu
dir=$1
deb=$(ls "$dir"/sablewick_*.deb 2>/dev/null | head -n 1 || true)
if [ -z "$deb" ]; then
  echo "no package in $dir (tools/deb.sh builds one): skipped"
  exit 77
fi
echo "checking $deb"
tmp=$(mktemp -d)
node=""
cleanup() {
  if [ -n "$node" ]; then kill -KILL "$node" 2>/dev/null || true; fi
  if [ -n "${listener:-}" ]; then kill -KILL "$listener" 2>/dev/null || true; fi
  rm -rf "$tmp"
}
trap cleanup EXIT
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# ---- contents
dpkg-deb -c "$deb" | awk '{print $6}' | sed 's,^\./,/,' > "$tmp/contents"
for path in /usr/bin/sablewick /usr/bin/sablewick-script /usr/bin/sablewick-ctl \
    /usr/lib/systemd/user/sablewick.service \
    /usr/share/sablewick/autostart/sablewick.desktop \
    /usr/share/icons/hicolor/scalable/apps/sablewick.svg \
    /usr/share/man/man1/sablewick.1.gz /usr/share/man/man1/sablewick-script.1.gz \
    /usr/share/man/man1/sablewick-ctl.1.gz \
    /usr/share/doc/sablewick/README.md /usr/share/doc/sablewick/docs/tray-menu.png \
    /usr/share/doc/sablewick/copyright /usr/share/doc/sablewick/examples/Drumlin.ini.example \
    /usr/share/doc/sablewick/examples/Sablewick.ini.example; do
  grep -qx "$path" "$tmp/contents" || fail "the package lacks $path"
done
grep -q '^/usr/lib/[^/]*/sablewick/sablewick-setup.so$' "$tmp/contents" ||
  fail "the package lacks the setup dialog module"
# Offered, not forced: nothing starts for every user by itself.
if grep -q '^/etc/xdg/autostart/.' "$tmp/contents"; then fail "autostart entry forced on all users"; fi
if grep -q '^/etc/systemd/user/.*wants/.' "$tmp/contents"; then fail "user unit enabled for all users"; fi
dpkg-deb -e "$deb" "$tmp/control"
if cat "$tmp/control"/p* 2>/dev/null | grep -q -- '--user enable'; then
  fail "the maintainer scripts enable the user unit for every user"
fi
# The bridge loads libmosquitto only when configured: recommended, never required.
if dpkg-deb -f "$deb" Depends | grep -q mosquitto; then fail "Depends names libmosquitto"; fi
dpkg-deb -f "$deb" Recommends | grep -q libmosquitto1 || fail "Recommends lacks libmosquitto1"

# ---- lintian: no errors
if command -v lintian >/dev/null; then
  if lintian --fail-on error "$deb" > "$tmp/lintian" 2>&1; then
    cat "$tmp/lintian"
  else
    fail "lintian: $(cat "$tmp/lintian")"
  fi
else
  fail "lintian is not installed (tools/deps.sh installs it)"
fi

# ---- the unpacked programs, as a user who never ran the node
root="$tmp/root"
dpkg -x "$deb" "$root"
bin="$root/usr/bin"
[ "$("$bin/sablewick" --version)" = "sablewick $(dpkg-deb -f "$deb" Version)" ] ||
  fail "sablewick --version does not say the package's version"
# The user unit: systemd reads every line of it (the program named by its unpacked path), and
# the one folder it lets the node write is the folder the node takes.
unit="$root/usr/lib/systemd/user/sablewick.service"
if command -v systemd-analyze >/dev/null; then
  mkdir -p "$tmp/verify"
  chmod 700 "$tmp/verify"
  sed "s|=/usr/bin/sablewick|=$bin/sablewick|" "$unit" > "$tmp/verify/sablewick.service"
  XDG_RUNTIME_DIR="$tmp/verify" systemd-analyze --user --man=no verify \
    "$tmp/verify/sablewick.service" > "$tmp/verify/out" 2>&1 ||
    fail "systemd-analyze verify: $(cat "$tmp/verify/out")"
  if [ -s "$tmp/verify/out" ]; then fail "systemd-analyze verify: $(cat "$tmp/verify/out")"; fi
fi
for line in 'ExecStart=/usr/bin/sablewick' 'Environment=SABLEWICK_FOLDER=%h/.local/share/sablewick' \
    'ReadWritePaths=%h/.local/share/sablewick %t' 'ProtectHome=read-only' 'ProtectSystem=strict'; do
  grep -qxF "$line" "$unit" || fail "the user unit lacks $line"
done

export HOME="$tmp/home" XDG_DATA_HOME="$tmp/data" XDG_RUNTIME_DIR="$tmp/run"
unset DBUS_SESSION_BUS_ADDRESS SABLEWICK_ADDRESS SABLEWICK_FOLDER || true
mkdir -p "$HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
folder="$XDG_DATA_HOME/sablewick"
# The settings a user writes before the first start keep every datagram on loopback; the
# node makes the rest of its folder.
mkdir -p "$folder/Config"
printf '[Interface]\nBroadcastAddress=127.0.0.1\nInterfaceAddress=127.0.0.2\n' \
  > "$folder/Config/Drumlin.ini"

# A hub's port: the first heartbeat the node sends.
python3 -c '
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.1", 3639))
open(sys.argv[2], "w").close()
s.settimeout(20)
data, _ = s.recvfrom(65536)
open(sys.argv[1], "wb").write(data)
' "$tmp/heartbeat" "$tmp/listening" &
listener=$!
i=0
while [ $i -lt 100 ] && ! [ -e "$tmp/listening" ]; do
  sleep 0.1
  i=$((i + 1))
done

"$bin/sablewick" > "$tmp/out" 2> "$tmp/err" &
node=$!
i=0
while [ $i -lt 100 ] && ! [ -S "$XDG_RUNTIME_DIR/sablewick/bus" ]; do
  kill -0 "$node" 2>/dev/null || break
  sleep 0.1
  i=$((i + 1))
done
first=$(head -n 1 "$tmp/err")
echo "start-up line: $first"
for part in "Config $folder/Config," "Data $folder/Data," "Scripts $folder/Scripts," \
    "log $folder/Data/Sablewick.txt," "program $bin/sablewick;" "Next: $bin/sablewick-ctl status;"; do
  case "$first" in *"$part"*) ;; *) fail "the start-up line lacks \"$part\"" ;; esac
done
[ -d "$folder/Data" ] && [ -d "$folder/Scripts" ] && [ -s "$folder/Data/Sablewick.txt" ] ||
  fail "the node did not make its folder in $folder"
if [ -e "$bin/Config" ]; then fail "the node made Config/ beside the program"; fi

wait "$listener" || true
listener=""
grep -q '^xap-hbeat' "$tmp/heartbeat" 2>/dev/null || fail "no heartbeat reached port 3639"

"$bin/sablewick-ctl" status > "$tmp/status" 2>&1 || fail "sablewick-ctl status: $(cat "$tmp/status")"
cat "$tmp/status"
grep -qE "^  folder +$folder\$" "$tmp/status" || fail "status does not name the folder"
grep -qE "^  program +$bin/sablewick\$" "$tmp/status" || fail "status does not name the program"

kill -TERM "$node"
i=0
while [ $i -lt 100 ] && kill -0 "$node" 2>/dev/null; do
  sleep 0.1
  i=$((i + 1))
done
status=0
wait "$node" || status=$?
node=""
[ "$status" = 0 ] || fail "the node ended with status $status: $(tail -n 5 "$tmp/err")"

# With no node running, sablewick-ctl check finds the same folder by the same rule.
"$bin/sablewick-ctl" check > "$tmp/check" 2>&1 || fail "sablewick-ctl check: $(cat "$tmp/check")"
grep -q "^$folder: 0 problems" "$tmp/check" || fail "check looked elsewhere: $(cat "$tmp/check")"

if [ "$failures" -ne 0 ]; then
  echo "0 passed, $failures failed"
  exit 1
fi
echo "package checks passed"
