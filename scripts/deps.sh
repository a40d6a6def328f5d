#!/usr/bin/env bash
# Installs the Debian packages that are missing. `deps.sh server` (./run.sh): what building and
# running the simulated instrument needs. `deps.sh` (./test.sh): also the tests, benchmarks,
# fuzzing, the browser, and the armhf cross toolchain with qemu.
set -euo pipefail
PACKAGES=(
  build-essential cmake ninja-build ccache pkg-config
  libgrpc++-dev protobuf-compiler-grpc libprotobuf-dev protobuf-compiler
  libcivetweb-dev libcxxopts-dev
)
install_missing() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  echo "installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
}
if [ "${1:-all}" = server ]; then
  install_missing "${PACKAGES[@]}"
  exit 0
fi
PACKAGES+=(
  git curl iproute2 procps libssl-dev
  libgtest-dev libgmock-dev libbenchmark-dev rapidjson-dev
  clang libfuzzer-14-dev libclang-rt-14-dev
  python3 python3-grpcio python3-protobuf
  python3-numpy python3-pytest python3-venv python3-pip python3-setuptools python3-wheel python3-matplotlib
  chromium
)
# armhf: cross build for the board and its tests under qemu-arm. The cross compilers are named
# explicitly (the generic cross package together with :armhf libraries makes apt give up).
ARMHF_PACKAGES=(
  gcc-arm-linux-gnueabihf g++-arm-linux-gnueabihf
  libgrpc++-dev:armhf libprotobuf-dev:armhf libcivetweb-dev:armhf libssl-dev:armhf
  libgtest-dev:armhf libgmock-dev:armhf libbenchmark-dev:armhf
  qemu-user qemu-user-static binfmt-support
)
PACKAGES+=("${ARMHF_PACKAGES[@]}")
if ! dpkg --print-foreign-architectures | grep -qx armhf; then
  $([ "$(id -u)" -ne 0 ] && echo sudo) dpkg --add-architecture armhf
fi
# Browser tests: node and npm run playwright-core (any installed node will do).
command -v node >/dev/null 2>&1 || PACKAGES+=(nodejs)
command -v npm >/dev/null 2>&1 || PACKAGES+=(npm)
install_missing "${PACKAGES[@]}"

# The host's code generators must come from the same sources as the armhf libraries whose
# headers the generated code is compiled against.
for pair in protobuf-compiler:libprotobuf-dev protobuf-compiler-grpc:libgrpc++-dev; do
  host=$(dpkg-query -W -f='${source:Version}' "${pair%%:*}")
  arm=$(dpkg-query -W -f='${source:Version}' "${pair#*:}:armhf")
  if [ "$host" != "$arm" ]; then
    echo "deps: ${pair%%:*} $host (host code generator) differs from ${pair#*:}:armhf $arm;" \
         "install the same version of both" >&2
    exit 1
  fi
done
# playwright-core at the version package-lock.json names (it drives the system's chromium).
cd "$(dirname "$0")/.."
want=$(node -p "require('./package-lock.json').packages['node_modules/playwright-core'].version")
have=$(node -p "JSON.parse(require('fs').readFileSync('node_modules/playwright-core/package.json')).version" 2>/dev/null || true)
if [ "$want" != "$have" ]; then
  echo "installing playwright-core $want"
  npm ci --no-audit --no-fund --loglevel=error
fi
