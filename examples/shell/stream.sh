#!/bin/bash
# Streams three pulses over JSON-RPC with curl, reads back what slot 0 holds, and stops.
#
#   examples/shell/stream.sh [host]        (default 127.0.0.1)
#
# Exits non-zero when a call fails or the slot does not hold the three pulses.
set -euo pipefail
host=${1:-127.0.0.1}

rpc() {
  curl -fsS "http://$host:8050/json-rpc" \
       -d "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"$1\",\"params\":${2:-null}}"
}

# One 9-byte record as hex, big-endian: ticks (4 bytes), digital outputs (1), ao0 (2), ao1 (2).
record() { printf '%08x%02x%04x%04x' "$1" "$2" $(( $3 & 0xFFFF )) $(( $4 & 0xFFFF )); }
hex=$(record 1000 255 0 0; record 2000 15 16384 -16384; record 1000 0 0 0)
sequence=$(printf "$(sed 's/../\\x&/g' <<<"$hex")" | base64 -w0)

echo "firmware: $(rpc getFirmwareVersion)"
answer=$(rpc stream "[\"$sequence\",-1,[0,0,0,0]]")      # endlessly; all low when stopped
echo "stream:   $answer"
[ "$answer" = '{"jsonrpc":"2.0","id":1,"result":0}' ]
echo "playing:  $(rpc isStreaming)"

# What the outputs play from slot 0: [ticks, digital byte, DAC code 0, DAC code 1], with the
# neutral calibration code = 8192 - value / 4.
held=$(curl -fsS "http://$host:8050/api/slot/0/segments?from=0&max=100")
echo "slot 0:   $held"
rpc forceFinal >/dev/null
[[ "$held" == *'"segments":[[1000,255,8192,8192],[2000,15,4096,12288],[1000,0,8192,8192]]'* ]]
[[ "$held" == *'"more":false'* ]]
