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
  chromium
)
# Browser tests: node and npm run playwright-core (any installed node will do).
command -v node >/dev/null 2>&1 || PACKAGES+=(nodejs)
command -v npm >/dev/null 2>&1 || PACKAGES+=(npm)
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

# playwright-core at the version package-lock.json names (it drives the system's chromium).
cd "$(dirname "$0")/.."
want=$(node -p "require('./package-lock.json').packages['node_modules/playwright-core'].version")
have=$(node -p "JSON.parse(require('fs').readFileSync('node_modules/playwright-core/package.json')).version" 2>/dev/null || true)
if [ "$want" != "$have" ]; then
  echo "installing playwright-core $want"
  npm ci --no-audit --no-fund --loglevel=error
fi
