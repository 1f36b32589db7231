#!/usr/bin/env bash
# Runs one GoogleTest program under wine: the emulator CTest starts the Windows tests with.
#   scripts/wine-gtest.sh PROGRAM.exe [ARGS...]
# It fails loudly where wine would let a broken run pass or hang:
# - a program that crashes under wine may still end with exit code 0, so a run passes only
#   when GoogleTest has written its report, which it does once every case has run;
# - when the prefix's wineserver ends, every wine process of the prefix blocks for ever: the
#   run is stopped within a second, with a message that says so.
set -u
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=wine-env.sh
. "$root/scripts/wine-env.sh"

for arg in "$@"; do
    if [ "$arg" = --gtest_list_tests ]; then
        exec wine "$@"
    fi
done

report=$(mktemp "${TMPDIR:-/tmp}/tulvo-gtest-XXXXXX")
rm -f "$report"
server=$(tulvo_wine_server_pid)
# TULVO_WINE_DEBUG_LOG=1: the program reads the Event Log entries of the programs it starts.
# Wine keeps no Event Log: ReportEventW prints each entry on the debug channels chosen here,
# each line with its process id, to the Unix standard error that the programs inherit from the
# test. That goes to a file, named to the program in the same variable (as Z:\...), and is
# copied to ours at the end.
debug_log=
if [ "${TULVO_WINE_DEBUG_LOG:-}" = 1 ]; then
    debug_log=$(mktemp "${TMPDIR:-/tmp}/tulvo-winedebug-XXXXXX")
    TULVO_WINE_DEBUG_LOG="Z:$(printf '%s' "$debug_log" | tr / '\\')"
    export TULVO_WINE_DEBUG_LOG
    export WINEDEBUG=+pid,-all,+eventlog,fixme+advapi
    wine "$@" "--gtest_output=xml:Z:$report" 2>>"$debug_log" &
else
    wine "$@" "--gtest_output=xml:Z:$report" &
fi
test_pid=$!
watch_pid=
if [ -n "$server" ]; then
    # No output of its own: CTest would wait for whatever still holds the output pipe.
    (while kill -0 "$server" 2>/dev/null; do sleep 1; done
     kill -KILL "$test_pid" 2>/dev/null) </dev/null >/dev/null 2>&1 &
    watch_pid=$!
fi
wait "$test_pid"
status=$?
if [ -n "$watch_pid" ]; then
    kill "$watch_pid" 2>/dev/null
fi
if [ -n "$server" ] && ! kill -0 "$server" 2>/dev/null; then
    echo "wine-gtest: the wineserver of $WINEPREFIX (pid $server) has ended; every wine" \
         "process of the prefix is stuck, so $(basename "$1") was stopped" \
         "(the server's messages: $WINEPREFIX.wineserver.log)" >&2
    status=1
elif [ ! -s "$report" ]; then
    # A program that wine failed to start prints nothing of its own: its code is all there is.
    echo "wine-gtest: $(basename "$1") ended with code $status but wrote no GoogleTest" \
         "report: it crashed, was cut short or never started" >&2
    [ "$status" -ne 0 ] || status=1
fi
rm -f "$report"
if [ -n "$debug_log" ]; then
    cat "$debug_log" >&2
    rm -f "$debug_log"
fi
exit "$status"
