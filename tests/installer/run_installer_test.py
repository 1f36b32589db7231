#!/usr/bin/env python3
"""The MSI package under wine's msiexec, as an administrator would use it: a silent install
puts every file in place and leaves "VEK USB Service" running with automatic start, answering
Serv_Tulvo.exe -send version and tulvo_cli version from the installed directory, with its Event
Log source registered, its restarts after a failure set (as far as wine can show them) and the
receive mode given on the command line (FRAMECOMPLETEREADS=1) in the service's Parameters key;
a silent uninstall stops the service and removes it, its source, its files, its directories and
its registry values.

Runs in the wine prefix of the build (WINEPREFIX, else TULVO_BUILD_DIR/wineprefix) with its
server started (scripts/wine-env.sh). Every wine program writes to a file, not to a pipe: a
program the installer starts must not keep this script's pipe open."""
import argparse
import os
import re
import subprocess
import sys
import tempfile
import time

SERVICE = "VEK USB Service"
INSTALL_DIR = "C:\\Program Files\\VEK USB Service"
SERVICE_KEY = "HKLM\\System\\CurrentControlSet\\Services\\" + SERVICE
EVENTLOG_KEY = "HKLM\\System\\CurrentControlSet\\Services\\EventLog\\Application\\" + SERVICE
# Relative to the installation directory.
FILES = [
    "bin/Serv_Tulvo.exe", "bin/tulvo_cli.exe", "bin/TulvoCli.dll", "bin/tulvo_example.exe",
    "lib/libTulvoCli.dll.a", "lib/libTulvoCliStatic.a",
    "lib/cmake/TulvoCli/TulvoCliConfig.cmake", "lib/cmake/TulvoCli/TulvoCliConfigVersion.cmake",
    "include/ipc/client/TulvoCli.h", "include/ipc/protocol/TulvoStatus.h",
    "example/tulvo_example.c",
]
WAIT_S = 60

failures = []


def check(condition, what, detail=""):
    print(("ok    " if condition else "FAIL  ") + what)
    if not condition:
        failures.append(what)
        if detail:
            print("      " + detail.replace("\n", "\n      "))
    return condition


def wine(args, timeout=120):
    """Exit code and output (stdout and stderr) of one wine program."""
    with tempfile.TemporaryFile() as out:
        try:
            code = subprocess.run(["wine"] + args, stdin=subprocess.DEVNULL, stdout=out,
                                  stderr=subprocess.STDOUT, timeout=timeout).returncode
        except subprocess.TimeoutExpired:
            code = None
        out.seek(0)
        return code, out.read().decode("latin-1")


def service_state():
    """The state word of sc query ("RUNNING", "STOPPED", ...), or None without service."""
    code, text = wine(["sc", "query", SERVICE])
    for line in text.splitlines():
        if "STATE" in line and ":" in line:
            return line.split(":", 1)[1].split()[-1]
    return None if code != 0 else "?"


def wait_for(predicate):
    deadline = time.time() + WAIT_S
    while not predicate():
        if time.time() > deadline:
            return False
        time.sleep(0.2)
    return True


def service_key_exists():
    return wine(["reg", "query", SERVICE_KEY])[0] == 0


def check_failure_actions():
    """Restart after 5 s, twice, then after 60 s, reset after a day, as sc qfailure shows them
    once the running service has set them. Wine's sc has no qfailure and its control manager
    keeps no failure actions: then say so."""
    code, text = wine(["sc", "qfailure", SERVICE])
    if code != 0 and "RESET_PERIOD" not in text:
        print("note  failure actions cannot be read back here (sc qfailure: exit %s)" % code)
        return
    wait_for(lambda: "RESTART" in wine(["sc", "qfailure", SERVICE])[1])
    code, text = wine(["sc", "qfailure", SERVICE])
    delays = re.findall(r"RESTART -- Delay = (\d+)", text)
    reset = re.search(r"RESET_PERIOD[^:]*:\s*(\d+)", text)
    check(delays == ["5000", "5000", "60000"] and reset is not None and reset.group(1) == "86400",
          "failure actions: restart after 5 s, 5 s, then 60 s; reset after a day", text)


