#!/usr/bin/env bash
# A long run of the installed service under load and faults, to see that it neither loses nor
# spoils frames and does not grow: simulated sensors, client processes exchanging echo frames
# on them without a pause (tulvo_scenario_client "run", which checks every answer byte for
# byte), and at random moments (seeded, logged) a sensor unplugged and plugged again or a
# client killed and a new one started. The service's handle count, thread count and private
# bytes are sampled every 10 s (tulvo_procstat.exe under the same prefix). With --strangers, a
# careless or hostile local program (tulvo_stranger.exe) acts every 20-40 s: Running reset,
# 100 channels requested in the service's name, a trickled request, a client killed while it
# waits for a lock another holds. Not part of CI.
#   scripts/soak.sh [--minutes N] [--clients N] [--sensors N] [--seed N] [--size BYTES]
#                   [--strangers] [--logs DIR] [--frame-complete-reads]
# --frame-complete-reads runs the service with its opt-in receive mode (FrameCompleteReads = 1
# under its Parameters key, removed again at the end).
# Prints the report of scripts/soak_report.py at the end; exit code 1 when a frame was
# corrupted, the service's figures are not flat or the service went away, 2 when it could not
# run. Everything it starts is stopped and removed at the end, also when interrupted; its logs
# stay in build/soak/<date>-<seed>/ unless --logs says otherwise.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=service-lib.sh
. "$root/scripts/service-lib.sh"

minutes=2
clients=10
sensors=4
seed=$(($(date +%s) % 100000))
size=64
strangers=0
logs=""
frame_complete_reads=0
while [ $# -gt 0 ]; do
    case $1 in
    --minutes) minutes=$2; shift 2 ;;
    --clients) clients=$2; shift 2 ;;
    --sensors) sensors=$2; shift 2 ;;
    --seed) seed=$2; shift 2 ;;
    --size) size=$2; shift 2 ;;
    --logs) logs=$2; shift 2 ;;
    --strangers) strangers=1; shift ;;
    --frame-complete-reads) frame_complete_reads=1; shift ;;
    -h | --help) sed -n '2,18p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "soak: unknown argument $1 (see --help)" >&2; exit 2 ;;
    esac
done
for n in "$minutes" "$clients" "$sensors" "$seed" "$size"; do
    [[ $n =~ ^[0-9]+$ ]] || { echo "soak: $n is not a number" >&2; exit 2; }
done
if [ "$sensors" -lt 1 ] || [ "$sensors" -gt 9 ] || [ "$clients" -lt 1 ] || [ "$minutes" -lt 1 ]; then
    echo "soak: 1-9 sensors, at least one client and one minute" >&2
    exit 2
fi
bin=$tulvo_bin
parameters_key="HKLM\\SYSTEM\\CurrentControlSet\\Services\\$tulvo_service\\Parameters"
client_exe=$bin/tulvo_scenario_client.exe
tulvo_require "$tulvo_sim_exe" "$tulvo_shim" "$bin/Serv_Tulvo.exe" "$bin/tulvo_devtree.exe" \
    "$bin/tulvo_procstat.exe" "$bin/tulvo_cli.exe" "$bin/tulvo_stranger.exe" "$client_exe" || exit 2

logs=${logs:-$TULVO_BUILD_DIR/soak/$(date +%Y%m%d-%H%M%S)-$seed}
mkdir -p "$logs"
events=$logs/events.log
samples=$logs/samples.log
: >"$events"
: >"$samples"
RANDOM=$seed

now_ms() { date +%s%3N; }
log_event() { echo "t=$(now_ms) $*" | tee -a "$events"; }
# A sensor fault, logged with the time it began.
sensor_fault() {
    local l_t l_answer
    l_t=$(now_ms)
    l_answer=$(tulvo_simctl "$1" "$(sensor_name "$2")")
    echo "t=$l_t $1 sensor=$(sensor_name "$2") $l_answer" | tee -a "$events"
}
cli() { timeout 60 wine "$bin/tulvo_cli.exe" "$@" </dev/null 2>&1 | tr -d '\r'; }

