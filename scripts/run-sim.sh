#!/usr/bin/env bash
# Starts the sensor simulator for the wine prefix of this build, in the foreground.
#   scripts/run-sim.sh [SIMULATOR OPTIONS]    e.g. --sensor s1:com5:SN0001 --control-port 7700
# When the Windows tree has tulvo_devtree.exe, plug and unplug also add and remove the fake
# device and notify the service's monitor window. Programs under wine that open the simulated
# ports need the pty modem-line library preloaded; this script prints the line to use.
# Commands: tulvo_sensorsim --send PORT COMMAND (see tulvo_sensorsim --help).
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export TULVO_BUILD_DIR=${TULVO_BUILD_DIR:-$root/build}
# shellcheck source=wine-env.sh
. "$root/scripts/wine-env.sh"
tulvo_wine_start
sim=$TULVO_BUILD_DIR/host/bin/tulvo_sensorsim
shim=$TULVO_BUILD_DIR/host/lib/libtulvo_ptyshim.so
devtree=$TULVO_BUILD_DIR/win/bin/tulvo_devtree.exe
[ -x "$sim" ] || { echo "build the host tree first ($sim missing)"; exit 1; }
extra=()
if [ -f "$devtree" ]; then
    extra+=(--devtree "$devtree")
fi
echo "run programs under wine with: WINEPREFIX=$WINEPREFIX LD_PRELOAD=$shim wine PROGRAM" >&2
exec "$sim" "${extra[@]}" "$@"
