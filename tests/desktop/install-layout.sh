#!/bin/sh
# Installs the build into a temporary prefix and checks the portable folder: both programs,
# the three folders with the example settings, and the autostart entry and user unit naming
# the installed program.
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
# Commented examples beside the settings, never the settings themselves (a reinstall would
# overwrite the user's; the node writes them at its first start).
for f in Drumlin.ini Sablewick.ini; do
  [ -f "$root/Config/$f.example" ] || { echo "missing Config/$f.example"; fail=1; }
  [ ! -e "$root/Config/$f" ] || { echo "Config/$f is installed: it would overwrite the user's"; fail=1; }
done
grep -qx "Exec=\"$root/sablewick\"" "$root/share/autostart/sablewick.desktop" ||
  { echo "autostart entry does not name $root/sablewick"; fail=1; }
grep -qx "ExecStart=\"$root/sablewick\"" "$root/share/systemd/sablewick.service" ||
  { echo "user unit does not name $root/sablewick"; fail=1; }
unit="$root/share/systemd/sablewick.service"
# Lists in a unit are split at blanks: the install folder is quoted, a URL encodes its blank.
grep -qx "ReadWritePaths=\"$root\" %t" "$unit" || { echo "ReadWritePaths does not quote $root"; fail=1; }
grep -qx "Documentation=file://$(echo "$root" | sed 's/ /%%20/g')/README.md" "$unit" ||
  { echo "Documentation does not name the installed README"; fail=1; }
[ -f "$root/README.md" ] || { echo "missing README.md"; fail=1; }
# Every picture the installed README shows is there, relative to it.
for pic in $(grep -o '](docs/[^)]*)' "$root/README.md" | sed 's/^](//; s/)$//'); do
  [ -f "$root/$pic" ] || { echo "README shows $pic, which is not installed"; fail=1; }
done
icon=$(sed -n 's/^Icon=//p' "$root/share/autostart/sablewick.desktop")
[ -f "$icon" ] || { echo "autostart icon '$icon' is not installed"; fail=1; }
if command -v systemd-analyze >/dev/null; then
  out=$(systemd-analyze verify "$unit" 2>&1) || { echo "systemd-analyze verify: $out"; fail=1; }
fi
if [ $fail = 0 ]; then echo "1 passed, 0 failed"; else echo "0 passed, 1 failed"; fi
exit $fail