stranger() { timeout 120 wine "$bin/tulvo_stranger.exe" "$@" </dev/null 2>&1 | tr -d '\r'; }
# One act of a stranger, chosen at random, logged when it begins; the slow ones run in the
# background, with what they print in strangers.log.
stranger_act() {
    local l_t l_s l_pid l_waiter
    l_t=$(now_ms)
    case $((RANDOM % 4)) in
    0) echo "t=$l_t stranger act=running $(stranger running)" | tee -a "$events" ;;
    1)
        l_pid=$(timeout 60 wine "$bin/tulvo_procstat.exe" Serv_Tulvo.exe </dev/null 2>&1 |
            sed -n 's/.*pid=\([0-9]*\).*/\1/p')
        echo "t=$l_t stranger act=channels $(stranger channels "${l_pid:-0}" 100)" |
            tee -a "$events"
        ;;
    2)
        echo "t=$l_t stranger act=trickle" | tee -a "$events"
        stranger trickle >>"$logs/strangers.log" &
        ;;
    3)
        l_s=$((RANDOM % sensors + 1))
        echo "t=$l_t stranger act=lockwait sensor=$(sensor_name "$l_s")" | tee -a "$events"
        stranger hold "$(sensor_serial "$l_s")" 3000 >>"$logs/strangers.log" &
        sleep 0.5
        wine "$bin/tulvo_stranger.exe" lockwait "$(sensor_serial "$l_s")" </dev/null \
            >>"$logs/strangers.log" 2>&1 &
        l_waiter=$!
        sleep 1
        kill -KILL "$l_waiter" 2>/dev/null
        wait "$l_waiter" 2>/dev/null
        ;;
    esac
}

sensor_name() { echo "s$1"; }
sensor_serial() { printf 'SOAK%04d' "$1"; }
sensor_com() { echo "com$((40 + $1))"; }

# Client k: its wine process, its sensor, and the fifo its commands go through (held open
# here, read-write, so that the client never sees the end of its input before "quit").
client_pid=()
client_sensor=()
client_fd=()
next_client=0
sampler_pid=""

start_client() {
    local l_sensor=$1 l_k=$next_client l_fifo l_fd
    next_client=$((next_client + 1))
    l_fifo=$logs/client-$l_k.in
    mkfifo "$l_fifo"
    exec {l_fd}<>"$l_fifo"
    wine "$client_exe" "connect $(sensor_serial "$l_sensor")" "run $size progress failures" \
        <"$l_fifo" >"$logs/client-$l_k.out" 2>"$logs/client-$l_k.err" &
    client_pid[l_k]=$!
    client_sensor[l_k]=$l_sensor
    client_fd[l_k]=$l_fd
    log_event "start client=$l_k sensor=$(sensor_name "$l_sensor") pid=${client_pid[l_k]}"
}

