#!/usr/bin/env bash
# Lines of tests against lines of all other source (tests/data is data, not test code).
# Fails when tests pass 35% of the rest. With a revision, also prints the change since it.
#   scripts/test_ratio.sh [REV]
set -euo pipefail
cd "$(dirname "$0")/.."
# Build files count as test lines under tests/ but not as source elsewhere: the stricter reading.
code='\.(c|cc|cpp|h|hpp|js|mjs|py|sh|proto|html|shtml|css)$'
tcode='\.(cmake)$|(^|/)CMakeLists\.txt$'
count() {  # $1: list of files on stdin -> "tests other"
  awk -v code="$code" -v tcode="$tcode" '
    $0 ~ /^tests\/data\// || $0 ~ /(^|\/)node_modules\// { next }
    $0 !~ code && !($0 ~ /^tests\// && $0 ~ tcode) { next }
    { f = $0; n = 0; while ((getline line < f) > 0) n++; close(f)
      if (f ~ /^tests\//) t += n; else o += n }
    END { printf "%d %d\n", t, o }'
}
read -r t o < <(git ls-files --cached --others --exclude-standard | count)
awk -v t="$t" -v o="$o" 'BEGIN { printf "tests %d, other source %d, ratio %.3f (limit 0.350)\n", t, o, t / o }'
if [ $# -ge 1 ]; then
  tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
  git archive "$1" | tar -x -C "$tmp"
  read -r bt bo < <(cd "$tmp" && find . -type f | sed 's|^\./||' | count)
  printf 'since %s: tests %+d, other source %+d\n' "$1" $((t - bt)) $((o - bo))
fi
awk -v t="$t" -v o="$o" 'BEGIN { exit !(t <= 0.35 * o) }' || { echo "tests exceed 35% of the other source" >&2; exit 1; }
