#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only those that are missing.
set -euo pipefail
PACKAGES=(
  build-essential cmake ninja-build ccache pkg-config git curl iproute2 procps
  libgrpc++-dev protobuf-compiler-grpc libprotobuf-dev protobuf-compiler
  libcivetweb-dev libcxxopts-dev libssl-dev
  libgtest-dev libgmock-dev libbenchmark-dev rapidjson-dev
  clang libfuzzer-14-dev libclang-rt-14-dev
  python3 python3-grpcio python3-protobuf
)
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  echo "installing: ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
