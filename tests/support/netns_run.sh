#!/bin/sh
# Runs an end-to-end test in a network namespace of its own (as root): its fixed ports and its
# loopback traffic are its own, whatever else runs on the machine. Without the privilege to
# make one, the test runs as it is.
if [ "$(id -u)" = "0" ] && command -v unshare >/dev/null 2>&1 && unshare -n true 2>/dev/null; then
  exec unshare -n -- sh -c 'ip link set lo up 2>/dev/null || ifconfig lo up 2>/dev/null; exec "$0" "$@"' "$@"
fi
exec "$@"
