#!/usr/bin/env bash
# The service at work, in under a minute, on a machine set up by scripts/setup.sh: two
# simulated sensors, Serv_Tulvo.exe installed and started as a real service under wine, and
# tulvo_cli listing the sensors, exchanging a frame with each, following one's real-time log
# and restarting the other. Everything it starts is stopped and removed again at the end, also
# when interrupted.
#   scripts/demo.sh
#
# See service-lib.sh for why the prefix's programs start with the pty library preloaded.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=service-lib.sh
. "$root/scripts/service-lib.sh"
sim=$tulvo_sim_exe
bin=$tulvo_bin
service=$tulvo_service
sensors=(DEMO0001 DEMO0002)
tulvo_require "$sim" "$tulvo_shim" "$bin/Serv_Tulvo.exe" "$bin/tulvo_cli.exe" \
    "$bin/tulvo_devtree.exe" || exit 1

work=$(mktemp -d /tmp/tulvo-demo.XXXXXX)
started=$(date +%s.%N)

step() { printf '\n== %s\n' "$*"; }
elapsed() { printf '%.1f s' "$(echo "$(date +%s.%N) - $started" | bc)"; }
cli() { timeout 60 wine "$bin/tulvo_cli.exe" "$@" </dev/null 2>&1 | tr -d '\r'; }

cleanup() {
    trap - EXIT INT TERM
    step "cleaning up"
    if [ "$tulvo_service_created" = 1 ]; then
        tulvo_service_remove
        rm -f "$WINEPREFIX"/drive_c/windows/system32/Serv_Tulvo.Log.*.Txt
    fi
    # The simulator unplugs its sensors on the way out: their ports and fake devices go.
    tulvo_sim_stop
    tulvo_wine_stop
    rm -rf "$work"
    echo "done in $(elapsed)"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

step "starting the wine prefix $WINEPREFIX (pty library preloaded)"
tulvo_start_preloaded_prefix

step "starting two simulated sensors"
tulvo_sim_start "$work" "demo1:com21:${sensors[0]}" "demo2:com22:${sensors[1]}" || exit 1
simctl() { tulvo_simctl "$@"; }
simctl list

step "installing and starting \"$service\" with sc"
# The start argument switches the trace log on; it goes to the system directory, the
# installed service's current directory.
tulvo_service_install "$bin/Serv_Tulvo.exe" LogEventsEnable || { echo "the service did not start"; exit 1; }
tulvo_sc query "$service" | grep STATE

step "tulvo_cli list"
listed() { [ "$(cli list | grep -c DEMO000)" = 2 ]; }
tulvo_wait_until 30 listed || echo "not both sensors are listed"
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
