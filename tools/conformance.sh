#!/bin/sh
# Runs the four public VBScript conformance files (Wine 8.0's lang, api, regexp and error
# tests, written against the language's reference engine) through our runner and prints one
# line of figures per file. The files are LGPL test scripts: the harness downloads them from
# Debian's source package into a temporary folder and they are never committed here.
#
#   tools/conformance.sh [runner]        (default: build/runner/sablewick-script)
#
# CONFORMANCE_DIR names the harness folder (fetch-wine-tests.sh, run.sh; default
# ../shared/conformance beside the checkout); WINE_TESTS the folder the files are kept in
# (default /tmp/wine-vbs-tests). Not part of .ci/run: it needs the package source.
# Reference, Wine 8.0's own engine on the same adapted files: lang 587/592, api 1652/1653,
# regexp 106/106, error 111/127.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
runner=$(readlink -f "${1:-$here/build/runner/sablewick-script}")
harness=${CONFORMANCE_DIR:-}
if [ -z "$harness" ]; then
  # beside the checkout, or beside the main checkout when this is a git worktree
  common=$(cd "$here" && git rev-parse --path-format=absolute --git-common-dir 2>/dev/null || true)
  for h in "$here/../shared/conformance" "${common%/.git}/../shared/conformance"; do
    [ -x "$h/run.sh" ] && { harness=$h; break; }
  done
fi
tests=${WINE_TESTS:-/tmp/wine-vbs-tests}
[ -x "$runner" ] || { echo "conformance: no runner at $runner (build it first)" >&2; exit 1; }
[ -n "$harness" ] && [ -x "$harness/run.sh" ] || { echo "conformance: no harness at $harness (set CONFORMANCE_DIR)" >&2; exit 1; }
[ -f "$tests/lang.vbs" ] || "$harness/fetch-wine-tests.sh" "$tests" >/dev/null
status=0
printf '%-8s %7s %7s %7s  %s\n' file passed failed pass% end-reached
for f in lang api regexp error; do
  out=$("$harness/run.sh" "$runner" "$tests/$f.vbs" 2>&1) || true
  line=$(printf '%s\n' "$out" | tail -1)
  passed=$(printf '%s\n' "$line" | sed -n 's/.*: \([0-9]*\) passed, \([0-9]*\) failed/\1/p')
  failed=$(printf '%s\n' "$line" | sed -n 's/.*: \([0-9]*\) passed, \([0-9]*\) failed/\2/p')
  ended=$(printf '%s\n' "$out" | sed -n 's/.*end-reached=\([0-9]*\).*/\1/p' | head -1)
  total=$((${passed:-0} + ${failed:-0}))
  pct=$(awk -v p="${passed:-0}" -v t="$total" 'BEGIN { if (t) printf "%.1f", 100 * p / t; else print "-" }')
  printf '%-8s %7s %7s %7s  %s\n' "$f" "${passed:-0}" "${failed:-0}" "$pct" "${ended:-0}"
  [ "${ended:-0}" = 1 ] || status=1
done
exit $status
