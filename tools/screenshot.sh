#!/bin/sh
# Refreshes docs/tray-menu.png: the tray icon and its open menu in a real Xfce panel, on a
# private X server and a private session bus, with the daemon on loopback only.
#
#   tools/screenshot.sh [build-folder]      (default: build)
#
# Needs Debian's xvfb, xfce4-panel, xdotool and imagemagick. Everything it starts is ended by
# pid when it is done; nothing leaves the machine (the daemon sends to 127.0.0.1 only).
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
out=$here/docs/tray-menu.png
for tool in Xvfb xfce4-panel xdotool import dbus-daemon; do
  command -v "$tool" >/dev/null || { echo "screenshot: $tool is missing" >&2; exit 1; }
done
[ -x "$build/sablewick" ] || { echo "screenshot: no $build/sablewick (build it first)" >&2; exit 1; }

work=$(mktemp -d)
pids=""
cleanup() {
  # Newest first: the daemon, the panel, the bus (whose settings daemon then ends), the server.
  reversed=""
  for p in $pids; do reversed="$p $reversed"; done
  for p in $reversed; do kill "$p" 2>/dev/null || true; done
  for p in $pids; do wait "$p" 2>/dev/null || true; done
  for i in 1 2 3 4 5; do rm -rf "$work" 2>/dev/null && break; sleep 0.2; done
}
trap cleanup EXIT INT TERM

# Waits up to $2 tenths of a second for the command in $1 to succeed.
wait_for() {
  i=0
  while ! sh -c "$1" >/dev/null 2>&1; do
    i=$((i + 1))
    [ "$i" -le "$2" ] || { echo "screenshot: gave up waiting for: $1" >&2; exit 1; }
    sleep 0.1
  done
}

# A small screen; the panel along its top edge.
exec 5>"$work/display"
Xvfb -displayfd 5 -nolisten tcp -screen 0 480x260x24 >/dev/null 2>&1 &
pids="$pids $!"
exec 5>&-
wait_for "test -s '$work/display'" 100
export DISPLAY=":$(head -n1 "$work/display")"

# Set before the bus starts: the panel's settings daemon is started by the bus, with its
# environment.
export XDG_CONFIG_HOME="$work/config" XDG_CACHE_HOME="$work/cache" XDG_DATA_HOME="$work/data"
export NO_AT_BRIDGE=1 GSETTINGS_BACKEND=memory
dbus-daemon --session --nofork --print-address=6 6>"$work/bus" 2>/dev/null &
pids="$pids $!"
wait_for "test -s '$work/bus'" 100
export DBUS_SESSION_BUS_ADDRESS="$(head -n1 "$work/bus")"

# The panel's settings: one panel at the top, a spacer and the status tray.
mkdir -p "$XDG_CONFIG_HOME/xfce4/xfconf/xfce-perchannel-xml"
cat >"$XDG_CONFIG_HOME/xfce4/xfconf/xfce-perchannel-xml/xfce4-panel.xml" <<'XML'
<?xml version="1.0" encoding="UTF-8"?>
<channel name="xfce4-panel" version="1.0">
  <property name="configver" type="int" value="2"/>
  <property name="panels" type="array">
    <value type="int" value="1"/>
    <property name="panel-1" type="empty">
      <property name="position" type="string" value="p=6;x=0;y=0"/>
      <property name="length" type="uint" value="100"/>
      <property name="position-locked" type="bool" value="true"/>
      <property name="size" type="uint" value="30"/>
      <property name="icon-size" type="uint" value="22"/>
      <property name="plugin-ids" type="array">
        <value type="int" value="1"/>
        <value type="int" value="2"/>
      </property>
    </property>
  </property>
  <property name="plugins" type="empty">
    <property name="plugin-1" type="string" value="separator">
      <property name="expand" type="bool" value="true"/>
      <property name="style" type="uint" value="0"/>
    </property>
    <property name="plugin-2" type="string" value="systray">
      <property name="square-icons" type="bool" value="true"/>
    </property>
  </property>
</channel>
XML
xfce4-panel --disable-wm-check >/dev/null 2>&1 &
pids="$pids $!"
wait_for "xdotool search --class xfce4-panel" 100
wait_for "busctl --user status org.kde.StatusNotifierWatcher" 100

# The daemon in a folder of its own, sending to loopback only.
mkdir -p "$work/Sablewick/Config"
cp "$build/sablewick" "$work/Sablewick/"
printf '[Interface]\nBroadcastAddress=127.0.0.1\nInterfaceAddress=127.0.0.2\n' \
  >"$work/Sablewick/Config/Drumlin.ini"
"$work/Sablewick/sablewick" &
pids="$pids $!"
wait_for "busctl --user list --no-legend | grep -q StatusNotifierItem" 100
sleep 1  # the panel fetches and draws the icon

# The icon is the last item of the panel, at its right end; a click opens the menu.
xdotool mousemove 465 15 click 1
sleep 1
import -window root "$out"
echo "screenshot: wrote $out"
