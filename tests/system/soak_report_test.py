#!/usr/bin/env python3
"""The soak's report: what it counts from the clients' lines, which lost answers a fault
explains, and which series of the service's figures it calls flat."""
import io
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "scripts"))
import soak_report  # noqa: E402

HANDLES = soak_report.MARGINS["handles"]


def series(n, at, noise=3):
    """n samples of at(i) with a repeating wobble of +-noise."""
    return [at(i) + (noise if i % 3 == 0 else -noise if i % 3 == 1 else 0) for i in range(n)]


class Trend(unittest.TestCase):
    def verdict(self, values, margins=HANDLES):
        return soak_report.trend(values, *margins)[0]

    def test_a_wobbling_series_after_a_warm_up_is_flat(self):
        self.assertTrue(self.verdict(series(180, lambda i: 300 if i < 30 else 520)))

    def test_a_leak_of_a_handle_per_sample_is_not_flat(self):
        self.assertFalse(self.verdict(series(180, lambda i: 500 + i)))

    def test_a_slow_steady_climb_within_the_quarter_margin_is_caught_by_its_slope(self):
        values = series(180, lambda i: 500 + i // 12, noise=1)
        m2 = sum(values[45:90]) / 45
        m4 = sum(values[135:]) / 45
        self.assertLessEqual(m4 - m2, HANDLES[0])
        self.assertFalse(self.verdict(values))

    def test_dips_from_unplugs_crowded_into_one_quarter_leave_a_level_series_flat(self):
        # As a 30-minute run showed: the figures fall while a sensor is away and come back to
        # the same level; ten dips in the second quarter and none later are no growth.
        dips = set(range(46, 90, 4))
        self.assertTrue(self.verdict([290 if i in dips else 390 for i in range(180)]))

    def test_a_step_up_late_in_the_run_is_not_flat(self):
        self.assertFalse(self.verdict(series(40, lambda i: 500 if i < 30 else 600)))

    def test_a_swing_that_comes_back_is_flat(self):
        self.assertTrue(self.verdict(series(40, lambda i: 560 if 18 <= i < 26 else 500)))

    def test_private_bytes_judged_by_share_of_their_size(self):
        margins = soak_report.MARGINS["private"]
        base = 50 << 20
        self.assertTrue(self.verdict(series(60, lambda i: base + (i % 5) * (256 << 10)),
                                     margins))
        self.assertFalse(self.verdict(series(60, lambda i: base + i * (128 << 10)), margins))

    def test_too_few_samples_are_not_judged(self):
        self.assertIsNone(self.verdict([1, 2, 3, 4, 5, 6, 7]))


class Report(unittest.TestCase):
    """A log directory as scripts/soak.sh leaves it, written by the test."""

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.events = ["t=1000 begin minutes=1 service pid=40",
                       "t=1000 start client=0 sensor=s1 pid=7",
                       "t=1000 start client=1 sensor=s2 pid=8",
                       "t=4000 unplug sensor=s2 ok"]
        self.samples = ["t=1000 rest pid=40 handles=200 threads=10 private=1000000"] + [
            "t=%d pid=40 handles=300 threads=30 private=2000000" % (2000 + i * 10000)
            for i in range(12)] + ["t=200000 rest pid=40 handles=201 threads=10 private=1000000"]
        self.clients = {0: ["=1 connect 0 \r", "+ progress ok=10 failed=0 corrupt=0 lost=0\r",
                            "=2 run 0 ok=500 failed=0 corrupt=0 lost=0 statuses= median_us=900"],
                        1: ["=1 connect 0", "+ progress ok=40 failed=1 corrupt=0 lost=0",
                            "! fail t=5000 status=-403", "+ progress ok=70 failed=1"]}
        self.killed = {1}

    def tearDown(self):
        self.dir.cleanup()

    def write(self, name, lines):
        with open(os.path.join(self.dir.name, name), "w") as f:
            f.write("".join(line + "\n" for line in lines))

    def run_report(self):
        self.write("events.log", self.events)
        self.write("samples.log", self.samples)
        for index, lines in self.clients.items():
            self.write("client-%d.out" % index, lines)
        for index in self.killed:
            self.write("client-%d.killed" % index, ["killed"])
        out = io.StringIO()
        status = soak_report.report(self.dir.name, out)
        return status, out.getvalue()

    def test_finished_and_killed_clients_add_up_and_a_clean_run_passes(self):
        status, text = self.run_report()
        self.assertEqual(0, status, text)
        self.assertIn("checked: 570 (70 of them", text)
        self.assertIn("failures by status: -403:1", text)
        self.assertIn("handles 200 -> 201", text)

    def test_a_corrupted_frame_fails_the_run_even_from_a_killed_client(self):
        self.clients[1].append("! corrupt t=6000")
        status, text = self.run_report()
        self.assertEqual(1, status)
        self.assertIn("frames corrupted: 1", text)

    def test_a_lost_answer_is_explained_only_by_a_recent_fault_of_its_own_sensor(self):
        self.clients[0].insert(1, "! lost t=30000 status=-553")
        self.events += ["t=25000 unplug sensor=s2 ok", "t=27000 plug sensor=s2 ok"]
        status, text = self.run_report()
        self.assertEqual(1, status, text)
        self.assertIn("lost (accepted, never answered, no reason given): 1, 0 of them", text)
        self.events += ["t=%d unplug sensor=s1 ok" % (30000 - soak_report.LOST_WINDOW_MS - 1)]
        self.assertEqual(1, self.run_report()[0])
        self.events += ["t=29000 unplug sensor=s1 ok"]
        status, text = self.run_report()
        self.assertEqual(0, status, text)
        self.assertIn("-553:1", text)

    def test_a_failed_exchange_needs_a_fault_of_its_sensor_or_a_strangers_act_before_it(self):
        self.events[3] = "t=4000 unplug sensor=s1 ok"
        status, text = self.run_report()
        self.assertEqual(1, status, text)
        self.assertIn("failed exchanges: 1, 1 of them with no fault", text)
        self.events.append("t=4500 stranger act=running running: reset")
        self.assertEqual(0, self.run_report()[0])

    def test_a_service_that_went_away_or_came_back_as_another_process_fails(self):
        self.samples[5] = "t=52000 no process Serv_Tulvo.exe"
        self.assertEqual(1, self.run_report()[0])
        self.samples[5] = "t=52000 pid=41 handles=300 threads=30 private=2000000"
        status, text = self.run_report()
        self.assertEqual(1, status)
        self.assertIn("process id 40,41", text)

    def test_a_client_that_neither_ended_its_run_nor_was_killed_fails(self):
        self.killed = set()
        self.assertEqual(1, self.run_report()[0])

    def test_handles_growing_under_load_fail_the_run(self):
        self.samples[1:13] = ["t=%d pid=40 handles=%d threads=30 private=2000000" %
                              (2000 + i * 10000, 300 + 10 * i) for i in range(12)]
        status, text = self.run_report()
        self.assertEqual(1, status)
        self.assertIn("handles not flat", text)


if __name__ == "__main__":
    unittest.main()
