#!/usr/bin/env python3
"""The table of bench/run-all.sh: figures read from the benchmarks' BENCH lines as wine's
programs write them, compared with their baselines, and never an empty row for a benchmark
that failed or a figure that is not there."""
import os
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "bench",
                                "common"))
import bench_table  # noqa: E402

ROWS = [
    ("transport", "echo", "toolshare", "transport.echo16B:median_us",
     ("transport.pingpong:median_us", "ping-pong"), "ratio",
     ["transport.calls:client_side", "transport.calls:service_read"]),
    ("link", "round trip", "link", "link.link.100B:median_us",
     ("link.raw.100B:median_us", "raw"), "diff", None),
    ("link", "alone", "link", "link.link.100B:p99_us", None, None, None),
]

TOOLSHARE_LOG = ("ToolShare round trips ...\r\n"
                 "BENCH transport.pingpong median_us=40 p99_us=90 n=2000 calls=4\r\n"
                 "16 B echo  median 120.0\r\n"
                 "BENCH transport.echo16B median_us=120 p99_us=300 n=2000 mbps=0.27\r\n"
                 "BENCH transport.calls client_write=3 service_read=4 client_side=7 bad=x odd\r\n")
LINK_LOG = ("BENCH link.raw.100B median_us=1000 p99_us=2000 n=500\n"
            "BENCH link.link.100B median_us=6100.5 p99_us=7000 n=500\n")


def cells(table, figure):
    return [row for row in table if row[1] == figure][0]


class BenchTableTest(unittest.TestCase):
    def test_lines_as_wine_writes_them_give_every_figure(self):
        figures = bench_table.parse_bench_lines(TOOLSHARE_LOG + "BENCH\nnot BENCH x=1\n")
        self.assertEqual(120.0, figures["transport.echo16B"]["median_us"])
        self.assertEqual(7.0, figures["transport.calls"]["client_side"])
        self.assertNotIn("bad", figures["transport.calls"])
        # A later line of a key overrides the earlier figure of the same name.
        later = bench_table.parse_bench_lines(LINK_LOG + "BENCH link.raw.100B median_us=900\n")
        self.assertEqual(900.0, later["link.raw.100B"]["median_us"])
        self.assertEqual(2000.0, later["link.raw.100B"]["p99_us"])

    def test_values_are_compared_with_their_baselines_and_calls_added(self):
        results = {"toolshare": (0, bench_table.parse_bench_lines(TOOLSHARE_LOG)),
                   "link": (0, bench_table.parse_bench_lines(LINK_LOG))}
        table, problems = bench_table.build_rows(results, ROWS)
        self.assertEqual([], problems)
        self.assertEqual(("transport", "echo", "120", "40 (ping-pong)", "x3.00", "11"),
                         cells(table, "echo"))
        self.assertEqual(("6100", "1000 (raw)", "+5100", ""), cells(table, "round trip")[2:])
        self.assertEqual(("7000", "", "", ""), cells(table, "alone")[2:])

    def test_a_baseline_from_the_other_receive_mode_comes_from_its_own_benchmark(self):
        fast_log = ("BENCH link.raw.100B median_us=1100\n"
                    "BENCH link.link.100B median_us=1400.5 p99_us=2500\n")
        rows = [("link", "fast", "framecomplete_link", "link.link.100B:median_us",
                 ("link/link.link.100B:median_us", "default reads"), "diff", None)]
        results = {"link": (0, bench_table.parse_bench_lines(LINK_LOG)),
                   "framecomplete_link": (0, bench_table.parse_bench_lines(fast_log))}
        table, problems = bench_table.build_rows(results, rows)
        self.assertEqual([], problems)
        self.assertEqual(("1400", "6100 (default reads)", "-4700", ""), cells(table, "fast")[2:])
        # The default run failed: its figure is no baseline, and the row says what is missing.
        results["link"] = (2, results["link"][1])
        table, problems = bench_table.build_rows(results, rows)
        self.assertEqual("MISSING link/link.link.100B:median_us", cells(table, "fast")[2])
        self.assertEqual(1, len(problems))

    def test_a_failed_missing_or_absent_benchmark_never_leaves_a_row_empty(self):
        results = {"toolshare": (3, bench_table.parse_bench_lines(TOOLSHARE_LOG))}
        table, problems = bench_table.build_rows(results, ROWS)
        self.assertEqual("FAILED (toolshare, exit 3)", cells(table, "echo")[2])
        self.assertEqual("NOT RUN (link)", cells(table, "round trip")[2])
        self.assertEqual(3, len(problems))

        # It passed, but the baseline's line never came.
        partial = bench_table.parse_bench_lines(LINK_LOG.splitlines()[1])
        table, problems = bench_table.build_rows({"link": (0, partial)}, ROWS[1:])
        self.assertEqual("MISSING link.raw.100B:median_us", cells(table, "round trip")[2])
        self.assertEqual("7000", cells(table, "alone")[2])
        self.assertEqual(1, len(problems))

    def test_a_results_folder_fails_the_run_when_a_figure_is_missing(self):
        folder = tempfile.mkdtemp(prefix="bench-table-test-")
        try:
            for name, status, log in (("toolshare", "0\n", TOOLSHARE_LOG),
                                      ("link", "0\n", "no summary lines\n"),
                                      ("system", "garbage", "")):
                with open(os.path.join(folder, name + ".rc"), "w") as f:
                    f.write(status)
                with open(os.path.join(folder, name + ".log"), "w") as f:
                    f.write(log)
            results = bench_table.read_results(folder)
            self.assertEqual(0, results["toolshare"][0])
            self.assertEqual(1, results["system"][0])
            self.assertEqual({}, results["link"][1])
            with open(os.devnull, "w") as sink:
                stdout, stderr = sys.stdout, sys.stderr
                sys.stdout = sys.stderr = sink
                try:
                    status = bench_table.main(["bench_table.py", folder])
                finally:
                    sys.stdout, sys.stderr = stdout, stderr
            self.assertEqual(1, status)
        finally:
            shutil.rmtree(folder)

    def test_the_table_lines_up_and_every_row_has_all_columns(self):
        table = [("a", "long figure name", "1", "", "", ""), ("bb", "f", "123456", "2 (x)",
                                                            "x0.50", "4")]
        lines = bench_table.format_table(table).splitlines()
        self.assertEqual(4, len(lines))
        self.assertEqual(lines[0].index("|"), lines[3].index("|"))
        for row in bench_table.ROWS:
            self.assertEqual(7, len(row), row)


if __name__ == "__main__":
    unittest.main()
