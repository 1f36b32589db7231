#!/usr/bin/env bash
# Builds the system benchmark and runs it under wine against the sensor simulator: the real
# service with 1, 4 and 10 client processes on 1 and 4 sensors, then its CPU time at rest
# (both trees must have been configured; the host tree provides the simulator).
#   bench/system/run.sh [--seconds N] [--idle SECONDS] [--size BYTES]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
export TULVO_BUILD_DIR=${TULVO_BUILD_DIR:-$root/build}
build=$TULVO_BUILD_DIR/win
cmake --build "$build" --target bench_system -j 2 >/dev/null
cmake --build "$TULVO_BUILD_DIR/host" --target tulvo_sensorsim tulvo_ptyshim -j 2 >/dev/null
# shellcheck source=../../scripts/wine-env.sh
. "$root/scripts/wine-env.sh"
tulvo_wine_start || true
# The wineserver's own CPU time is read from its /proc entry by the benchmark.
server=$(tulvo_wine_server_pid)
python3 "$root/tests/ipc/server/run_server_sim.py" --not-gtest --com-base 110 --timeout 3600 \
    --devtree "$build/bin/tulvo_devtree.exe" "$build/bin/bench_system.exe" \
    --wineserver-pid "${server:-0}" --clk-tck "$(getconf CLK_TCK)" "$@"
