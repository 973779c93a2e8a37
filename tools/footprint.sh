#!/bin/sh
# What installing the Debian packages adds to a minimal Debian 12: packages and disk space.
# Usage (as root): tools/footprint.sh [DEB_FOLDER]   (default build-deb/, made by tools/deb.sh)
#
# Makes a minimal Debian 12 once with debootstrap (its default variant: the packages of
# priority required and important) in build-footprint/base, then for each case copies it,
# installs the packages there with apt from deb.debian.org and prints what came with them:
#   headless      apt install --no-install-recommends ./sablewick_*.deb
#   recommends    apt install ./sablewick_*.deb                 (apt's default)
#   service       apt install --no-install-recommends ./sablewick_*.deb libpam-systemd
#                 (the headless node with what "systemctl --user" needs, the README's command)
#   desktop       apt install --no-install-recommends ./sablewick_*.deb ./sablewick-gtk_*.deb
# Added: the packages beyond ours and the sum of their Installed-Size, and the growth of the
# whole root as du counts it (apt's downloads cleaned away; the package lists, fetched before
# the first count, are in both counts). FOOTPRINT_CASES="headless recommends" picks cases.
# Takes a few minutes, mostly downloads; not part of CI.
# FOOTPRINT_CASES=build instead times tools/deb.sh on the fresh Debian 12 as a newcomer runs it
# (a clone of this tree's last commit; what the build needs installed with apt-get first) and
# leaves the packages it made in build-footprint/debs/.
set -eu
cd "$(dirname "$0")/.."
[ "$(id -u)" = 0 ] || { echo "footprint.sh: run as root (debootstrap and chroot need it)" >&2; exit 1; }
debs=$(realpath -m "${1:-build-deb}")
deb=$(ls "$debs"/sablewick_*.deb 2>/dev/null | head -n 1 || true)
gtk=$(ls "$debs"/sablewick-gtk_*.deb 2>/dev/null | head -n 1 || true)
if [ -z "$deb" ] && [ "${FOOTPRINT_CASES:-}" != build ]; then
  echo "footprint.sh: no sablewick_*.deb in $debs (tools/deb.sh makes it)" >&2
  exit 1
fi
mirror=http://deb.debian.org/debian
work=$(realpath -m build-footprint)
base=$work/base
root=$work/root
mkdir -p "$work"

command -v debootstrap >/dev/null ||
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends debootstrap

mounted=""
cleanup() {
  if [ -n "$mounted" ]; then umount "$mounted" 2>/dev/null || umount -l "$mounted" || true; fi
}
trap cleanup EXIT
trap 'cleanup; exit 130' INT TERM

if ! [ -e "$base/.footprint-ready" ]; then
  rm -rf "$base"
  echo "debootstrap bookworm (required + important) into $base ..."
  debootstrap bookworm "$base" "$mirror" > "$work/debootstrap.log" 2>&1 ||
    { tail -n 20 "$work/debootstrap.log"; exit 1; }
  # No service may start inside the copy; the package lists are fetched once, here.
  printf '#!/bin/sh\nexit 101\n' > "$base/usr/sbin/policy-rc.d"
  chmod 755 "$base/usr/sbin/policy-rc.d"
  chroot "$base" apt-get update -qq
  chroot "$base" apt-get clean
  touch "$base/.footprint-ready"
fi

# Packages and the sum of their Installed-Size (KiB), one "name size" line each.
installed() {
  chroot "$root" dpkg-query -W -f '${db:Status-Abbrev} ${Package} ${Installed-Size}\n' |
    awk '$1 == "ii" { print $2, $3 + 0 }' | sort
}
kib_of_root() { du -sxk "$root" | cut -f1; }

