#!/bin/sh
# ARM instructions executed in chosen functions of an armhf program, counted exactly under
# qemu-arm: every translation block qemu logs as executed (-d exec, nochain: each execution
# logged) is weighted by its length in instructions (-d in_asm), both logs limited to the address
# ranges of the functions (-dfilter). The ranges come from the program's symbol table (nm) plus
# the address qemu loads it at (-d page). Deterministic: no timing, no sampling.
#
#   bench/arm_instructions.sh [-s] REGEX PROGRAM [ARGS...]
#       prints the instructions executed in functions whose demangled name matches REGEX
#       (grep -E); -s: translate one instruction per block (-singlestep), the cross-check
#   bench/arm_instructions.sh --encoder [BUILD_DIR] [N]
#       the encoder on every workload of bench/encoder_workloads.h: N pulses (default 200000)
#       of each, one call and in pieces of 4096, from BUILD_DIR's encoder_count (default
#       build-armhf-board; `cmake --build DIR --target encoder_count`), with the loop check
#   bench/arm_instructions.sh --profile REGEX PROGRAM [ARGS...]
#       where those instructions go: each executed instruction of the matching functions with
#       its count (each executed block's count given to every instruction in it), hottest first
#   bench/arm_instructions.sh --stream [ARM_BUILD] [HOST_BUILD] [N]
#       the whole binary stream path in the server: ARM_BUILD's pulserd (an armhf sim build)
#       runs under qemu-arm, HOST_BUILD's tarvex streams the first N pulses (default 200000) of
#       each workload over the binary protocol, and the server's own functions from the received
#       records to the written window are counted (connection, fill, encoder, window copy).
#       Uses the fixed ports: run it in a network namespace of its own
#       (tests/support/netns_run.sh bench/arm_instructions.sh --stream).
#
# Needs qemu-user and the armhf cross libraries (scripts/deps.sh installs both).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
sysroot=${ARM_SYSROOT:-/usr/arm-linux-gnueabihf}
nm_tool=${ARM_NM:-arm-linux-gnueabihf-nm}

