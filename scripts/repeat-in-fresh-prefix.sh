#!/usr/bin/env bash
# Runs Windows tests again and again, each time in a wine prefix of its own that nothing has used
# yet, for faults that only a new prefix shows.
#   scripts/repeat-in-fresh-prefix.sh COUNT CTEST_REGEX
# The first call boots a template prefix ($TULVO_BUILD_DIR/prefix-template, about two minutes)
# that is never used itself; each run gets a copy. No retries: every failure counts, and its
# prefix stays as it was left, under $TULVO_BUILD_DIR/fresh-prefix/.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export TULVO_BUILD_DIR=${TULVO_BUILD_DIR:-$root/build}
count=${1:?usage: $0 COUNT CTEST_REGEX}
regex=${2:?usage: $0 COUNT CTEST_REGEX}
template=$TULVO_BUILD_DIR/prefix-template
work=$TULVO_BUILD_DIR/fresh-prefix
mkdir -p "$work"

export WINEPREFIX=$template
# shellcheck source=wine-env.sh
. "$root/scripts/wine-env.sh"
if [ ! -f "$template/.tulvo-ready" ]; then
    tulvo_wine_start
    tulvo_wine_stop
    wineserver -w
fi

passed=0
for run in $(seq 1 "$count"); do
    export WINEPREFIX=$work/run$run
    rm -rf "$WINEPREFIX"
    cp -a "$template" "$WINEPREFIX"
    tulvo_wine_start
    log=$work/run$run.log
    start=$(date +%s.%N)
    ctest --test-dir "$TULVO_BUILD_DIR/win" -R "$regex" --output-on-failure >"$log" 2>&1
    status=$?
    tulvo_wine_stop
    wineserver -w
    seconds=$(echo "$(date +%s.%N) - $start" | bc)
    if [ $status -eq 0 ]; then
        passed=$((passed + 1))
        rm -rf "$WINEPREFIX" "$log"
        printf 'run %d: passed in %.1f s\n' "$run" "$seconds"
    else
        printf 'run %d: FAILED in %.1f s, see %s\n' "$run" "$seconds" "$log"
    fi
done
echo "$passed of $count runs passed, each in a fresh prefix"
[ "$passed" -eq "$count" ]