run_case() {
  name=$1
  shift
  rm -rf "$root"
  cp -a "$base" "$root"
  mount -t proc proc "$root/proc"
  mounted="$root/proc"
  mkdir -p "$root/tmp/debs"
  cp "$@" "$root/tmp/debs/"
  # apt's caches (the package lists' binary form, downloads) out of both counts.
  chroot "$root" apt-get clean
  installed > "$work/$name.before"
  before_du=$(kib_of_root)
  ours=""
  for f in "$@"; do ours="$ours $(dpkg-deb -f "$f" Package)"; done
  flags="--no-install-recommends"
  [ "$name" = recommends ] && flags=""
  set --
  for f in "$root"/tmp/debs/*.deb; do set -- "$@" "/tmp/debs/${f##*/}"; done
  [ "$name" = service ] && set -- "$@" libpam-systemd
  if ! chroot "$root" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $flags "$@" \
      > "$work/$name.log" 2>&1; then
    echo "$name: apt-get install failed:"
    tail -n 20 "$work/$name.log"
    return 1
  fi
  chroot "$root" apt-get clean
  rm -rf "$root/tmp/debs"
  # The node and the tools start, and every library they and the MQTT bridge load is there.
  for prog in sablewick sablewick-script sablewick-ctl; do
    chroot "$root" "/usr/bin/$prog" --help > /dev/null 2>&1 || echo "$name: $prog --help failed"
  done
  if chroot "$root" sh -c 'ldd /usr/bin/sablewick* /usr/lib/*/sablewick/*.so 2>/dev/null' |
      grep 'not found'; then echo "$name: a library is missing"; fi
  chroot "$root" /sbin/ldconfig -p | grep -q 'libmosquitto.so.1 ' ||
    echo "$name: libmosquitto.so.1 (the MQTT bridge) is not installed"
  installed > "$work/$name.after"
  after_du=$(kib_of_root)
  umount "$root/proc"
  mounted=""

  # Added packages other than ours, with their sizes.
  join -v 2 "$work/$name.before" "$work/$name.after" > "$work/$name.added.all"
  printf '%s\n' $ours | sort > "$work/$name.ours"
  [ "$name" = service ] && echo "   (libpam-systemd and what it pulls in are counted as added)"
  join -v 1 "$work/$name.added.all" "$work/$name.ours" > "$work/$name.added"
  ours_kib=$(join "$work/$name.added.all" "$work/$name.ours" | awk '{ s += $2 } END { print s + 0 }')
  count=$(wc -l < "$work/$name.added")
  kib=$(awk '{ s += $2 } END { print s + 0 }' "$work/$name.added")
  echo "== $name: apt-get install $flags$(printf ' %s' "$@")"
  echo "   ours:$ours, Installed-Size $(awk -v k="$ours_kib" 'BEGIN { printf "%.1f", k / 1024 }') MB"
  echo "   added beyond ours: $count packages, Installed-Size $(awk -v k="$kib" 'BEGIN { printf "%.1f", k / 1024 }') MB;" \
    "root grew by $(awk -v k=$((after_du - before_du)) 'BEGIN { printf "%.1f", k / 1024 }') MB (du, ours included)"
  sort -k2,2nr "$work/$name.added" | awk '{ printf "     %-28s %8.1f MB\n", $1, $2 / 1024 }'
}

# The build on a fresh machine: git is all it has besides the base (a clone needs it).
time_build() {
  rm -rf "$root"
  cp -a "$base" "$root"
  mount -t proc proc "$root/proc"
  mounted="$root/proc"
  chroot "$root" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    git > "$work/build.log" 2>&1
  git clone -q "$PWD" "$root/src/sablewick"
  echo "== build: tools/deb.sh in a fresh Debian 12 ($(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg))"
  t0=$(date +%s)
  chroot "$root" sh -c 'cd /src/sablewick && tools/deps.sh' >> "$work/build.log" 2>&1
  t1=$(date +%s)
  chroot "$root" sh -c 'cd /src/sablewick && tools/deb.sh' >> "$work/build.log" 2>&1 ||
    { tail -n 30 "$work/build.log"; return 1; }
  t2=$(date +%s)
  mkdir -p "$work/debs"
  cp "$root"/src/sablewick/build-deb/*.deb "$work/debs/"
  umount "$root/proc"
  mounted=""
  mmss() { printf '%d min %02d s' $(($1 / 60)) $(($1 % 60)); }
  echo "   apt-get installs (tools/deps.sh): $(mmss $((t1 - t0)))"
  echo "   compile, package, lintian:        $(mmss $((t2 - t1)))"
  echo "   tools/deb.sh on a fresh machine:  $(mmss $((t2 - t0))) (load afterwards $(cut -d' ' -f1-3 /proc/loadavg)); packages in $work/debs"
}

cases=${FOOTPRINT_CASES:-headless recommends service desktop}
for c in $cases; do
  case $c in
    headless | recommends | service) run_case "$c" "$deb" ;;
    desktop)
      if [ -n "$gtk" ]; then run_case desktop "$deb" "$gtk"; else echo "desktop: no sablewick-gtk_*.deb in $debs: skipped"; fi ;;
    build) time_build ;;
    *) echo "footprint.sh: unknown case $c" >&2; exit 2 ;;
  esac
done
rm -rf "$root"
echo "base: $base (kept for the next run; rm -rf $work to start afresh)"
