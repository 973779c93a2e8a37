#!/bin/sh
# Installs the Debian 12 packages that building, running and testing need; quick when they
# are already there.
set -eu
packages="build-essential cmake ninja-build pkg-config git lld
  libglib2.0-dev libsystemd-dev libgtk-3-dev
  libgtest-dev libgmock-dev libbenchmark-dev libpcre2-dev libmosquitto-dev
  mosquitto mosquitto-clients openssl
  iproute2 util-linux systemd libglib2.0-bin dbus dbus-x11 xvfb xauth lua5.4 python3 python3-gi python3-dbus
  debhelper dpkg-dev go-md2man lintian"
missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  echo "Installing:$missing"
  SUDO=""
  if [ "$(id -u)" != 0 ]; then
    if ! command -v sudo >/dev/null; then
      # A stock Debian with a root password has no sudo.
      echo "Installing needs root: run   su -c '$(realpath "$0")'   once, then this command again as yourself." >&2
      exit 1
    fi
    SUDO=sudo
  fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing
fi
