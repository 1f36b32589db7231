#!/usr/bin/env python3
"""The table at the end of bench/run-all.sh, built from the benchmarks' summary lines
(bench/common/BenchStats.h): "BENCH <key> <name>=<value> ...".

    bench_table.py RESULTS_DIR

RESULTS_DIR holds, for each benchmark NAME that ran, NAME.log (its output) and NAME.rc (its
exit status as the script judged it: 0 or the failing code). A row whose benchmark failed says
so, and so does a row whose figure is not in the output of a benchmark that passed; either
makes the exit status 1, so that no row is silently empty."""
import os
import sys

# The benchmarks that run.sh runs a second time with the service's frame-complete reads on are
# named with this prefix.
FAST = "framecomplete_"

# subject, figure, benchmark, value, baseline (reference, label), comparison, kernel calls.
# A reference is "key:name", a figure of the row's benchmark; a baseline may also be
# "benchmark/key:name", a figure of another benchmark of the same run (the same benchmark run
# with the service's other receive mode). Kernel calls are a list of references added up, or a
# number the benchmark states in its prose.
ROWS = [
    ("transport", "16 B echo round trip, median us", "toolshare", "transport.echo16B:median_us",
     ("transport.pingpong:median_us", "event ping-pong"), "ratio",
     ["transport.calls:round_trip"]),
    ("transport", "4 KiB echo round trip, median us", "toolshare", "transport.echo4K:median_us",
     ("transport.pingpong:median_us", "event ping-pong"), "ratio", None),
    ("transport", "512 KiB echo round trip, median us", "toolshare",
     "transport.echo512K:median_us", ("transport.pingpong:median_us", "event ping-pong"),
     "ratio", None),
    ("transport", "8 MiB echo, MB/s moved", "toolshare", "transport.echo8M:mbps", None, None,
     None),
    ("transport", "8 MiB request, 16 B answer, median us", "toolshare",
     "transport.request8M:median_us", ("transport.request8M_kept:median_us",
                                       "server buffer kept"), "ratio", None),
    ("transport", "raw two-event ping-pong, median us", "toolshare",
     "transport.pingpong:median_us", None, None, ["transport.pingpong:calls"]),
    ("frame receiver", "4 KiB frames, MB/s", "codec", "codec.frames4K:receiver_mbps",
     ("codec.frames4K:memcpy_mbps", "memcpy"), "ratio", None),
    ("frame receiver", "64-byte wire frames, M frames/s", "codec",
     "codec.wire64:mframes_per_s", None, None, None),
    ("frame receiver", "64-byte records, M frames/s", "codec", "codec.record64:mframes_per_s",
     None, None, None),
    ("link", "100 B round trip, median us", "link", "link.link.100B:median_us",
     ("link.raw5ms.100B:median_us", "raw port, 5 ms interval"), "diff", None),
    ("link", "100 B round trip, median us", "link", "link.link.100B:median_us",
     ("link.raw.100B:median_us", "raw port"), "diff", None),
    ("link", "4096 B round trip, median us", "link", "link.link.4096B:median_us",
     ("link.raw5ms.4096B:median_us", "raw port, 5 ms interval"), "diff", None),
    ("link", "4096 B round trip, p99 us", "link", "link.link.4096B:p99_us",
     ("link.raw5ms.4096B:p99_us", "raw port, 5 ms interval"), "diff", None),
    ("link", "1 MiB round trip, median us", "link", "link.link.1048576B:median_us",
     ("link.raw5ms.1048576B:median_us", "raw port, 5 ms interval"), "diff", None),
    ("link", "frame-complete reads: 100 B round trip, median us", FAST + "link",
     "link.link.100B:median_us", ("link/link.link.100B:median_us", "default reads"), "diff",
     None),
    ("link", "frame-complete reads: 100 B round trip, median us", FAST + "link",
     "link.link.100B:median_us", ("link.raw.100B:median_us", "raw port"), "diff", None),
    ("link", "frame-complete reads: 4096 B round trip, median us", FAST + "link",
     "link.link.4096B:median_us", ("link/link.link.4096B:median_us", "default reads"), "diff",
     None),
    ("link", "frame-complete reads: 4096 B round trip, p99 us", FAST + "link",
     "link.link.4096B:p99_us", ("link/link.link.4096B:p99_us", "default reads"), "diff", None),
    ("link", "frame-complete reads: 1 MiB round trip, median us", FAST + "link",
     "link.link.1048576B:median_us", ("link/link.link.1048576B:median_us", "default reads"),
     "diff", None),
    ("device object", "100 B pipe round trip, median us", "manager",
     "manager.device.100B:median_us", ("manager.link.100B:median_us", "bare link"), "diff",
     ["manager.device.100B:calls"]),
    ("device object", "4096 B pipe round trip, median us", "manager",
     "manager.device.4096B:median_us", ("manager.link.4096B:median_us", "bare link"), "diff",
     ["manager.device.4096B:calls"]),
    ("device object", "reply over an unread frame, median us", "manager",
     "manager.unread_frame:median_us", None, None, None),
    ("device monitor", "plug -> listed, median ms", "monitor", "monitor.listed:median_ms",
     ("monitor.unsupported:median_ms", "unsupported port"), "diff", None),
    ("service", "exchange (100 B, own client), median us", "server",
     "server.exchange_own:median_us", ("server.parts:median_us", "device + 4 transport trips"),
     "diff", ["server.exchange_own:client_calls", "server.exchange_own:service_calls"]),
    ("service", "exchange (100 B, own client), p99 us", "server", "server.exchange_own:p99_us",
     ("server.parts:p99_us", "device + 4 transport trips"), "diff", None),
    ("service", "exchange (100 B, literal client), median us", "server",
     "server.exchange_literal:median_us", ("server.exchange_own:median_us", "own client"),
     "diff", ["server.exchange_literal:client_calls",
              "server.exchange_literal:service_calls"]),
    ("client library", "TulvoCli_Exchange 100 B, median us", "client",
     "client.library:median_us", ("client.raw:median_us", "same requests by hand"), "diff",
     ["client.library:calls"]),
    ("client library", "TulvoCli_Exchange 100 B, p99 us", "client", "client.library:p99_us",
     ("client.raw:p99_us", "same requests by hand"), "diff", None),
    ("client library", "8 threads, one connection, exchanges/s", "client",
     "client.threads8:per_s", ("client.threads1:per_s", "1 thread"), "ratio", None),
    ("client library", "frame-complete reads: TulvoCli_Exchange 100 B, median us",
     FAST + "client", "client.library:median_us",
     ("client/client.library:median_us", "default reads"), "diff", None),
    ("client library", "frame-complete reads: TulvoCli_Exchange 100 B, p99 us",
     FAST + "client", "client.library:p99_us", ("client/client.library:p99_us", "default reads"),
     "diff", None),
    ("client library", "frame-complete reads: 1 thread, exchanges/s", FAST + "client",
     "client.threads1:per_s", ("client/client.threads1:per_s", "default reads"), "ratio", None),
]

