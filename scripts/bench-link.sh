#!/usr/bin/env bash
# Serial link benchmark under wine against the sensor simulator (both trees must be built).
#   scripts/bench-link.sh [--rounds N] [--sustain SECONDS]
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export TULVO_BUILD_DIR=${TULVO_BUILD_DIR:-$root/build}
# shellcheck source=wine-env.sh
. "$root/scripts/wine-env.sh"
tulvo_wine_start
python3 "$root/tests/device/link/run_with_sim.py" --com-base 70 --timeout 3600 --not-gtest \
    "$TULVO_BUILD_DIR/win/bin/bench_link_roundtrip.exe" "$@"
