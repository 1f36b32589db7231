#!/usr/bin/env python3
"""The report of a soak run (scripts/soak.sh) from the files it leaves in its log directory:
events.log (what the run did to sensors and clients, and the strangers' acts, t=<unix ms>
first), samples.log (the
service's figures every 10 s from tulvo_procstat.exe), and per client client-K.out (the result
lines of tulvo_scenario_client) and client-K.killed when the run killed it.

Exit code 1 when a frame came back corrupted, an answer was lost or an exchange failed with no
fault of its sensor or act of a stranger to explain it, the service's process went away or
changed, or a figure is not flat; else 0.

  scripts/soak_report.py LOG_DIR
"""
import glob
import os
import re
import sys

# A lost answer is written when the client's wait for it ran out: the frame was accepted at
# most one lock, write and read time-out (5 s each) before. A fault of its sensor in that span
# explains it; a fault later cannot.
LOST_WINDOW_MS = 20000

# What the figures may move between the second and the last quarter of a run and still be
# flat: the larger of an absolute floor and a share of the second quarter's mean.
MARGINS = {"handles": (16, 0.05), "threads": (4, 0.05), "private": (2 << 20, 0.05)}
MIN_SAMPLES = 8

FIELD = re.compile(r"(\w+)=(\S*)")


def fields(line):
    return dict(FIELD.findall(line))


def read_lines(path):
    if not os.path.exists(path):
        return []
    with open(path, errors="replace") as f:
        return [line.rstrip("\r\n").replace("\r", "") for line in f]


class Client:
    """What one client process reported. A client that ended its run gives the totals of its
    result line; one that was killed gives those of its last progress line (up to a second
    short). Failures, lost answers and corrupted frames are written one line each when they
    happen, so they are exact either way."""

    def __init__(self, index, lines, killed):
        self.index = index
        self.killed = killed
        self.ok = 0
        self.finished = False
        self.corrupt = 0
        self.lost_times = []
        self.fail_times = []
        self.statuses = {}
        self.median_us = None
        for line in lines:
            if line.startswith("+ progress"):
                self.ok = int(fields(line).get("ok", self.ok))
            elif line.startswith("! "):
                kind = line.split()[1]
                f = fields(line)
                if kind == "corrupt":
                    self.corrupt += 1
                    continue
                status = int(f.get("status", "0"))
                self.statuses[status] = self.statuses.get(status, 0) + 1
                (self.lost_times if kind == "lost" else self.fail_times).append(int(f["t"]))
            elif re.match(r"=\d+ run ", line):
                f = fields(line)
                self.ok = int(f["ok"])
                self.median_us = int(f.get("median_us", "0"))
                self.finished = True


def read_clients(log_dir):
    clients = []
    for path in glob.glob(os.path.join(log_dir, "client-*.out")):
        index = int(re.search(r"client-(\d+)\.out$", path).group(1))
        killed = os.path.exists(os.path.join(log_dir, "client-%d.killed" % index))
        clients.append(Client(index, read_lines(path), killed))
    return sorted(clients, key=lambda c: c.index)


def read_events(log_dir):
    events = []
    for line in read_lines(os.path.join(log_dir, "events.log")):
        parts = line.split()
        if len(parts) >= 2 and parts[0].startswith("t="):
            f = fields(line)
            events.append((int(f["t"]), parts[1], f))
    return events


def lost_near_a_fault(lost_ms, sensor, events):
    """Whether a fault of that sensor (unplugged or plugged again, a client of it killed) or an
    act of a stranger, which may touch every sensor, falls in the span of the exchange whose
    answer was lost (or that failed) at lost_ms."""
    return any(((verb in ("unplug", "plug", "kill") and f.get("sensor") == sensor) or
                verb == "stranger") and lost_ms - LOST_WINDOW_MS <= t <= lost_ms
               for t, verb, f in events)


GONE = {}


def read_samples(log_dir):
    """(t, at rest, figures) per sample; figures is GONE when there was no service process,
    None when the sample could not be read."""
    samples = []
    for line in read_lines(os.path.join(log_dir, "samples.log")):
        f = fields(line)
        if "t" not in f:
            continue
        rest = line.split()[1:2] == ["rest"]
        if all(k in f for k in ("pid", "handles", "threads", "private")):
            samples.append((int(f["t"]), rest, {k: int(f[k]) for k in
                                                ("pid", "handles", "threads", "private")}))
        else:
            samples.append((int(f["t"]), rest, GONE if "no process" in line else None))
    return samples