# ranges PROGRAM REGEX [TIMEOUT]: the -dfilter ranges of PROGRAM's functions whose demangled
# name matches REGEX; a program that does not end by itself runs TIMEOUT seconds for its load
# address.
ranges() {
    prog=$1
    regex=$2
    limit=$3
    shift 3
    # Load address: the first executable mapping of the page log (a program without position
    # independence is loaded where it is linked: base 0).
    if "${ARM_READELF:-arm-linux-gnueabihf-readelf}" -h "$prog" | grep -q 'DYN'; then
        if [ -n "$limit" ]; then
            timeout "$limit" qemu-arm -L "$sysroot" -d page -D "$tmp/page" "$prog" >/dev/null 2>&1 || true
        else
            qemu-arm -L "$sysroot" -d page -D "$tmp/page" "$prog" "$@" >/dev/null
        fi
        base=$(awk '$3 == "r-x" && $1 !~ /^ffff/ { split($1, r, "-"); print r[1]; exit }' "$tmp/page")
    else
        base=0
    fi
    echo "$base" > "$tmp/base"
    # Function ranges [start, start + size), Thumb bit cleared.
    r=$("$nm_tool" -C -S --defined-only "$prog" |
        awk -v re="$regex" -v base="$base" '
            function hex(s,   v, i, c) { v = 0; s = tolower(s); sub(/^0x/, "", s)
                for (i = 1; i <= length(s); i++) { c = index("0123456789abcdef", substr(s, i, 1)) - 1; v = v * 16 + c }
                return v }
            NF >= 4 && ($3 == "T" || $3 == "t" || $3 == "W" || $3 == "w") {
                name = $0; sub(/^[^ ]+ [^ ]+ [^ ]+ /, "", name)
                if (name !~ re) next
                start = hex($1) - hex($1) % 2 + hex(base); size = hex($2)
                if (size == 0) next
                printf "%s0x%x+0x%x", sep, start, size; sep = "," }')
    if [ -z "$r" ]; then
        echo "no function matches $regex" >&2
        exit 2
    fi
    echo "$r"
}

# Sums the log on the fifo $tmp/log into $tmp/total: each executed block weighted by its length.
# With "per", each executed instruction with its count instead (its block's executions).
tally() {
    rm -f "$tmp/log"
    mkfifo "$tmp/log"
    awk -v per="${1:-}" '
        function key(s) { s = tolower(s); sub(/^0x/, "", s); sub(/^0+/, "", s); return s }
        /^IN:/ { tb = ""; n = 0; inblock = 1; next }
        inblock && /^0x[0-9a-fA-F]+:/ { a = $1; sub(/:$/, "", a); if (tb == "") tb = key(a)
            if (per) at[tb, n] = key(a)
            n++; next }
        inblock && /^$/ { if (tb != "") len[tb] = n; inblock = 0; next }
        /^Trace/ { split($0, f, "/"); t = key(f[2]); total += len[t]; blocks++; if (per) runs[t]++ }
        END { if (!per) { printf "%d %d\n", total, blocks; exit }
              for (t in runs) for (i = 0; i < len[t]; i++) c[at[t, i]] += runs[t]
              for (a in c) print a, c[a] }' "$tmp/log" > "$tmp/total" &
}

# Prints the per-instruction counts of $tmp/total beside the program's disassembly, hottest
# first (program addresses are the logged ones less the load address).
annotate() {
    "${ARM_OBJDUMP:-arm-linux-gnueabihf-objdump}" -d -C --no-show-raw-insn "$1" |
        awk -v base="$(cat "$tmp/base")" -v counts="$tmp/total" '
            function hex(s,   v, i) { v = 0; s = tolower(s)
                for (i = 1; i <= length(s); i++) v = v * 16 + index("0123456789abcdef", substr(s, i, 1)) - 1
                return v }
            BEGIN { while ((getline line < counts) > 0) { split(line, f, " "); c[hex(f[1]) - hex(base)] = f[2] } }
            /^ *[0-9a-f]+:\t/ { a = $1; sub(/:$/, "", a); v = hex(a)
                if (v in c) { sub(/^ *[0-9a-f]+:\t/, ""); printf "%12d %8x  %s\n", c[v], v, $0 } }' |
        sort -k1,1nr -k2,2
}

# count [-s | -p] REGEX PROGRAM ARGS...: the total (-s: one instruction per block), or with -p
# the profile.
count() {
    step=
    per=
    if [ "$1" = -s ]; then step=-singlestep; shift; fi
    if [ "$1" = -p ]; then per=per; shift; fi
    regex=$1
    prog=$2
    shift 2
    tmp=$(mktemp -d)
    trap 'rm -rf "$tmp"' EXIT
    r=$(ranges "$prog" "$regex" "" "$@")
    tally "$per"
    qemu-arm -L "$sysroot" $step -d in_asm,exec,nochain -dfilter "$r" -D "$tmp/log" "$prog" "$@" >/dev/null
    wait
    if [ -n "$per" ]; then annotate "$prog"; else cut -d' ' -f1 "$tmp/total"; fi
    rm -rf "$tmp"
    trap - EXIT
}

if [ "${1:-}" = --profile ]; then
    shift
    count -p "$@"
    exit 0
fi

if [ "${1:-}" = --stream ]; then
    arm=${2:-build-armhf}
    host=${3:-build}
    n=${4:-200000}
    prog=$arm/bin/pulserd
    # The sim build links the multiarch armhf libraries (gRPC and the rest): their own loader.
    sysroot=/
    regex=${STREAM_REGEX:-'^tcp::|SequenceEncoder|window_write|Pulser::(openStream|fillPulses|closeStream)|loadSequence'}
    tmp=$(mktemp -d)
    trap 'rm -rf "$tmp"' EXIT
    export TARVEX_ROOT="$tmp/root"
    mkdir -p "$TARVEX_ROOT"
    r=$(ranges "$prog" "$regex" 10)
    printf '%-14s %12s\n' workload per_pulse
    for kind in dense mixed holds holds_analog wide_analog; do
        "$host/bin/encoder_count" "$kind" "$n" --write "$tmp/list.bin" >/dev/null
        tally
        qemu-arm -L "$sysroot" -d in_asm,exec,nochain -dfilter "$r" -D "$tmp/log" "$prog" >/dev/null 2>&1 &
        server=$!
        for i in $(seq 1 300); do "$host/bin/tarvex" -H 127.0.0.1 status >/dev/null 2>&1 && break; sleep 0.2; done
        "$host/bin/tarvex" -H 127.0.0.1 -T 120 stream "$tmp/list.bin" --format little --runs 1 >/dev/null
        kill "$server"
        wait "$server" 2>/dev/null || true
        wait
        awk -v k="$kind" -v n="$n" '{ printf "%-14s %12.1f  (%d)\n", k, $1 / n, $1 }' "$tmp/total"
    done
    exit 0
fi

if [ "${1:-}" = --encoder ]; then
    build=${2:-build-armhf-board}
    n=${3:-200000}
    prog=$build/bin/encoder_count
    # The check: a loop of two instructions a round, 1000 and 2000 rounds: 2000 apart.
    l1=$(count count_check_loop "$prog" loop 1000)
    l2=$(count count_check_loop "$prog" loop 2000)
    s1=$(count -s count_check_loop "$prog" loop 1000)
    echo "check: loop of 2 x 1000 / 2 x 2000 instructions: $l1 / $l2 (singlestep: $s1)"
    regex='SequenceEncoder|window_write|set_cmd_bytes'
    printf '%-14s %12s %12s\n' workload per_pulse in_pieces
    for kind in dense mixed holds holds_analog wide_analog; do
        one=$(count "$regex" "$prog" "$kind" "$n")
        pieces=$(count "$regex" "$prog" "$kind" "$n" 4096)
        awk -v k="$kind" -v a="$one" -v b="$pieces" -v n="$n" 'BEGIN { printf "%-14s %12.1f %12.1f\n", k, a / n, b / n }'
    done
    exit 0
fi
count "$@"
