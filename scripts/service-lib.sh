# shellcheck shell=bash
# Sourced by the scripts that run the service with simulated sensors (demo.sh, soak.sh): the
# prefix with the pty library preloaded, the simulator, and the service installed with sc.
# Set TULVO_BUILD_DIR before sourcing; wine-env.sh is sourced here.
#   tulvo_wait_until SECONDS CMD...     run CMD every 0.2 s until it succeeds (1 on time-out)
#   tulvo_start_preloaded_prefix        the prefix's server and programs, with LD_PRELOAD set
#   tulvo_sim_start DIR SENSOR...       the simulator (--sensor NAME:COM:SERIAL each), logs and port file in DIR:
#                                       sets tulvo_sim_pid and tulvo_sim_port
#   tulvo_simctl COMMAND...             one simulator command
#   tulvo_sim_stop                      the simulator, with its ports and fake devices
#   tulvo_sc ARGS...                    wine sc, output without CRs
#   tulvo_service_install EXE ARGS...   create and start "$tulvo_service", wait for RUNNING
#   tulvo_service_remove                stop and delete it (safe when it was never created)
#
# The simulated ports are pseudo-terminals, whose modem-line calls only work with the pty
# library preloaded into the wine process that opens them. The installed service is started by
# the prefix's services.exe and inherits its environment (a service's "Environment" registry
# value is not honoured by wine), so the prefix's wine programs are started with LD_PRELOAD
# set: a wine server already running for this prefix is stopped first.

tulvo_lib_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export TULVO_BUILD_DIR=${TULVO_BUILD_DIR:-$tulvo_lib_root/build}
tulvo_sim_exe=$TULVO_BUILD_DIR/host/bin/tulvo_sensorsim
tulvo_shim=$TULVO_BUILD_DIR/host/lib/libtulvo_ptyshim.so
tulvo_bin=$TULVO_BUILD_DIR/win/bin
tulvo_service="VEK USB Service"
tulvo_sim_pid=""
tulvo_sim_port=""
tulvo_service_created=0
# shellcheck source=wine-env.sh
. "$tulvo_lib_root/scripts/wine-env.sh"

# Checks that every file exists; names the first missing one.
tulvo_require() {
    local l_file
    for l_file in "$@"; do
        [ -e "$l_file" ] || { echo "$l_file is missing: run scripts/setup.sh first" >&2; return 1; }
    done
}

tulvo_wait_until() {
    local l_limit=$1
    shift
    local l_end=$(($(date +%s) + l_limit))
    until "$@"; do
        [ "$(date +%s)" -lt "$l_end" ] || return 1
        sleep 0.2
    done
}

tulvo_start_preloaded_prefix() {
    tulvo_wine_stop
    wineserver -w 2>/dev/null
    export LD_PRELOAD=$tulvo_shim
    tulvo_wine_start
}

tulvo_sim_start() {
    local l_dir=$1
    shift
    local l_sensors=() l_sensor
    for l_sensor in "$@"; do
        l_sensors+=(--sensor "$l_sensor")
    done
    "$tulvo_sim_exe" --control-port 0 --port-file "$l_dir/port" --log "$l_dir/sim.log" --quiet \
        --devtree "$tulvo_bin/tulvo_devtree.exe" "${l_sensors[@]}" </dev/null 2>"$l_dir/sim.err" &
    tulvo_sim_pid=$!
    if ! tulvo_wait_until 30 test -s "$l_dir/port"; then
        echo "the simulator did not start" >&2
        cat "$l_dir/sim.err" >&2
        return 1
    fi
    tulvo_sim_port=$(cat "$l_dir/port")
}

tulvo_simctl() {
    "$tulvo_sim_exe" --send "$tulvo_sim_port" "$@"
}

tulvo_sim_stop() {
    if [ -n "$tulvo_sim_pid" ]; then
        kill "$tulvo_sim_pid" 2>/dev/null
        wait "$tulvo_sim_pid" 2>/dev/null
        tulvo_sim_pid=""
    fi
}

tulvo_sc() {
    timeout 60 wine sc "$@" </dev/null 2>&1 | tr -d '\r'
}

tulvo_service_state() {
    tulvo_sc query "$tulvo_service" | sed -n 's/.*STATE *: *[0-9]* *\([A-Z_]*\).*/\1/p'
}

tulvo_service_running() {
    [ "$(tulvo_service_state)" = RUNNING ]
}

tulvo_service_stopped() {
    [ "$(tulvo_service_state)" != RUNNING ] && [ "$(tulvo_service_state)" != STOP_PENDING ]
}

tulvo_service_install() {
    local l_exe=$1
    shift
    tulvo_sc create "$tulvo_service" binPath= "$(winepath -w "$l_exe" 2>/dev/null)" | tail -1
    tulvo_service_created=1
    tulvo_sc start "$tulvo_service" "$@" | grep -E 'STATE|FAILED' || true
    tulvo_wait_until 30 tulvo_service_running
}

tulvo_service_remove() {
    [ "$tulvo_service_created" = 1 ] || return 0
    tulvo_sc stop "$tulvo_service" >/dev/null
    tulvo_wait_until 30 tulvo_service_stopped
    tulvo_sc delete "$tulvo_service" | tail -1
    tulvo_service_created=0
}
