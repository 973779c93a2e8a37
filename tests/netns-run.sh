#!/bin/sh
# Runs a command in a fresh network namespace holding only loopback, with 127.0.0.2 added as
# the node's "own" address. As root: unshare --net; otherwise a user namespace as well.
set -eu
inner='ip link set lo up && ip addr add 127.0.0.2/8 dev lo 2>/dev/null; exec "$@"'
if [ "$(id -u)" = 0 ]; then
  exec unshare --net -- sh -c "$inner" sh "$@"
fi
exec unshare --map-root-user --net -- sh -c "$inner" sh "$@"