for _sensors in (1, 4):
    for _clients in (1, 4, 10):
        _key = "system.s%dc%d" % (_sensors, _clients)
        _base = None if (_sensors, _clients) == (1, 1) else "system.s1c1"
        _where = "%d client%s, %d sensor%s" % (_clients, "" if _clients == 1 else "s", _sensors,
                                               "" if _sensors == 1 else "s")
        for _name, _label in (("per_s", "exchanges/s"), ("median_us", "median us"),
                              ("p99_us", "p99 us (worst client)")):
            ROWS.append(("throughput", "%s: %s" % (_where, _label), "system",
                         "%s:%s" % (_key, _name),
                         (_base + ":" + _name, "1 client, 1 sensor") if _base else None,
                         "ratio" if _base else None, None))

for _sensors, _clients in ((1, 1), (1, 4), (4, 10)):
    _key = "system.s%dc%d" % (_sensors, _clients)
    _where = "%d client%s, %d sensor%s" % (_clients, "" if _clients == 1 else "s", _sensors,
                                           "" if _sensors == 1 else "s")
    for _name, _label, _how in (("per_s", "exchanges/s", "ratio"),
                                ("median_us", "median us", "diff")):
        ROWS.append(("throughput", "frame-complete reads: %s: %s" % (_where, _label),
                     FAST + "system", "%s:%s" % (_key, _name),
                     ("system/%s:%s" % (_key, _name), "default reads"), _how, None))

ROWS += [
    ("idle CPU", "service process, 4 sensors, % of one core (goal < 1)", "system",
     "system.idle_service:cpu_pct", None, None, None),
    ("idle CPU", "wineserver in the same window, % of one core", "system",
     "system.idle_wineserver:cpu_pct", None, None, None),
    ("idle CPU", "frame-complete reads: service process, 4 sensors, % of one core",
     FAST + "system", "system.idle_service:cpu_pct",
     ("system/system.idle_service:cpu_pct", "default reads"), "diff", None),
    ("idle CPU", "frame-complete reads: wineserver in the same window, % of one core",
     FAST + "system", "system.idle_wineserver:cpu_pct",
     ("system/system.idle_wineserver:cpu_pct", "default reads"), "diff", None),
]

