#!/usr/bin/env bash
# The layer check passes on the tree and names the file and line of an upward include planted in
# a copy of it (the simulator including a device header).
set -euo pipefail
src=$1
"$src/scripts/check_layers.sh" "$src"
copy=$(mktemp -d)
trap 'rm -rf "$copy"' EXIT
cp -r "$src/sim" "$src/hardware" "$copy/"
line=$(($(wc -l < "$copy/sim/Fpga.cpp") + 1))
echo '#include "device/Pulser.h"' >> "$copy/sim/Fpga.cpp"
if out=$("$src/scripts/check_layers.sh" "$copy"); then echo "planted include passed"; exit 1; fi
grep -qx "sim/Fpga.cpp:$line: sim may not include \"device/Pulser.h\" (device)" <<< "$out" || { echo "$out"; exit 1; }
