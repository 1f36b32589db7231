#!/usr/bin/env bash
# Builds the channel servers' benchmark and runs it under wine against the sensor simulator
# (both trees must have been configured; the host tree provides the simulator).
#   bench/server/run.sh [--rounds N] [--sustain SECONDS] [--clients N]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
export TULVO_BUILD_DIR=${TULVO_BUILD_DIR:-$root/build}
build=$TULVO_BUILD_DIR/win
cmake --build "$build" --target bench_server tulvo_devtree -j 2 >/dev/null
cmake --build "$TULVO_BUILD_DIR/host" --target tulvo_sensorsim tulvo_ptyshim -j 2 >/dev/null
# shellcheck source=../../scripts/wine-env.sh
. "$root/scripts/wine-env.sh"
tulvo_wine_start || true
python3 "$root/tests/ipc/server/run_server_sim.py" --not-gtest --com-base 90 --timeout 3600 \
    --devtree "$build/bin/tulvo_devtree.exe" "$build/bin/bench_server.exe" "$@"