def median(values):
    ordered = sorted(values)
    n = len(ordered)
    return (ordered[(n - 1) // 2] + ordered[n // 2]) / 2


def robust_slope(values):
    """Theil-Sen slope per sample: the median of the slopes between every two samples."""
    return median([(values[j] - values[i]) / (j - i)
                   for i in range(len(values)) for j in range(i + 1, len(values))])


def trend(values, floor, share):
    """The verdict on one figure: flat when the last quarter's median is within the margin of
    the second quarter's (the first is warm-up: channels, threads and buffers being made) and
    the figure does not climb steadily: quarter medians rising one after the other while the
    second half's slope, kept up for a run's length, adds more than half the margin (a climb
    too slow for the quarters to show in one run, but one that never ends).

    Medians and a Theil-Sen slope rather than means and least squares: an unplugged sensor or
    clients reconnecting take the figures down for a sample or a few, at random moments, and
    a handful of such dips moves a quarter's mean by more than a leak would; a leak moves the
    level the figures come back to.
    Returns (verdict, text), verdict None when there are too few samples to judge."""
    n = len(values)
    if n < MIN_SAMPLES:
        return None, "too few samples (%d) to judge" % n
    q2, q3, q4 = (values[n * i // 4:n * (i + 1) // 4] for i in (1, 2, 3))
    m2, m3, m4 = median(q2), median(q3), median(q4)
    margin = max(floor, share * m2)
    per_run = robust_slope(values[n // 2:]) * n
    climbing = m2 < m3 < m4 and per_run > margin / 2
    flat = m4 - m2 <= margin and not climbing
    text = "Q2 median %.0f, Q4 median %.0f (margin %.0f), second-half slope x run %.0f" % (
        m2, m4, margin, per_run)
    return flat, ("flat: " if flat else ("climbing: " if climbing else "grew: ")) + text


def report(log_dir, out=sys.stdout):
    failures = []
    events = read_events(log_dir)
    clients = read_clients(log_dir)
    samples = read_samples(log_dir)
    sensor_of = {int(f["client"]): f["sensor"] for _, verb, f in events if verb == "start"}

    ok = sum(c.ok for c in clients)
    short = sum(c.ok for c in clients if not c.finished)
    corrupt = sum(c.corrupt for c in clients)
    lost = [(t, c.index) for c in clients for t in c.lost_times]
    explained = [x for x in lost if lost_near_a_fault(x[0], sensor_of.get(x[1]), events)]
    failed = [(t, c.index) for c in clients for t in c.fail_times]
    stray = [x for x in failed if not lost_near_a_fault(x[0], sensor_of.get(x[1]), events)]
    strangers = sum(1 for _, verb, _ in events if verb == "stranger")
    statuses = {}
    for c in clients:
        for status, count in c.statuses.items():
            statuses[status] = statuses.get(status, 0) + count
    unplugs = sum(1 for _, verb, _ in events if verb == "unplug")
    kills = sum(1 for _, verb, _ in events if verb == "kill")
    unfinished = [c.index for c in clients if not c.finished and not c.killed]
    span = (events[-1][0] - events[0][0]) / 60000 if len(events) > 1 else 0

    p = lambda *a: print(*a, file=out)  # noqa: E731
    p("soak report: %s" % log_dir)
    p("run: %.1f min, %d client processes (%d killed by the run), %d sensor unplugs, "
      "%d acts of strangers" % (span, len(clients), kills, unplugs, strangers))
    p("exchanges answered and checked: %d (%d of them from the last progress line of clients "
      "that did not end their run, each up to 1 s short)" % (ok, short))
    medians = sorted(c.median_us for c in clients if c.median_us)
    if medians:
        p("exchange median per client: %d-%d us" % (medians[0], medians[-1]))
    p("frames corrupted: %d" % corrupt)
    p("answers lost (accepted, never answered, no reason given): %d, %d of them within %d s "
      "after a fault of their sensor or a stranger's act" %
      (len(lost), len(explained), LOST_WINDOW_MS // 1000))
    p("failed exchanges: %d, %d of them with no fault or stranger's act in the %d s before" %
      (len(failed), len(stray), LOST_WINDOW_MS // 1000))
    p("failures by status: %s" % (", ".join("%d:%d" % kv for kv in sorted(statuses.items()))
                                  or "none"))
    if corrupt:
        failures.append("%d corrupted frames" % corrupt)
    if len(lost) > len(explained):
        failures.append("%d lost answers with no fault to explain them" %
                        (len(lost) - len(explained)))
    if stray:
        failures.append("%d failed exchanges with no fault to explain them" % len(stray))
    if unfinished:
        failures.append("clients %s did not end their run" % unfinished)

    figures = [s for _, _, s in samples if s not in (None, GONE)]
    loaded = [s for _, rest, s in samples if s not in (None, GONE) and not rest]
    rest = [s for _, at_rest, s in samples if s not in (None, GONE) and at_rest]
    gone = sum(1 for _, _, s in samples if s is GONE)
    unread = sum(1 for _, _, s in samples if s is None)
    pids = sorted({s["pid"] for s in figures})
    p("service samples: %d under load every 10 s, %d at rest, %d unreadable, %d without the "
      "service; process id %s" % (len(loaded), len(rest), unread, gone,
                                  ",".join(map(str, pids)) or "none"))
    if gone or len(pids) != 1:
        failures.append("the service's process went away or changed")
    for name, (floor, share) in MARGINS.items():
        values = [s[name] for s in loaded]
        if not values:
            continue
        flat, text = trend(values, floor, share)
        p("%-8s first %d, last %d, max %d; %s" % (name, values[0], values[-1], max(values), text))
        if flat is False:
            failures.append("%s not flat" % name)
    if len(rest) == 2:
        p("at rest before and after: " + ", ".join(
            "%s %d -> %d" % (name, rest[0][name], rest[1][name]) for name in MARGINS))
    p("verdict: %s" % ("FAIL: " + "; ".join(failures) if failures else "pass"))
    return 1 if failures else 0


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    sys.exit(report(sys.argv[1]))
