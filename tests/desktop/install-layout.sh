#!/bin/sh
# Installs the build into a temporary prefix and checks the portable folder: both programs,
# the three folders, and the autostart entry and user unit naming the installed program.
set -eu
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix/Sable wick" >/dev/null
root="$prefix/Sable wick"
fail=0
for f in sablewick sablewick-script; do
  [ -x "$root/$f" ] || { echo "missing program $f"; fail=1; }
done
[ -f "$root/sablewick-setup.so" ] || { echo "missing the setup dialog module"; fail=1; }
for d in Config Data Scripts; do
  [ -d "$root/$d" ] || { echo "missing folder $d"; fail=1; }
done
grep -qx "Exec=\"$root/sablewick\"" "$root/share/autostart/sablewick.desktop" ||
  { echo "autostart entry does not name $root/sablewick"; fail=1; }
grep -qx "ExecStart=\"$root/sablewick\"" "$root/share/systemd/sablewick.service" ||
  { echo "user unit does not name $root/sablewick"; fail=1; }
if [ $fail = 0 ]; then echo "1 passed, 0 failed"; else echo "0 passed, 1 failed"; fi
exit $fail
