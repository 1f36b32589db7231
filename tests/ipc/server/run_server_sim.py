#!/usr/bin/env python3
"""Runs a Windows program under wine against the sensor simulator, with the simulator's plugs
and unplugs announced to the device monitor through the device-tree tool.

Like tests/device/link/run_with_sim.py (whose host-tree lookup it shares), but the simulator
gets --devtree, so that a sensor that restarts on its own (the restart frame) leaves and
rejoins the device tree and the monitor window hears of both, as with a real sensor. The
program finds the simulator's control port in TULVO_SIM_PORT and its first COM number in
TULVO_SIM_COM_BASE. Extra arguments after the program go to it."""
import argparse
import os
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "device", "link"))
from run_with_sim import find_host_tree  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--host-tree", default="")
    parser.add_argument("--com-base", type=int, required=True)
    parser.add_argument("--devtree", required=True, help="tulvo_devtree.exe")
    parser.add_argument("--timeout", type=int, default=900)
    parser.add_argument("program")
    parser.add_argument("args", nargs="*")
    options, extra = parser.parse_known_args()
    options.args += extra

    host = find_host_tree(options.host_tree, options.program)
    if "WINEPREFIX" not in os.environ:
        build = os.environ.get("TULVO_BUILD_DIR")
        if not build:
            sys.exit("run_server_sim: set WINEPREFIX or TULVO_BUILD_DIR")
        os.environ["WINEPREFIX"] = os.path.join(build, "wineprefix")
    os.environ.setdefault("WINEDEBUG", "-all")

    work = tempfile.mkdtemp(prefix="tulvo-srvsim-")
    port_file = os.path.join(work, "port")
    log_path = os.path.join(work, "sim.log")
    sim = subprocess.Popen([os.path.join(host, "bin", "tulvo_sensorsim"), "--control-port", "0",
                            "--port-file", port_file, "--log", log_path, "--quiet",
                            "--devtree", options.devtree],
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
    status = 1
    try:
        deadline = time.time() + 30
        while not os.path.exists(port_file):
            if sim.poll() is not None or time.time() > deadline:
                sys.exit("run_server_sim: the simulator did not start")
            time.sleep(0.02)
        with open(port_file) as f:
            port = f.read().strip()
        env = dict(os.environ)
        env["TULVO_SIM_PORT"] = port
        env["TULVO_SIM_COM_BASE"] = str(options.com_base)
        env["LD_PRELOAD"] = os.path.join(host, "lib", "libtulvo_ptyshim.so")
        try:
            status = subprocess.run(["wine", options.program] + options.args, env=env,
                                    timeout=options.timeout).returncode
        except subprocess.TimeoutExpired:
            print("run_server_sim: %s did not end within %d s" % (options.program,
                                                                  options.timeout))
            status = 1
    finally:
        sim.send_signal(signal.SIGTERM)
        try:
            sim.wait(timeout=60)
        except subprocess.TimeoutExpired:
            sim.kill()
            sim.wait()
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
