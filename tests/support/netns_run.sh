#!/bin/sh
# Runs a test program in a network namespace of its own (as root): its fixed ports, its loopback
# traffic and its multicast (loopback carries 224.0.0.0/4) are its own, whatever else runs on the
# machine. TARVEX_NETNS=1 tells the program it is inside one. Without the privilege to make one,
# the program runs as it is.
if [ "$(id -u)" = "0" ] && command -v unshare >/dev/null 2>&1 && unshare -n true 2>/dev/null; then
  exec unshare -n -- sh -c 'ip link set lo up; ip link set lo multicast on; ip route add 224.0.0.0/4 dev lo; \
    TARVEX_NETNS=1 exec "$0" "$@"' "$@"
fi
exec "$@"
