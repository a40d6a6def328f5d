#!/usr/bin/env bash
# Builds pulserd and beacond and starts the simulated instrument in a sandbox root.
# TARVEX_ROOT (default: ./sandbox) holds everything the instrument stores: /userconfig, /tmp, /etc.
set -euo pipefail
cd "$(dirname "$0")"
scripts/deps.sh server
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target pulserd $(grep -q beacond build/build.ninja 2>/dev/null && echo beacond)
export TARVEX_ROOT=${TARVEX_ROOT:-$PWD/sandbox}
mkdir -p "$TARVEX_ROOT"
echo "simulated instrument: state under $TARVEX_ROOT"
echo "  JSON-RPC/HTTP  http://127.0.0.1:8050/json-rpc   web pages http://127.0.0.1:8050/"
echo "  gRPC           127.0.0.1:50051 (tarvex.Tarvex)"
echo "  binary TCP     127.0.0.1:21328"
echo "  sim control    unix socket $TARVEX_ROOT/sim/control.sock (README: Simulator control channel)"
repo=$PWD
cd www
exec "$repo/build/bin/pulserd"