def remove_leftovers(options):
    """What an interrupted run, or another test's sc create, may have left."""
    wine(["msiexec", "/x", options.product_code, "/qn"], timeout=300)
    if service_state() is not None:
        wine(["sc", "stop", SERVICE])
        wait_for(lambda: service_state() in (None, "STOPPED"))
        wine(["sc", "delete", SERVICE])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--msi", required=True)
    parser.add_argument("--product-code", required=True)
    parser.add_argument("--version", required=True, help="the project version, e.g. 1.5.0")
    parser.add_argument("--bin", required=True, help="build/win/bin, for tulvo_cli.exe")
    options = parser.parse_args()
    if "WINEPREFIX" not in os.environ:
        build = os.environ.get("TULVO_BUILD_DIR")
        if not build:
            sys.exit("run_installer_test: set WINEPREFIX or TULVO_BUILD_DIR")
        os.environ["WINEPREFIX"] = os.path.join(build, "wineprefix")
    os.environ.setdefault("WINEDEBUG", "-all")
    # wine through the wrapper that turns address-space randomization off.
    wine_bin = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
        os.path.abspath(__file__)))), "scripts", "wine-bin")
    os.environ["PATH"] = wine_bin + os.pathsep + os.environ.get("PATH", "")
    unix_dir = os.path.join(os.environ["WINEPREFIX"], "drive_c", "Program Files",
                            "VEK USB Service")
    # The version resource's file version as the service gives it: "1. 5. 0. 0".
    parts = (options.version.split(".") + ["0", "0", "0"])[:4]
    version = ". ".join(parts)

    remove_leftovers(options)
    try:
        started = time.time()
        code, text = wine(["msiexec", "/i", options.msi, "FRAMECOMPLETEREADS=1", "/qn"],
                          timeout=300)
        check(code == 0, "msiexec /i exits 0 (%.1f s)" % (time.time() - started), text)
        for name in FILES:
            check(os.path.isfile(os.path.join(unix_dir, name)), "installed: " + name)
        check(wait_for(lambda: service_state() == "RUNNING"), "the service runs",
              wine(["sc", "query", SERVICE])[1])
        code, text = wine(["reg", "query", SERVICE_KEY, "/v", "Start"])
        check("0x2" in text, "automatic start", text)
        code, text = wine(["reg", "query", SERVICE_KEY, "/v", "ImagePath"])
        check((INSTALL_DIR + "\\bin\\Serv_Tulvo.exe").lower() in text.lower(),
              "the service runs the installed executable", text)
        code, text = wine(["reg", "query", SERVICE_KEY + "\\Parameters", "/v",
                           "FrameCompleteReads"])
        check("REG_DWORD" in text and "0x1" in text, "FRAMECOMPLETEREADS=1 in the registry", text)

        code, text = wine(["reg", "query", EVENTLOG_KEY, "/v", "EventMessageFile"])
        check((INSTALL_DIR + "\\bin\\Serv_Tulvo.exe").lower() in text.lower(),
              "the Event Log source takes its texts from the installed executable", text)
        code, text = wine(["reg", "query", EVENTLOG_KEY, "/v", "TypesSupported"])
        check("0x7" in text, "the Event Log source has errors, warnings and information", text)
        check_failure_actions()

        code, text = wine([INSTALL_DIR + "\\bin\\Serv_Tulvo.exe", "-send", "version"])
        check("Version returned by Server : " + version in text, "Serv_Tulvo.exe -send version",
              text)
        code, text = wine([INSTALL_DIR + "\\bin\\tulvo_cli.exe", "version"])
        check(code == 0 and text.strip() == version, "tulvo_cli.exe version", text)
        code, text = wine([INSTALL_DIR + "\\bin\\tulvo_cli.exe", "locks"])
        check(code == 0 and text.strip() == "no pipe lock held", "tulvo_cli.exe locks", text)
        # Through the installed DLL: the example loads it from its own directory.
        code, text = wine([INSTALL_DIR + "\\bin\\tulvo_example.exe"])
        check(" sensor(s)" in text.splitlines()[0] if text else False,
              "tulvo_example.exe lists the sensors through TulvoCli.dll", text)
    finally:
        started = time.time()
        code, text = wine(["msiexec", "/x", options.msi, "/qn"], timeout=300)
    check(code == 0, "msiexec /x exits 0 (%.1f s)" % (time.time() - started), text)
    check(service_state() is None, "no service entry left", wine(["sc", "query", SERVICE])[1])
    check(not service_key_exists(), "no service key left in the registry")
    check(wine(["reg", "query", EVENTLOG_KEY])[0] != 0, "no Event Log source left")
    check(not os.path.exists(unix_dir), "no installation directory left",
          "\n".join(os.path.join(d, f) for d, _, fs in os.walk(unix_dir) for f in fs))
    # The service's process is gone with it: nobody answers on its channel any more.
    code, text = wine([os.path.join(options.bin, "tulvo_cli.exe"), "version"])
    check("TULVO_TS_SERVER_NOT_RUNNING" in text, "the service has stopped", text)

    if failures:
        print("%d check(s) failed" % len(failures))
        return 1
    print("installer: every check passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