# A live client's index chosen at random, or nothing.
random_live_client() {
    local l_live=() l_k
    for l_k in "${!client_pid[@]}"; do
        [ -n "${client_pid[l_k]}" ] && l_live+=("$l_k")
    done
    [ ${#l_live[@]} -gt 0 ] && echo "${l_live[RANDOM % ${#l_live[@]}]}"
}

close_input() {
    local l_fd=${client_fd[$1]}
    exec {l_fd}>&-
    client_pid[$1]=""
}

kill_client() {
    local l_k=$1
    log_event "kill client=$l_k sensor=$(sensor_name "${client_sensor[l_k]}") pid=${client_pid[l_k]}"
    kill -KILL "${client_pid[l_k]}" 2>/dev/null
    wait "${client_pid[l_k]}" 2>/dev/null
    echo "killed" >"$logs/client-$l_k.killed"
    close_input "$l_k"
}

# Every live client ends its run (its result line) and quits; one that does not within a
# minute is killed and counted from its progress lines.
stop_clients() {
    local l_k l_end
    for l_k in "${!client_pid[@]}"; do
        [ -n "${client_pid[l_k]}" ] && printf 'stop\nquit\n' >&"${client_fd[l_k]}"
    done
    l_end=$(($(date +%s) + 60))
    for l_k in "${!client_pid[@]}"; do
        [ -n "${client_pid[l_k]}" ] || continue
        while kill -0 "${client_pid[l_k]}" 2>/dev/null && [ "$(date +%s)" -lt "$l_end" ]; do
            sleep 0.2
        done
        if kill -0 "${client_pid[l_k]}" 2>/dev/null; then
            log_event "client=$l_k did not stop: killed"
            kill -KILL "${client_pid[l_k]}" 2>/dev/null
            echo "did not stop" >"$logs/client-$l_k.killed"
        fi
        wait "${client_pid[l_k]}" 2>/dev/null
        close_input "$l_k"
    done
}

# Samples taken under load feed the trend; those at rest (before the clients start and after
# they end) are marked "rest". A wine process very rarely ends at its start with no output:
# that one is tried again.
sample_service() {
    local l_t l_line
    for _ in 1 2 3; do
        l_t=$(now_ms)
        l_line=$(timeout 60 wine "$bin/tulvo_procstat.exe" Serv_Tulvo.exe </dev/null 2>&1 |
            tr -d '\r')
        case $l_line in *pid=* | "no process"*) break ;; esac
    done
    echo "t=$l_t ${1:-}$l_line" >>"$samples"
}

# Every 10 s from its start; a sample takes tens of milliseconds, so the ticks do not drift.
sampler() {
    local l_next
    l_next=$(date +%s)
    while :; do
        sample_service
        l_next=$((l_next + 10))
        sleep $((l_next - $(date +%s) > 0 ? l_next - $(date +%s) : 0))
    done
}

cleanup_done=0
cleanup() {
    [ "$cleanup_done" = 1 ] && return
    cleanup_done=1
    trap - EXIT INT TERM
    echo "== cleaning up"
    if [ -n "$sampler_pid" ]; then
        kill "$sampler_pid" 2>/dev/null
        wait "$sampler_pid" 2>/dev/null
    fi
    local l_k
    for l_k in "${!client_pid[@]}"; do
        if [ -n "${client_pid[l_k]}" ]; then
            kill -KILL "${client_pid[l_k]}" 2>/dev/null
            wait "${client_pid[l_k]}" 2>/dev/null
        fi
    done
    tulvo_service_remove
    if [ "$frame_complete_reads" = 1 ]; then
        timeout 60 wine reg delete "$parameters_key" /v FrameCompleteReads /f >/dev/null 2>&1
    fi
    tulvo_sim_stop
    tulvo_wine_stop
    rm -f "$logs"/client-*.in
}
trap cleanup EXIT
trap 'echo "== interrupted"; exit 130' INT TERM

echo "== soak: $minutes min, $clients clients, $sensors sensors, seed $seed," \
    "strangers $([ "$strangers" = 1 ] && echo on || echo off), logs in $logs"
tulvo_start_preloaded_prefix

sensor_args=()
for s in $(seq 1 "$sensors"); do
    sensor_args+=("$(sensor_name "$s"):$(sensor_com "$s"):$(sensor_serial "$s")")
done
tulvo_sim_start "$logs" "${sensor_args[@]}" || exit 2

if [ "$frame_complete_reads" = 1 ]; then
    echo "== frame-complete reads: FrameCompleteReads = 1"
    timeout 60 wine reg add "$parameters_key" /v FrameCompleteReads /t REG_DWORD /d 1 /f \
        </dev/null >/dev/null 2>&1 || { echo "soak: cannot set FrameCompleteReads" >&2; exit 2; }
fi
echo "== installing and starting \"$tulvo_service\" with sc"
tulvo_service_install "$bin/Serv_Tulvo.exe" || { echo "soak: the service did not start" >&2; exit 2; }
listed() { [ "$(cli list | grep -c SOAK0)" = "$sensors" ]; }
tulvo_wait_until 60 listed || { echo "soak: not every sensor is listed" >&2; cli list; exit 2; }
sample_service "rest "
log_event "begin minutes=$minutes clients=$clients sensors=$sensors seed=$seed" \
    "frame_complete_reads=$frame_complete_reads" \
    "service $(tail -1 "$samples" | cut -d' ' -f3)"

for k in $(seq 0 $((clients - 1))); do
    start_client $((k % sensors + 1))
done
sampler &
sampler_pid=$!

# Faults: one every 5-20 s; an unplugged sensor comes back 1-6 s later on the same port.
started=$(date +%s)
end=$((started + minutes * 60))
next_fault=$((started + 5 + RANDOM % 16))
next_stranger=$((started + 20 + RANDOM % 21))
declare -A replug_at=()
while [ "$(date +%s)" -lt "$end" ]; do
    t=$(date +%s)
    for s in "${!replug_at[@]}"; do
        if [ "$t" -ge "${replug_at[$s]}" ]; then
            sensor_fault plug "$s"
            unset "replug_at[$s]"
        fi
    done
    if [ "$t" -ge "$next_fault" ] && [ "$t" -lt $((end - 10)) ]; then
        if [ $((RANDOM % 2)) = 0 ]; then
            s=$((RANDOM % sensors + 1))
            if [ -z "${replug_at[$s]:-}" ]; then
                sensor_fault unplug "$s"
                replug_at[$s]=$((t + 1 + RANDOM % 6))
            fi
        else
            k=$(random_live_client)
            if [ -n "$k" ]; then
                kill_client "$k"
            fi
            start_client $((RANDOM % sensors + 1))
        fi
        next_fault=$((t + 5 + RANDOM % 16))
    fi
    if [ "$strangers" = 1 ] && [ "$t" -ge "$next_stranger" ] && [ "$t" -lt $((end - 30)) ]; then
        stranger_act
        next_stranger=$(($(date +%s) + 20 + RANDOM % 21))
    fi
    sleep 0.25
done
for s in "${!replug_at[@]}"; do
    sensor_fault plug "$s"
done

echo "== stopping the clients"
stop_clients
log_event "end"
kill "$sampler_pid" 2>/dev/null
wait "$sampler_pid" 2>/dev/null
sampler_pid=""
sleep 5
sample_service "rest "
cleanup
python3 "$root/scripts/soak_report.py" "$logs"
