#!/bin/sh
# Example start script for the instrument's system image: starts the discovery server and the
# control server from an installed tree (cmake --install, the .deb or the tarball). The image
# decides how it runs (init script, service, inittab); this shows what the programs expect.
#
# - pulserd serves the web pages from its working directory: it starts in the pages folder.
# - pulserd restarts the discovery server by name ("killall -9 beacond.elf", then
#   "beacond.elf 1>/dev/null &"): the programs' folder must be on the shell's search path.
#
# The installed tree is found from this script's place (<prefix>/share/tarvex/); set
# TARVEX_PREFIX when the script is copied elsewhere.
set -e
prefix=${TARVEX_PREFIX:-$(cd "$(dirname "$0")/../.." && pwd)}
PATH="$prefix/bin:$PATH"
export PATH

beacond.elf 1>/dev/null &
cd "$prefix/share/tarvex/www"
exec pulserd