HEADERS = ("subject", "figure", "value", "baseline", "vs baseline", "kernel calls/op")


def parse_bench_lines(text):
    """{key: {name: value}} of every BENCH line in the text; a later line of a key adds to and
    overrides an earlier one."""
    figures = {}
    for line in text.splitlines():
        words = line.strip().split()
        if len(words) < 2 or words[0] != "BENCH":
            continue
        fields = figures.setdefault(words[1], {})
        for word in words[2:]:
            name, equal, value = word.partition("=")
            if not equal:
                continue
            try:
                fields[name] = float(value)
            except ValueError:
                pass
    return figures


def number(value):
    if value != value:  # NaN
        return "nan"
    magnitude = abs(value)
    if magnitude >= 100 or value == int(value):
        return "%.0f" % value
    if magnitude >= 10:
        return "%.1f" % value
    return "%.2f" % value


def compare(value, baseline, how):
    if how == "ratio":
        return "x%.2f" % (value / baseline) if baseline else "-"
    if how == "diff":
        return "%+.0f" % (value - baseline) if abs(value - baseline) >= 10 else \
            "%+.2f" % (value - baseline)
    return ""


def lookup(figures, reference):
    key, _, name = reference.partition(":")
    return figures.get(key, {}).get(name)


def lookup_baseline(results, figures, reference):
    """A baseline's figure: of the row's benchmark, or of "benchmark/..." when that one ran and
    passed."""
    bench, slash, rest = reference.partition("/")
    if not slash:
        return lookup(figures, reference)
    status, other = results.get(bench, (1, {}))
    return lookup(other, rest) if status == 0 else None


def build_rows(results, rows=ROWS):
    """(table rows, problems). results maps a benchmark's name to (exit status, its figures);
    a benchmark that is not in it did not run."""
    table = []
    problems = []
    for subject, figure, bench, value_ref, baseline, how, calls in rows:
        if bench not in results:
            table.append((subject, figure, "NOT RUN (%s)" % bench, "", "", ""))
            problems.append("%s / %s: benchmark %s did not run" % (subject, figure, bench))
            continue
        status, figures = results[bench]
        if status != 0:
            table.append((subject, figure, "FAILED (%s, exit %d)" % (bench, status), "", "", ""))
            problems.append("%s / %s: benchmark %s failed" % (subject, figure, bench))
            continue
        value = lookup(figures, value_ref)
        base_value = lookup_baseline(results, figures, baseline[0]) if baseline else None
        call_values = [lookup(figures, ref) for ref in calls] if calls else []
        missing = [ref for ref, got in [(value_ref, value)] +
                   ([(baseline[0], base_value)] if baseline else []) +
                   list(zip(calls or [], call_values)) if got is None]
        if missing:
            table.append((subject, figure, "MISSING " + ", ".join(missing), "", "", ""))
            problems.append("%s / %s: %s not in the output of %s" %
                            (subject, figure, ", ".join(missing), bench))
            continue
        table.append((subject, figure, number(value),
                      "%s (%s)" % (number(base_value), baseline[1]) if baseline else "",
                      compare(value, base_value, how) if baseline else "",
                      number(sum(call_values)) if calls else ""))
    return table, problems


def format_table(table):
    widths = [max(len(str(row[i])) for row in [HEADERS] + table) for i in range(len(HEADERS))]
    lines = []
    for index, row in enumerate([HEADERS] + table):
        cells = [str(cell).ljust(widths[i]) if i < 2 or i == 3 else str(cell).rjust(widths[i])
                 for i, cell in enumerate(row)]
        lines.append(" | ".join(cells).rstrip())
        if index == 0:
            lines.append("-+-".join("-" * width for width in widths))
    return "\n".join(lines)


def read_results(directory):
    results = {}
    for name in sorted(os.listdir(directory)):
        if not name.endswith(".rc"):
            continue
        bench = name[:-3]
        with open(os.path.join(directory, name)) as f:
            text = f.read().strip()
        status = int(text) if text.lstrip("-").isdigit() else 1
        log_path = os.path.join(directory, bench + ".log")
        log = ""
        if os.path.exists(log_path):
            with open(log_path, errors="replace") as f:
                log = f.read()
        results[bench] = (status, parse_bench_lines(log))
    return results


def main(argv):
    if len(argv) != 2 or not os.path.isdir(argv[1]):
        sys.stderr.write("usage: bench_table.py RESULTS_DIR\n")
        return 2
    table, problems = build_rows(read_results(argv[1]))
    print(format_table(table))
    for problem in problems:
        sys.stderr.write("bench: %s\n" % problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
