#!/usr/bin/env bash
# Builds the Windows tree's transport benchmark and runs it under wine in the build's prefix.
#   TULVO_BUILD_DIR=/work/main/build-<name> bench/toolshare/run.sh [iterations scale]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
export TULVO_BUILD_DIR=${TULVO_BUILD_DIR:-$root/build}
build=$TULVO_BUILD_DIR/win
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
          -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" >/dev/null
fi
cmake --build "$build" --target toolshare_bench -j 2 >/dev/null
# shellcheck source=../../scripts/wine-env.sh
. "$root/scripts/wine-env.sh"
# wineserver -p answers 2 when the prefix's server already runs.
tulvo_wine_start || true
timeout 600 wine "$build/bin/toolshare_bench.exe" "$@"
