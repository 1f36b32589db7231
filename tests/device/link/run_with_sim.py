#!/usr/bin/env python3
"""Runs a Windows GoogleTest program under wine against the sensor simulator.

Starts tulvo_sensorsim from the host tree (its control port goes to the program in
TULVO_SIM_PORT, the first COM number it may use in TULVO_SIM_COM_BASE), runs the program through
scripts/wine-gtest.sh with the pty modem-line library preloaded, and stops the simulator
whatever happens. The simulator's log is printed when the program fails or runs out of time.
Listing the program's cases (--gtest_list_tests, CTest's discovery) needs no simulator.
A program that is not a GoogleTest one (a benchmark) runs under plain wine with --not-gtest.
With --devtree TULVO_DEVTREE_EXE the simulator announces its plugs and unplugs to the device
monitor through the device-tree tool, so that a sensor that restarts on its own leaves and
rejoins the device tree as a real one does (tests/ipc/server/run_server_sim.py).
With --frame-complete-reads 0|1 the service's FrameCompleteReads value (the receive mode every
port opened in the prefix reads) is set to it for the run, told to the program in
TULVO_FRAME_COMPLETE_READS, and removed at the end; tests that use it hold the device tree's
lock, as every test with sensors does, so that no other reads it meanwhile."""
import argparse
import os
import signal
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(
    __file__)))))
WINE_GTEST = os.path.join(ROOT, "scripts", "wine-gtest.sh")
PARAMETERS_KEY = r"HKLM\SYSTEM\CurrentControlSet\Services\VEK USB Service\Parameters"


def set_frame_complete_reads(mode):
    """The value on ("1"), or removed (anything else: the default mode); False when wine's reg
    could not set it."""
    if mode == "1":
        command = ["reg", "add", PARAMETERS_KEY, "/v", "FrameCompleteReads", "/t", "REG_DWORD",
                   "/d", "1", "/f"]
    else:
        command = ["reg", "delete", PARAMETERS_KEY, "/v", "FrameCompleteReads", "/f"]
    done = subprocess.run(["timeout", "60", "wine"] + command, stdin=subprocess.DEVNULL,
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    # Removing a value that is not there fails too, and leaves what was wanted.
    return done.returncode == 0 or mode != "1"


def find_host_tree(given, program):
    candidates = [given] if given else []
    build = os.environ.get("TULVO_BUILD_DIR")
    if build:
        candidates.append(os.path.join(build, "host"))
    # The usual layout: the host tree next to the Windows tree that holds bin/PROGRAM.
    candidates.append(os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
        os.path.abspath(program)))), "host"))
    for tree in candidates:
        if tree and os.path.exists(os.path.join(tree, "bin", "tulvo_sensorsim")):
            return tree
    sys.exit("run_with_sim: no host tree with tulvo_sensorsim (tried %s)" % candidates)


def stop(process, seconds):
    process.send_signal(signal.SIGTERM)
    try:
        process.wait(timeout=seconds)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--host-tree", default="")
    parser.add_argument("--com-base", type=int, required=True)
    parser.add_argument("--timeout", type=int, default=300,
                        help="seconds the program may run (default 300)")
    parser.add_argument("--not-gtest", action="store_true",
                        help="the program writes no GoogleTest report: run it under plain wine")
    parser.add_argument("--devtree", default="",
                        help="tulvo_devtree.exe: announce the sensors to the device monitor")
    parser.add_argument("--frame-complete-reads", choices=("0", "1"), default=None,
                        help="the receive mode of the ports opened during the run")
    parser.add_argument("program")
    parser.add_argument("args", nargs="*")
    options, extra = parser.parse_known_args()
    options.args += extra

    if "WINEPREFIX" not in os.environ:
        build = os.environ.get("TULVO_BUILD_DIR")
        if not build:
            sys.exit("run_with_sim: set WINEPREFIX or TULVO_BUILD_DIR")
        os.environ["WINEPREFIX"] = os.path.join(build, "wineprefix")
    os.environ.setdefault("WINEDEBUG", "-all")
    # wine, here and in the simulator, through the wrapper that turns randomization off.
    wine_bin = os.path.join(ROOT, "scripts", "wine-bin")
    if wine_bin not in os.environ.get("PATH", "").split(os.pathsep):
        os.environ["PATH"] = wine_bin + os.pathsep + os.environ.get("PATH", "")
    command = ["wine" if options.not_gtest else WINE_GTEST, options.program] + options.args
    if "--gtest_list_tests" in options.args:
        return subprocess.run(command).returncode

    host = find_host_tree(options.host_tree, options.program)
    work = tempfile.mkdtemp(prefix="tulvo-sim-")
    port_file = os.path.join(work, "port")
    log_path = os.path.join(work, "sim.log")
    sim_command = [os.path.join(host, "bin", "tulvo_sensorsim"), "--control-port", "0",
                   "--port-file", port_file, "--log", log_path]
    if options.devtree:
        sim_command += ["--quiet", "--devtree", options.devtree]
    sim = subprocess.Popen(sim_command, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL if options.devtree else None)
    status = 1
    try:
        deadline = time.time() + 30
        while not os.path.exists(port_file):
            if sim.poll() is not None or time.time() > deadline:
                sys.exit("run_with_sim: the simulator did not start")
            time.sleep(0.02)
        with open(port_file) as f:
            port = f.read().strip()
        env = dict(os.environ)
        env["TULVO_SIM_PORT"] = port
        env["TULVO_SIM_COM_BASE"] = str(options.com_base)
        env["LD_PRELOAD"] = os.path.join(host, "lib", "libtulvo_ptyshim.so")
        if options.frame_complete_reads is not None:
            env["TULVO_FRAME_COMPLETE_READS"] = options.frame_complete_reads
            if not set_frame_complete_reads(options.frame_complete_reads):
                sys.exit("run_with_sim: could not set FrameCompleteReads")
        program = subprocess.Popen(command, env=env, start_new_session=True)
        try:
            status = program.wait(timeout=options.timeout)
        except subprocess.TimeoutExpired:
            print("run_with_sim: %s did not end within %d s; stopped" %
                  (os.path.basename(options.program), options.timeout), flush=True)
            os.killpg(program.pid, signal.SIGKILL)
            program.wait()
            status = 1
    finally:
        # Announcing the removal of every sensor at the end takes a wine process each.
        stop(sim, 60 if options.devtree else 10)
        if options.frame_complete_reads is not None:
            set_frame_complete_reads(None)
        if status != 0 and os.path.exists(log_path):
            with open(log_path, errors="replace") as f:
                lines = f.readlines()
            print("---- simulator log (last 80 lines)")
            sys.stdout.writelines(lines[-80:])
        for name in os.listdir(work):
            os.unlink(os.path.join(work, name))
        os.rmdir(work)
    return status


if __name__ == "__main__":
    sys.exit(main())
