#!/bin/sh
# Instructions per pulse of one encoder call on each workload of bench/encoder_workloads.h
# (2,000,000 pulses), counted by callgrind inside the benchmark's measured call only: the number
# that carries over to the instrument's processor and does not depend on the machine's load.
#   bench/encoder_instructions.sh [BUILD_DIR] [--reference]
# Needs valgrind (apt-get install valgrind).
set -eu
build=${1:-build}
ref=${2:-}
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
printf '%-14s %14s %12s\n' workload instructions per_pulse
for kind in dense mixed holds holds_analog wide_analog; do
    valgrind --tool=callgrind --callgrind-out-file="$out/$kind" --toggle-collect='*measured_call*' \
        "$build/bin/encoder_bench" --once="$kind" $ref >/dev/null 2>&1
    total=$(sed -n 's/^totals: *//p' "$out/$kind")
    awk -v k="$kind" -v t="$total" 'BEGIN { printf "%-14s %14d %12.1f\n", k, t, t / 2000000 }'
done
