#!/usr/bin/env bash
# The service at work, in under a minute, on a machine set up by scripts/setup.sh: two
# simulated sensors, Serv_Tulvo.exe installed and started as a real service under wine, and
# tulvo_cli listing the sensors, exchanging a frame with each, following one's real-time log
# and restarting the other. Everything it starts is stopped and removed again at the end, also
# when interrupted.
#   scripts/demo.sh
#
# The simulated ports are pseudo-terminals, whose modem-line calls only work with the pty
# library preloaded into the wine process that opens them. The installed service is started by
# the prefix's services.exe and inherits its environment (a service's "Environment" registry
# value is not honoured by wine), so the prefix's wine programs are started here with
# LD_PRELOAD set: a wine server already running for this prefix is stopped first.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export TULVO_BUILD_DIR=${TULVO_BUILD_DIR:-$root/build}
build=$TULVO_BUILD_DIR
sim=$build/host/bin/tulvo_sensorsim
shim=$build/host/lib/libtulvo_ptyshim.so
bin=$build/win/bin
service="VEK USB Service"
sensors=(DEMO0001 DEMO0002)
for f in "$sim" "$shim" "$bin/Serv_Tulvo.exe" "$bin/tulvo_cli.exe" "$bin/tulvo_devtree.exe"; do
    [ -e "$f" ] || { echo "demo: $f is missing: run scripts/setup.sh first" >&2; exit 1; }
done

# shellcheck source=wine-env.sh
. "$root/scripts/wine-env.sh"
work=$(mktemp -d /tmp/tulvo-demo.XXXXXX)
started=$(date +%s.%N)
sim_pid=""
installed=0

step() { printf '\n== %s\n' "$*"; }
elapsed() { printf '%.1f s' "$(echo "$(date +%s.%N) - $started" | bc)"; }
cli() { timeout 60 wine "$bin/tulvo_cli.exe" "$@" </dev/null 2>&1 | tr -d '\r'; }
sc() { timeout 60 wine sc "$@" </dev/null 2>&1 | tr -d '\r'; }
service_state() { sc query "$service" | sed -n 's/.*STATE *: *[0-9]* *\([A-Z_]*\).*/\1/p'; }
# Waits up to $1 seconds for the command to succeed.
wait_until() {
    local limit=$1
    shift
    local end=$(($(date +%s) + limit))
    until "$@"; do
        [ "$(date +%s)" -lt "$end" ] || return 1
        sleep 0.2
    done
}

cleanup() {
    trap - EXIT INT TERM
    step "cleaning up"
    if [ "$installed" = 1 ]; then
        sc stop "$service" >/dev/null
        wait_until 30 bash -c "! timeout 60 wine sc query '$service' 2>/dev/null | grep -q RUNNING"
        sc delete "$service" | tail -1
        rm -f "$WINEPREFIX"/drive_c/windows/system32/Serv_Tulvo.Log.*.Txt
    fi
    if [ -n "$sim_pid" ]; then
        # The simulator unplugs its sensors on the way out: their ports and fake devices go.
        kill "$sim_pid" 2>/dev/null
        wait "$sim_pid" 2>/dev/null
    fi
    tulvo_wine_stop
    rm -rf "$work"
    echo "done in $(elapsed)"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

step "starting the wine prefix $WINEPREFIX (pty library preloaded)"
tulvo_wine_stop
wineserver -w 2>/dev/null
export LD_PRELOAD=$shim
tulvo_wine_start

step "starting two simulated sensors"
"$sim" --control-port 0 --port-file "$work/port" --log "$work/sim.log" --quiet \
    --devtree "$bin/tulvo_devtree.exe" \
    --sensor "demo1:com21:${sensors[0]}" --sensor "demo2:com22:${sensors[1]}" </dev/null \
    2>"$work/sim.err" &
sim_pid=$!
wait_until 30 test -s "$work/port" || { echo "the simulator did not start"; cat "$work/sim.err"; exit 1; }
port=$(cat "$work/port")
simctl() { "$sim" --send "$port" "$@"; }
simctl list

step "installing and starting \"$service\" with sc"
sc create "$service" binPath= "$(winepath -w "$bin/Serv_Tulvo.exe" 2>/dev/null)" | tail -1
installed=1
# The start argument switches the trace log on; it goes to the system directory, the
# installed service's current directory.
sc start "$service" LogEventsEnable | grep -E 'STATE|FAILED' || true
wait_until 30 test "$(service_state)" = RUNNING || { echo "the service did not start"; exit 1; }
sc query "$service" | grep STATE

step "tulvo_cli list"
listed() { [ "$(cli list | grep -c DEMO000)" = 2 ]; }
wait_until 30 listed || echo "not both sensors are listed"
cli list

for serial in "${sensors[@]}"; do
    step "tulvo_cli exchange $serial (echo of DE AD BE EF, identifier 0x0F00)"
    cli exchange "$serial" FE 06 00 00 0F DE AD BE EF
done

step "tulvo_cli watch ${sensors[0]}: real-time log frames (identifier 0x0135)"
cli --count 3 watch "${sensors[0]}" >"$work/watch" &
watch_pid=$!
simctl async demo1 0x0135 5 12 0 >/dev/null
wait "$watch_pid"
simctl async demo1 off >/dev/null
cat "$work/watch"

step "tulvo_cli reboot ${sensors[1]} (restart frame 0x0F01, back after 1500 ms)"
cli --reboot-wait 30000 reboot "${sensors[1]}" FE 06 00 01 0F DC 05 00 00
cli exchange "${sensors[1]}" 80 00 00

step "tulvo_cli locks, and the service's trace log of the locks taken and released"
cli locks
grep -h -E 'GetTheLock|ReleaseTheLock' "$WINEPREFIX"/drive_c/windows/system32/Serv_Tulvo.Log.*.Txt |
    tr -d '\r' | tail -4

echo
echo "demo finished after $(elapsed)"
