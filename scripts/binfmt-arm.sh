#!/usr/bin/env bash
# Lets the kernel run 32-bit ARM programs through qemu-arm (binfmt_misc). The armhf test stage
# needs it: tests exec pulserd and beacond, and re-run themselves, as plain programs. Mounts
# binfmt_misc when it is not mounted and enables qemu-arm; fails loudly when it cannot, so no
# ARM test is ever skipped for want of it.
set -euo pipefail
dir=/proc/sys/fs/binfmt_misc
fail() { echo "binfmt-arm: $*; the armhf tests cannot run" >&2; exit 1; }
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"

if [ ! -e "$dir/register" ]; then
  $SUDO mount -t binfmt_misc binfmt_misc "$dir" || fail "cannot mount binfmt_misc on $dir"
fi
if ! grep -qx enabled "$dir/qemu-arm" 2>/dev/null; then
  $SUDO update-binfmts --enable qemu-arm 2>/dev/null || $SUDO update-binfmts --import qemu-arm ||
    fail "update-binfmts cannot enable qemu-arm (packages qemu-user-static, binfmt-support)"
fi
grep -qx enabled "$dir/qemu-arm" 2>/dev/null || fail "qemu-arm is not enabled in $dir"
# The proof: the armhf dynamic loader runs as a program.
/lib/ld-linux-armhf.so.3 --version >/dev/null 2>&1 || fail "an ARM program does not run (/lib/ld-linux-armhf.so.3)"
echo "binfmt-arm: qemu-arm enabled ($(sed -n 's/^interpreter //p' "$dir/qemu-arm"))"
