# Sourced by the scripts that run Windows programs: a private wine prefix inside the build
# tree, a persistent wineserver (one exe start then costs tens of milliseconds instead of
# half a second), and the two registry values that keep a headless wine from hanging.
#   tulvo_wine_start       boot the prefix if needed and start its server
#   tulvo_wine_stop        stop its server (safe to call twice)
#   tulvo_wine_server_pid  print the pid of the prefix's running server, or nothing
# The server's own messages go to $WINEPREFIX.wineserver.log.

tulvo_wine_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEPREFIX=${WINEPREFIX:-${TULVO_BUILD_DIR:-$tulvo_wine_root/build}/wineprefix}
export WINEARCH=win64
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko installer dialogs while booting a fresh prefix.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
unset DISPLAY
# Every wine started from here on runs with address-space randomization off (see the wrapper).
case ":$PATH:" in
*":$tulvo_wine_root/scripts/wine-bin:"*) ;;
*) export PATH="$tulvo_wine_root/scripts/wine-bin:$PATH" ;;
esac

tulvo_wine_start() {
    mkdir -p "$WINEPREFIX"
    if [ ! -f "$WINEPREFIX/.tulvo-ready" ]; then
        echo "== booting wine prefix $WINEPREFIX"
        tulvo_wine_server_start
        timeout 300 wine wineboot --init </dev/null >/dev/null 2>&1 || true
        timeout 120 wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /t REG_SZ /d null /f </dev/null >/dev/null 2>&1
        timeout 120 wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f </dev/null >/dev/null 2>&1
        # What wineboot started (services.exe and the desktop of its services) started before
        # the null display driver was set; the services' desktop then stays broken and a
        # service process never reaches its dispatcher. They start again below.
        wineserver -k
        wineserver -w
        touch "$WINEPREFIX/.tulvo-ready"
    fi
    tulvo_wine_server_start
    # Start the prefix's own programs (services.exe, ...) here, with no output of ours: a
    # program started later by a test would inherit the test's output pipe and keep it open.
    timeout 120 wine wineboot </dev/null >/dev/null 2>&1 || true
}

# The persistent server runs in the foreground of a background job, not as the daemon that
# `wineserver -p` makes of it. A daemon leads a session of its own, and the first terminal it
# opens becomes the session's controlling terminal: here, the pty of the first simulated sensor
# whose COM port a program opens, since the server opens files for its programs. Unplugging that
# sensor hangs the session up: the kernel sends the server SIGHUP, the server dumps every object
# it holds, and at times aborts, which leaves every wine process of the prefix blocked for ever.
tulvo_wine_server_start() {
    local l_pid
    if [ -n "$(tulvo_wine_server_pid)" ]; then
        return 0
    fi
    nohup wineserver -f -p </dev/null >>"$WINEPREFIX.wineserver.log" 2>&1 &
    l_pid=$!
    disown "$l_pid" 2>/dev/null || true
    # A program started before the server listens would start a server of its own.
    for _ in $(seq 1 200); do
        if [ -S "/proc/$l_pid/cwd/socket" ] || ! kill -0 "$l_pid" 2>/dev/null; then
            return 0
        fi
        sleep 0.05
    done
}

tulvo_wine_stop() {
    wineserver -k >/dev/null 2>&1 || true
}

tulvo_wine_server_pid() {
    # A server works in a directory named after the device and inode of its prefix, wherever
    # the wine build puts that directory.
    local l_ids l_dir l_proc
    l_ids=$(stat -L -c '%d %i' "$WINEPREFIX" 2>/dev/null) || return 0
    # shellcheck disable=SC2086
    l_dir=$(printf 'server-%x-%x' $l_ids)
    for l_proc in $(find /proc -maxdepth 2 -path '/proc/[0-9]*/cwd' -lname "*/$l_dir" \
                        -printf '%h\n' 2>/dev/null); do
        case $(cat "$l_proc/comm" 2>/dev/null) in
        wineserver*) echo "${l_proc#/proc/}"; return 0 ;;
        esac
    done
}
