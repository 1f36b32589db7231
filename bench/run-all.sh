#!/usr/bin/env bash
# Runs every benchmark of the project, one after the other, and prints one table of their
# headline figures, each next to its baseline from the same run (bench/common/bench_table.py).
# The link, client and system benchmarks run twice: with the service's default receive mode,
# then with frame-complete reads (FrameCompleteReads = 1, set by the simulator's runner for that
# benchmark only); the second run's rows have the first run's figures as their baselines.
#   bench/run-all.sh            figures to go by (about 10 minutes)
#   bench/run-all.sh --quick    short rounds: shows that every benchmark runs, not how fast
# Each benchmark's output goes to the terminal and to $TULVO_BUILD_DIR/bench-results/NAME.log;
# the table to bench-results/table.txt. The script starts the wine server of the prefix and
# stops it at its end or when interrupted; a benchmark that fails, or a figure that is missing
# from its output, makes the script fail after the table.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export TULVO_BUILD_DIR=${TULVO_BUILD_DIR:-$root/build}

quick=0
for arg in "$@"; do
    case $arg in
    --quick) quick=1 ;;
    -h|--help) sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "run-all: unknown option $arg (--quick, --help)" >&2; exit 2 ;;
    esac
done

if [ "$quick" = 1 ]; then
    link_rounds=50 manager_rounds=50 monitor_rounds=3 server_rounds=100
    client_exchanges=100 client_per_thread=20 system_seconds=3 idle_seconds=5 limit=300
else
    link_rounds=500 manager_rounds=1000 monitor_rounds=20 server_rounds=2000
    client_exchanges=2000 client_per_thread=250 system_seconds=20 idle_seconds=60 limit=420
fi

results=$TULVO_BUILD_DIR/bench-results
rm -rf "$results"
mkdir -p "$results"

# shellcheck source=../scripts/wine-env.sh
. "$root/scripts/wine-env.sh"

# Each benchmark runs as a job of its own process group, so that an interruption can end all
# of it (the simulator, wine's processes of the benchmark) and nothing else.
set -m
current=
streamer=
cleaned=0
cleanup() {
    [ "$cleaned" = 1 ] && return
    cleaned=1
    if [ -n "$current" ] && kill -0 -- "-$current" 2>/dev/null; then
        echo "run-all: stopping the running benchmark" >&2
        kill -TERM -- "-$current" 2>/dev/null
        # The simulator takes its sensors out of wine's device tree as it ends.
        for _ in $(seq 1 100); do
            kill -0 -- "-$current" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL -- "-$current" 2>/dev/null
    fi
    if [ -n "$streamer" ]; then
        kill "$streamer" 2>/dev/null
    fi
    tulvo_wine_stop
}
trap cleanup EXIT
trap 'echo "run-all: interrupted" >&2; exit 130' INT TERM

if [ -n "$(tulvo_wine_server_pid)" ]; then
    echo "run-all: a wine server already runs for $WINEPREFIX (tests, a demo, another run?):" \
         "its programs would weigh on the figures, and this script stops it at its end." \
         "Stop it first: . scripts/wine-env.sh && tulvo_wine_stop" >&2
    cleaned=1
    exit 1
fi

# Every target the benchmarks need, in one build per tree; each run.sh builds its own again
# (at no cost then), so that it also works alone.
echo "== building (log: $results/build.log)"
if [ ! -f "$TULVO_BUILD_DIR/win/CMakeCache.txt" ] || [ ! -f "$TULVO_BUILD_DIR/host/CMakeCache.txt" ]
then
    "$root/scripts/setup.sh" --no-install >>"$results/build.log" 2>&1 || {
        tail -n 40 "$results/build.log"; echo "run-all: the build failed" >&2; exit 1; }
fi
{ cmake --build "$TULVO_BUILD_DIR/host" --target tulvo_sensorsim tulvo_ptyshim -j 2 &&
  cmake --build "$TULVO_BUILD_DIR/win" -j 2 --target toolshare_bench bench_link_roundtrip \
        bench_manager_roundtrip bench_monitor_plug bench_server client_bench bench_system \
        Serv_Tulvo tulvo_devtree tulvo_scenario_client; } >>"$results/build.log" 2>&1 || {
    tail -n 40 "$results/build.log"; echo "run-all: the build failed" >&2; exit 1; }

tulvo_wine_start

failed=()
# run_bench NAME "ACCEPTED EXIT CODES" COMMAND...
run_bench() {
    local name=$1 accepted=$2 rc code started
    shift 2
    echo
    echo "== $name: ${*#"$root/"}"
    started=$SECONDS
    : >"$results/$name.log"
    # A benchmark that hangs is stopped, with its whole process group, and fails.
    timeout --kill-after=20 "$limit" "$@" </dev/null >>"$results/$name.log" 2>&1 &
    current=$!
    tail -n +1 -f --pid="$current" "$results/$name.log" &
    streamer=$!
    wait "$current"
    rc=$?
    wait "$streamer" 2>/dev/null
    current= streamer=
    for code in $accepted; do
        if [ "$rc" = "$code" ]; then
            echo "== $name: done in $((SECONDS - started)) s (exit $rc)"
            echo 0 >"$results/$name.rc"
            return 0
        fi
    done
    [ "$rc" = 124 ] && echo "== $name: stopped at the time limit of $limit s"
    echo "== $name: FAILED with exit $rc after $((SECONDS - started)) s (log: $results/$name.log)"
    echo "$rc" >"$results/$name.rc"
    failed+=("$name")
}

run_bench toolshare "0" "$root/bench/toolshare/run.sh" 1
run_bench codec "0" "$root/bench/codec/run.sh"
run_bench link "0" "$root/scripts/bench-link.sh" --frame-complete-reads 0 --rounds "$link_rounds"
run_bench framecomplete_link "0" "$root/scripts/bench-link.sh" --frame-complete-reads 1 \
    --rounds "$link_rounds"
# 2: ran, but the device object added more than its goal; the table shows by how much.
run_bench manager "0 2" "$root/scripts/bench-manager.sh" --rounds "$manager_rounds"
run_bench monitor "0" "$root/bench/monitor/run.sh" --rounds "$monitor_rounds"
# Sustained clients are the throughput rounds of the system benchmark.
run_bench server "0" "$root/bench/server/run.sh" --rounds "$server_rounds" --sustain 0
run_bench client "0" "$root/bench/client/run.sh" --frame-complete-reads 0 "$client_exchanges" \
    "$client_per_thread"
run_bench framecomplete_client "0" "$root/bench/client/run.sh" --frame-complete-reads 1 \
    "$client_exchanges" "$client_per_thread"
run_bench system "0" "$root/bench/system/run.sh" --frame-complete-reads 0 \
    --seconds "$system_seconds" --idle "$idle_seconds"
run_bench framecomplete_system "0" "$root/bench/system/run.sh" --frame-complete-reads 1 \
    --seconds "$system_seconds" --idle "$idle_seconds"

echo
echo "== figures ($([ "$quick" = 1 ] && echo "--quick: short rounds, not to go by" ||
    echo "full rounds")); log: $results"
python3 "$root/bench/common/bench_table.py" "$results" | tee "$results/table.txt"
table_rc=${PIPESTATUS[0]}
if [ ${#failed[@]} -gt 0 ] || [ "$table_rc" != 0 ]; then
    echo "run-all: FAILED: ${failed[*]:-a figure is missing}" >&2
    exit 1
fi
