#!/usr/bin/env bash
# Builds the frame receiver's benchmark in a host tree of its own without sanitizers (their
# checks would be most of what it measured) and runs it.
#   bench/codec/run.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
export TULVO_BUILD_DIR=${TULVO_BUILD_DIR:-$root/build}
build=$TULVO_BUILD_DIR/bench-host
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_COMPILER=clang \
          -DCMAKE_CXX_COMPILER=clang++ -DTULVO_SANITIZE=OFF -DTULVO_FUZZ=OFF >/dev/null
fi
cmake --build "$build" --target bench_frame_receiver -j 2 >/dev/null
"$build/bin/bench_frame_receiver"
