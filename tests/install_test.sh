#!/bin/sh
# The installed tree: `cmake --install` lays out the programs, the web pages and the start
# script, and the start script runs pulserd in the pages folder with beacond.elf on the path.
# Usage: install_test.sh BUILD_DIR SOURCE_DIR (in a network namespace of its own: fixed ports).
set -eu
build=$1 src=$2
tmp=$(mktemp -d)
pid=
cleanup() {
  if [ -n "$pid" ]; then
    for c in $(cat /proc/"$pid"/task/*/children 2>/dev/null); do kill -9 "$c" 2>/dev/null || true; done
    kill -9 "$pid" 2>/dev/null || true
  fi
  rm -rf "$tmp"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$tmp/usr" >/dev/null
for f in bin/pulserd bin/beacond.elf share/tarvex/start-tarvex.sh share/tarvex/www/index.shtml \
         share/tarvex/www/status.html; do
  [ -f "$tmp/usr/$f" ] || fail "not installed: $f"
done
[ -x "$tmp/usr/share/tarvex/start-tarvex.sh" ] || fail "start script not executable"

mkdir "$tmp/root"
TARVEX_ROOT="$tmp/root" "$tmp/usr/share/tarvex/start-tarvex.sh" >"$tmp/log" 2>&1 &
pid=$!
i=0
until curl -sf -o "$tmp/status.html" http://127.0.0.1:8050/status.html; do
  i=$((i + 1))
  [ "$i" -lt 600 ] || { cat "$tmp/log"; fail "pulserd did not serve the pages"; }
  kill -0 "$pid" 2>/dev/null || { cat "$tmp/log"; fail "pulserd ended"; }
  sleep 0.1
done
cmp "$tmp/status.html" "$src/www/status.html" || fail "served page differs from www/status.html"
grep -qs beacond.elf /dev/null $(sed 's|[0-9][0-9]*|/proc/&/cmdline|g' /proc/"$pid"/task/*/children) ||
  fail "beacond.elf not started from the installed tree"
echo "installed tree and start script: ok"
