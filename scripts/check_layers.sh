#!/usr/bin/env bash
# Checks every #include "..." of the instrument's programs against the layers: a file may include
# headers of its own layer and of the layers listed for it below, nothing else. Prints each
# offending include as file:line and exits 1. Usage: check_layers.sh [repository root]
set -euo pipefail
root=${1:-$(cd "$(dirname "$0")/.." && pwd)}
cd "$root"

# Layer of a source file, from its folder.
layer_of_file() {
  case $1 in
    hardware/*) echo hardware ;;
    protocol/*) echo protocol ;;
    server/common/*) echo common ;;
    sim/*) echo sim ;;
    server/platform/*) echo platform ;;
    server/device/*) echo device ;;
    server/interfaces/*) echo interfaces ;;
    server/main.cpp) echo main ;;
    client/*) echo client ;;
    discovery/*) echo discovery ;;
  esac
}

# Layer of an included header, from its first path element.
layer_of_include() {
  case $1 in
    tarvex.pb.h | tarvex.grpc.pb.h) echo proto ;;
    */*) case ${1%%/*} in
           hardware | common | sim | platform | device | interfaces) echo "${1%%/*}" ;;
           tarvex) if [ -e "protocol/$1" ]; then echo protocol; else echo client; fi ;;
           *) echo unknown ;;
         esac ;;
    *) echo local ;;
  esac
}

# Who may use whom (besides its own layer), bottom up.
declare -A allowed=(
  [hardware]=""
  [protocol]=""
  [common]="protocol"
  [sim]="hardware"
  [platform]="sim hardware"
  [device]="platform common hardware protocol"
  [interfaces]="device platform common hardware protocol proto"
  [main]="interfaces device platform common hardware protocol"
  [client]="protocol proto"
  [discovery]=""
)

status=0
while IFS= read -r file; do
  layer=$(layer_of_file "$file")
  [ -n "$layer" ] || continue
  while IFS=: read -r line header; do
    used=$(layer_of_include "$header")
    if [ "$used" = local ]; then
      # A name without a folder is a header beside the file: its own layer.
      [ -e "$(dirname "$file")/$header" ] && continue
      used=unknown
    fi
    [ "$used" = "$layer" ] && continue
    case " ${allowed[$layer]} " in *" $used "*) continue ;; esac
    echo "$file:$line: $layer may not include \"$header\" ($used)"
    status=1
  done < <(grep -n '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$file" | sed 's/^\([0-9]*\):.*"\([^"]*\)".*/\1:\2/')
done < <(find hardware protocol server sim client discovery -type f \( -name '*.h' -o -name '*.cpp' -o -name '*.cc' \) 2>/dev/null | sort)
[ $status -eq 0 ] && echo "layers: every include is allowed"
exit $status
