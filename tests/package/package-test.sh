#!/bin/sh
# Checks the built Debian packages: sablewick (the node, no graphical toolkit) and
# sablewick-gtk (the setup window): what each holds and depends on, that apt can install them,
# lintian, and the unpacked programs at work.
# Usage (in a network namespace with only loopback, tests/netns-run.sh): package-test.sh DIR
# Exit 77 (skipped) when DIR holds no package.
set -eu
dir=$1
deb=$(ls "$dir"/sablewick_*.deb 2>/dev/null | head -n 1 || true)
gtk=$(ls "$dir"/sablewick-gtk_*.deb 2>/dev/null | head -n 1 || true)
if [ -z "$deb" ]; then
  echo "no package in $dir (tools/deb.sh builds one): skipped"
  exit 77
fi
echo "checking $deb and ${gtk:-(no sablewick-gtk package)}"
tmp=$(mktemp -d)
node=""
bus=""
cleanup() {
  if [ -n "$node" ]; then kill -KILL "$node" 2>/dev/null || true; fi
  if [ -n "${listener:-}" ]; then kill -KILL "$listener" 2>/dev/null || true; fi
  if [ -n "$bus" ]; then kill -TERM "$bus" 2>/dev/null || true; fi
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
    /usr/share/doc/sablewick/examples/Sablewick.ini.example \
    /usr/bin/sablewick-hub /usr/lib/systemd/user/sablewick-hub.service \
    /usr/share/man/man1/sablewick-hub.1.gz /usr/share/man/man7/sablewick-scripting.7.gz \
    /usr/share/doc/sablewick/docs/scripting.md /usr/share/doc/sablewick/ctl/README.md \
    /usr/share/doc/sablewick/script/README.md /usr/share/doc/sablewick/bridge/README.md \
    /usr/share/doc/sablewick/examples/scripts/Startup.vbs \
    /usr/share/doc/sablewick/examples/scripts/NightLight.vbs \
    /usr/share/doc/sablewick/examples/scripts/TempLog.vbs \
    /usr/share/doc/sablewick/examples/scripts/LcdText.vbs; do
  grep -qx "$path" "$tmp/contents" || fail "the package lacks $path"
done
# No graphical toolkit in the node's package: the setup window is in sablewick-gtk, alone.
if grep -q 'sablewick-setup' "$tmp/contents"; then fail "sablewick holds the setup window module"; fi
if [ -z "$gtk" ]; then
  fail "no sablewick-gtk package beside $deb"
else
  dpkg-deb -c "$gtk" | awk '$1 !~ /^d/ {print $6}' | sed 's,^\./,/,' > "$tmp/gtk-contents"
  grep -q '^/usr/lib/[^/]*/sablewick/sablewick-setup.so$' "$tmp/gtk-contents" ||
    fail "sablewick-gtk lacks the setup window module"
  others=$(grep -v -e '^/usr/lib/[^/]*/sablewick/sablewick-setup.so$' \
    -e '^/usr/share/doc/sablewick-gtk/' "$tmp/gtk-contents" || true)
  [ -z "$others" ] || fail "sablewick-gtk holds more than the window: $others"
fi
# Offered, not forced: nothing starts for every user by itself.
if grep -q '^/etc/xdg/autostart/.' "$tmp/contents"; then fail "autostart entry forced on all users"; fi
if grep -q '^/etc/systemd/user/.*wants/.' "$tmp/contents"; then fail "user unit enabled for all users"; fi
dpkg-deb -e "$deb" "$tmp/control"
if cat "$tmp/control"/p* 2>/dev/null | grep -q -- '--user enable'; then
  fail "the maintainer scripts enable the user unit for every user"
fi
# Neither the package nor anything it loads needs a graphical toolkit or X11: not in its
# fields, not in its programs' ELF dependencies, not among the packages its dependencies pull
# in (apt-cache follows them through the host's package lists; Recommends of those are not
# followed, as --no-install-recommends installs).
gui='libgtk|libgdk|libx11|libxcb|libwayland|libcairo|libpango|libatk'
# Field values as "name1 name2 ...", versions and alternatives' bars dropped.
names() { dpkg-deb -f "$1" "$2" | tr ',|' '\n\n' | sed 's/(.*)//; s/\[.*\]//; s/ //g' | grep . || true; }
for field in Pre-Depends Depends Recommends; do
  bad=$(names "$deb" $field | grep -E "^($gui)" || true)
  [ -z "$bad" ] || fail "sablewick's $field names $(echo $bad)"
done
dpkg -x "$deb" "$tmp/elf"
find "$tmp/elf" -type f > "$tmp/elf-files"
while read -r f; do
  needed=$(readelf -d "$f" 2>/dev/null | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
  bad=$(echo "$needed" | grep -iE "^($gui)" || true)
  [ -z "$bad" ] || fail "${f#"$tmp/elf"} needs $(echo $bad)"
done < "$tmp/elf-files"
if command -v apt-cache >/dev/null && apt-cache show libc6 >/dev/null 2>&1; then
  # shellcheck disable=SC2046
  apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks \
    --no-replaces --no-enhances $(names "$deb" Pre-Depends) $(names "$deb" Depends) 2>/dev/null |
    sed -n 's/^\([^ <][^ ]*\)$/\1/p' | sed 's/:.*//' | sort -u > "$tmp/closure"
  bad=$(grep -E "^($gui)" "$tmp/closure" || true)
  [ -z "$bad" ] || fail "sablewick's dependencies pull in $(echo $bad)"
  echo "sablewick's dependencies, followed: $(wc -l < "$tmp/closure") packages"
fi
# The MQTT bridge loads libmosquitto at run time (the shared-library scan cannot see it), and a
# headless install (--no-install-recommends) must bridge: a dependency, written out.
names "$deb" Depends | grep -qx libmosquitto1 || fail "sablewick's Depends lacks libmosquitto1"
if [ -n "$gtk" ]; then
  version=$(dpkg-deb -f "$deb" Version)
  names "$gtk" Depends | grep -qx libgtk-3-0 || fail "sablewick-gtk's Depends lacks libgtk-3-0"
  dpkg-deb -f "$gtk" Depends | grep -qF "sablewick (= $version)" ||
    fail "sablewick-gtk does not depend on sablewick (= $version)"
  # Offered to desktops, never pulled in with the node by apt's default (Recommends).
  if names "$deb" Depends | grep -q '^sablewick-gtk$' || names "$deb" Recommends | grep -q '^sablewick-gtk$'; then
    fail "sablewick pulls in sablewick-gtk"
  fi
  names "$deb" Suggests | grep -qx sablewick-gtk || fail "sablewick does not suggest sablewick-gtk"
  # Both install side by side: no file in both, and apt resolves the pair (a dry run against
  # this machine's packages: what is not installed here must be installable).
  dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort > "$tmp/files-node"
  dpkg-deb -c "$gtk" | awk '$1 !~ /^d/ {print $6}' | sort > "$tmp/files-gtk"
  both=$(comm -12 "$tmp/files-node" "$tmp/files-gtk")
  [ -z "$both" ] || fail "files in both packages: $both"
  for flags in --no-install-recommends ""; do
    # shellcheck disable=SC2086
    if ! apt-get install -s -q $flags "$(realpath "$deb")" "$(realpath "$gtk")" > "$tmp/apt" 2>&1; then
      fail "apt-get install -s $flags of both packages: $(cat "$tmp/apt")"
    fi
  done
  if ! apt-get install -s -q --no-install-recommends "$(realpath "$deb")" > "$tmp/apt" 2>&1; then
    fail "apt-get install -s --no-install-recommends sablewick: $(cat "$tmp/apt")"
  fi
fi
[ -z "$gtk" ] || dpkg -x "$gtk" "$tmp/gtk-root"
# Removing the packages leaves no link behind that they made: every link they hold goes with
# them and points at a file of theirs (or of a dependency), and no maintainer script makes one.
for p in "$deb" $gtk; do
  dpkg-deb -c "$p" | awk '$1 ~ /^l/ {print $6, $8}' | while read -r link target; do
    case $target in
      /*) t=$target ;;
      *) t=$(dirname "${link#.}")/$target ;;
    esac
    [ -e "$tmp/elf$t" ] || [ -e "$tmp/gtk-root$t" ] || [ -e "$t" ] || echo "$link -> $target" >> "$tmp/dangling"
  done
  rm -rf "$tmp/control"
  dpkg-deb -e "$p" "$tmp/control"
  if grep -qE '(^|[;&| ])(ln|systemctl|deb-systemd-helper|update-alternatives)( |$)' \
      "$tmp/control"/preinst "$tmp/control"/postinst "$tmp/control"/prerm "$tmp/control"/postrm \
      2>/dev/null; then
    fail "a maintainer script of $(basename "$p") makes links or enables units"
  fi
done
[ ! -s "$tmp/dangling" ] || fail "links that point nowhere: $(cat "$tmp/dangling")"

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
# The node's unit starts the hub; the hub's unit does not restart a hub that found another.
for line in 'Wants=sablewick-hub.service' 'After=sablewick-hub.service'; do
  grep -qxF "$line" "$unit" || fail "the user unit lacks $line"
done
grep -q '^RestartPreventExitStatus=.*3' "$root/usr/lib/systemd/user/sablewick-hub.service" ||
  fail "the hub's unit restarts a hub that found port 3639 taken"

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
i=0
while [ $i -lt 50 ] && ! [ -s "$folder/Data/Sablewick.txt" ]; do
  sleep 0.1
  i=$((i + 1))
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

# "Setup" from the tray menu of the node alone (the package without its window) says in the
# log which package to install; with sablewick-gtk's module (put beside the program, where the
# node looks first) the window's module loads into the packaged node (its symbols resolve
# against the program) and finds no display. A private session bus and a panel's side of the
# tray (fake-panel.py); DISPLAY names a display no server answers (the module is loaded only
# after that check). Not checked where sablewick-gtk is installed: the node would find it.
module=$(ls /usr/lib/*/sablewick/sablewick-setup.so 2>/dev/null || true)
display=":$(($$ % 5000 + 1000))"
if [ -n "$module" ]; then
  echo "sablewick-gtk is installed on this machine ($module): the Setup checks are skipped"
elif ! command -v dbus-daemon >/dev/null || ! /usr/bin/python3 -c 'import gi' 2>/dev/null; then
  fail "the Setup checks need dbus-daemon and python3-gi (tools/deps.sh installs them)"
elif [ -e "/tmp/.X11-unix/X${display#:}" ]; then
  echo "display $display exists here: the Setup checks are skipped"
else
  dbus-daemon --session --nofork --nopidfile --address="unix:path=$tmp/session" > /dev/null 2>&1 &
  bus=$!
  i=0
  while [ $i -lt 100 ] && ! [ -S "$tmp/session" ]; do
    sleep 0.1
    i=$((i + 1))
  done
  log="$folder/Data/Sablewick.txt"
  DBUS_SESSION_BUS_ADDRESS="unix:path=$tmp/session" DISPLAY="$display" \
    "$bin/sablewick" > "$tmp/out2" 2> "$tmp/err2" &
  node=$!
  # Setup is the menu's first entry (id 1).
  if ! /usr/bin/python3 "$(dirname "$0")/fake-panel.py" "unix:path=$tmp/session" 1 20; then
    fail "the node's tray item did not take the Setup click"
  fi
  i=0
  while [ $i -lt 50 ] && ! grep -q 'Setup: the setup window is not installed' "$log"; do
    sleep 0.1
    i=$((i + 1))
  done
  line=$(grep 'Setup: ' "$log" | tail -n 1)
  echo "Setup without sablewick-gtk: $line"
  case "$line" in
    *"install the package sablewick-gtk (apt install sablewick-gtk)"*) ;;
    *) fail "Setup without the window does not name sablewick-gtk: $line" ;;
  esac
  if [ -n "$gtk" ]; then
    cp "$(ls "$tmp"/gtk-root/usr/lib/*/sablewick/sablewick-setup.so)" "$bin/"
    # The panel comes again: the item registers with it anew.
    /usr/bin/python3 "$(dirname "$0")/fake-panel.py" "unix:path=$tmp/session" 1 20 ||
      fail "the node's tray item did not take the second Setup click"
    i=0
    while [ $i -lt 50 ] && ! grep -q 'Setup: no display is available' "$log"; do
      sleep 0.1
      i=$((i + 1))
    done
    line=$(grep 'Setup: ' "$log" | tail -n 1)
    echo "Setup with sablewick-gtk's module: $line"
    case "$line" in
      *"no display is available"*) ;;
      *) fail "the packaged node did not load sablewick-gtk's module: $line" ;;
    esac
    rm -f "$bin/sablewick-setup.so"
  fi
  kill -TERM "$node"
  i=0
  while [ $i -lt 100 ] && kill -0 "$node" 2>/dev/null; do
    sleep 0.1
    i=$((i + 1))
  done
  status=0
  wait "$node" || status=$?
  node=""
  [ "$status" = 0 ] || fail "the node with a session bus ended with status $status: $(tail -n 5 "$tmp/err2")"
  kill -TERM "$bus" 2>/dev/null || true
  wait "$bus" 2>/dev/null || true
  bus=""
fi

# With no node running, sablewick-ctl check finds the same folder by the same rule.
"$bin/sablewick-ctl" check > "$tmp/check" 2>&1 || fail "sablewick-ctl check: $(cat "$tmp/check")"
grep -q "^$folder: 0 problems" "$tmp/check" || fail "check looked elsewhere: $(cat "$tmp/check")"

if [ "$failures" -ne 0 ]; then
  echo "0 passed, $failures failed"
  exit 1
fi
echo "package checks passed"
