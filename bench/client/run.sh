#!/usr/bin/env bash
# Builds the client benchmark and the stand-in service and runs the benchmark under wine in
# the build's prefix.
#   TULVO_BUILD_DIR=... bench/client/run.sh [exchanges [exchanges per thread]]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
export TULVO_BUILD_DIR=${TULVO_BUILD_DIR:-$root/build}
build=$TULVO_BUILD_DIR/win
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
          -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" >/dev/null
fi
cmake --build "$build" --target client_bench tulvo_standin -j 2 >/dev/null
# shellcheck source=../../scripts/wine-env.sh
. "$root/scripts/wine-env.sh"
tulvo_wine_start || true
timeout 900 wine "$build/bin/client_bench.exe" "$@"
