#!/usr/bin/env bash
# Device object benchmark under wine against the sensor simulator (both trees must have been
# configured): pipe round trip next to the bare link's, and a reply written over an unread frame.
#   scripts/bench-manager.sh [--rounds N]
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export TULVO_BUILD_DIR=${TULVO_BUILD_DIR:-$root/build}
cmake --build "$TULVO_BUILD_DIR/win" --target bench_manager_roundtrip -j 2 >/dev/null || exit 1
cmake --build "$TULVO_BUILD_DIR/host" --target tulvo_sensorsim tulvo_ptyshim -j 2 >/dev/null || exit 1
# shellcheck source=wine-env.sh
. "$root/scripts/wine-env.sh"
tulvo_wine_start
python3 "$root/tests/device/link/run_with_sim.py" --com-base 75 --timeout 3600 --not-gtest \
    "$TULVO_BUILD_DIR/win/bin/bench_manager_roundtrip.exe" "$@"
