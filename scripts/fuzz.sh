#!/usr/bin/env bash
# Runs the libFuzzer targets of the host tree, each for the given number of seconds.
#   scripts/fuzz.sh SECONDS [target...]     (default: every target, one after the other)
# The targets come from $TULVO_BUILD_DIR/host (configured with -DTULVO_FUZZ=ON, clang). Each
# starts from its seed corpus in fuzz/corpus/<target>/ plus what earlier runs found, kept in
# $TULVO_BUILD_DIR/fuzz/<target>/ so that the repository's corpus stays small. A crash, leak,
# sanitizer report or time-out leaves its input in $TULVO_BUILD_DIR/fuzz/<target>/artifacts/
# and makes the script exit non-zero.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TULVO_BUILD_DIR:-$root/build}
all_targets=(fuzz_frame_receiver fuzz_ilv fuzz_ipc_request fuzz_device_list fuzz_pipe_locks)

if [ $# -lt 1 ] || ! [[ $1 =~ ^[0-9]+$ ]]; then
    echo "usage: $0 SECONDS [target...]  (targets: ${all_targets[*]})" >&2
    exit 2
fi
seconds=$1
shift
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=("${all_targets[@]}")

host=$build/host
missing=()
for t in "${targets[@]}"; do
    [ -x "$host/bin/$t" ] || missing+=("$t")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "== building ${missing[*]}"
    cmake --build "$host" -j2 --target "${missing[@]}" >/dev/null || {
        echo "fuzz targets missing: configure $host with clang and -DTULVO_FUZZ=ON" >&2
        exit 1
    }
fi

# Longest input of each target: an ILV record needs a value over 64 KiB to reach its 32-bit
# length form, so that target gets room for several of them.
max_len() {
    case $1 in
    fuzz_ilv) echo 262144 ;;
    *) echo 8192 ;;
    esac
}

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
failed=()
for t in "${targets[@]}"; do
    work=$build/fuzz/$t
    mkdir -p "$work/corpus" "$work/artifacts"
    log=$work/last-run.log
    echo "== $t for ${seconds}s"
    "$host/bin/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -max_len="$(max_len "$t")" -print_final_stats=1 -artifact_prefix="$work/artifacts/" \
        "$work/corpus" "$root/fuzz/corpus/$t" >"$log" 2>&1
    rc=$?
    runs=$(grep -m1 '^stat::number_of_executed_units' "$log" | awk '{print $2}')
    echo "   exit $rc, ${runs:-?} executions, corpus $(ls "$work/corpus" | wc -l) inputs"
    if [ $rc -ne 0 ]; then
        grep -E 'ERROR|SUMMARY|Test unit written' "$log" | head -5
        failed+=("$t")
    fi
done

if [ ${#failed[@]} -gt 0 ]; then
    echo "fuzz findings: ${failed[*]} (logs and inputs under $build/fuzz/)"
    exit 1
fi
