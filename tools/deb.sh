#!/bin/sh
# Sets up and builds the Debian packages on Debian 12, then checks them with lintian.
# Usage: tools/deb.sh [OUTPUT_FOLDER]   (default build-deb/; the .debs land there)
# Two packages: sablewick (the node and its tools, no graphical toolkit) and sablewick-gtk
# (the setup window).
# The build runs on a copy of the source (tracked files and new ones git does not ignore),
# because dpkg-buildpackage writes its results beside the source folder.
set -eu
cd "$(dirname "$0")/.."
tools/deps.sh
out=$(realpath -m "${1:-build-deb}")
src="$out/sablewick"
rm -rf "$src"
mkdir -p "$src"
rm -f "$out"/sablewick_* "$out"/sablewick-dbgsym_* "$out"/sablewick-gtk_* "$out"/sablewick-gtk-dbgsym_*
git ls-files -z --cached --others --exclude-standard | xargs -0 tar -cf - | tar -xf - -C "$src"
cd "$src"
DEB_BUILD_OPTIONS="parallel=$(nproc) ${DEB_BUILD_OPTIONS:-}" dpkg-buildpackage -b -us -uc
cd "$out"
rm -rf "$src"
debs="$(ls sablewick_*.deb) $(ls sablewick-gtk_*.deb)"
# lintian prints what it finds; an error fails the build.
lintian --fail-on error $debs
for deb in $debs; do echo "built $out/$deb"; done
