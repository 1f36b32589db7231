#!/usr/bin/env python3
"""Runs a Windows program under wine against the sensor simulator, with the simulator's plugs
and unplugs announced to the device monitor through the device-tree tool (--devtree
TULVO_DEVTREE_EXE, required): tests/device/link/run_with_sim.py with that option. The program
finds the simulator's control port in TULVO_SIM_PORT and its first COM number in
TULVO_SIM_COM_BASE; GoogleTest programs run through scripts/wine-gtest.sh, others (--not-gtest)
under plain wine."""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "device", "link"))
import run_with_sim  # noqa: E402

if __name__ == "__main__":
    if not any(arg == "--devtree" or arg.startswith("--devtree=") for arg in sys.argv[1:]):
        sys.exit("run_server_sim: --devtree TULVO_DEVTREE_EXE is required")
    sys.exit(run_with_sim.main())
