#!/bin/sh
# The Python package: installed with pip (offline, Debian's packages) into a fresh virtual
# environment, imported outside the repository, then its pytest suite against pulserd and beacond.
# Usage: run.sh PULSERD SOURCE_DIR WORK_DIR (in a network namespace of its own).
set -eu
pulserd=$1 src=$2 work=$3
rm -rf "$work" && mkdir -p "$work/clone"
cp -r "$src/python" "$src/proto" "$work/clone"  # pip builds in the tree it is given
/usr/bin/python3 -m venv --system-site-packages "$work/venv"
"$work/venv/bin/pip" install -q --no-index --no-build-isolation "$work/clone/python"
(cd / && "$work/venv/bin/python" -c "import tarvex, tarvex._grpc.tarvex_pb2_grpc") || { echo "FAIL: import tarvex" >&2; exit 1; }
cd "$work" && TARVEX_PULSERD=$pulserd TARVEX_SOURCE=$src exec "$work/venv/bin/python" -m pytest -q -p no:cacheprovider \
  "$src/tests/python"
