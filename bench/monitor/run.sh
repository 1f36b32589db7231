#!/usr/bin/env bash
# Plug-to-listed benchmark of the device monitor under wine against the sensor simulator (both
# trees must have been configured).   bench/monitor/run.sh [--rounds N]
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
export TULVO_BUILD_DIR=${TULVO_BUILD_DIR:-$root/build}
cmake --build "$TULVO_BUILD_DIR/win" --target bench_monitor_plug -j 2 >/dev/null || exit 1
cmake --build "$TULVO_BUILD_DIR/host" --target tulvo_sensorsim tulvo_ptyshim -j 2 >/dev/null || exit 1
# shellcheck source=../../scripts/wine-env.sh
. "$root/scripts/wine-env.sh"
tulvo_wine_start
python3 "$root/tests/device/link/run_with_sim.py" --com-base 80 --timeout 1800 --not-gtest \
    "$TULVO_BUILD_DIR/win/bin/bench_monitor_plug.exe" "$@"
