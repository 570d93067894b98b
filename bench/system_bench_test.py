#!/usr/bin/env python3
"""Tests of the measured runs' analysis: percentiles, the pairing of frames with
acknowledgements and clock sets, and the clock domains (device, real, program) the figures are
computed in. Synthetic clockdev events; nothing is started."""
import os
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import system_bench as sb  # noqa: E402
from system_bench import h  # noqa: E402

MS = sb.NS_PER_MS
S = sb.NS_PER_S


def event(kind, t_ms, received_ns=None, **fields):
    e = {"event": kind, "t_ms": t_ms, "bytes": [],
         "received_ns": received_ns if received_ns is not None else t_ms * MS}
    e.update(fields)
    return e


class WatcherStub(sb.OffsetWatcher):
    """A watcher with given changes: (file time, offset)."""

    def __init__(self, changes):
        super().__init__("/nonexistent")
        self.changes = [(mtime, mtime, offset) for mtime, offset in changes]


class StatisticsTest(unittest.TestCase):
    def test_nearest_rank_median_p99_and_max(self):
        s = sb.summary(list(range(100, 0, -1)))  # order must not matter
        self.assertEqual((s["median"], s["p99"], s["max"], s["count"]), (50, 99, 100, 100))

    def test_few_samples_make_p99_the_maximum(self):
        s = sb.summary([3, 1, 2])
        self.assertEqual((s["median"], s["p99"], s["max"]), (2, 3, 3))

    def test_no_samples(self):
        s = sb.summary([])
        self.assertEqual((s["median"], s["p99"], s["max"], s["count"]), (None, None, None, 0))
        self.assertEqual(sb.stats_cell([])[0], "no samples")


class AcknowledgementTest(unittest.TestCase):
    def setUp(self):
        h.use_time_zone()
        self.named = sb.local_ns("2024-05-01", "12:00:31")

    def test_latency_and_error_in_the_device_and_real_domains(self):
        device_offset = 7 * S  # the device runs 7 s ahead of the real clock
        sent_device_ms = (self.named + 2 * MS) // MS  # written 2 ms into the second it names
        sent_real = sent_device_ms * MS - device_offset
        # The program set its clock 6 ms behind "named second + FineTuneMs at the write".
        ideal = self.named + sb.FINE_TUNE_MS * MS - sent_real
        watcher = WatcherStub([(sent_real + 8 * MS, ideal - 6 * MS)])
        events = [event("sent", sent_device_ms, sent_real, date="2024-05-01", time="12:00:31"),
                  event("ack", sent_device_ms + 9, sent_real + 9 * MS)]
        latencies, errors = sb.acknowledgements(events, sb.Timeline(device_offset), watcher)
        self.assertEqual(latencies, [9])
        self.assertAlmostEqual(errors[0], 6.0)

    def test_each_ack_pairs_with_the_latest_frame_once(self):
        base = self.named // MS
        events = [event("ack", base - 500),  # before any frame: not paired
                  event("sent", base, date="2024-05-01", time="12:00:31"),
                  event("sent", base + 1000, date="2024-05-01", time="12:00:32"),
                  event("ack", base + 1011),
                  event("ack", base + 1030)]  # a second answer to the same frame
        latencies, errors = sb.acknowledgements(events, sb.Timeline(0))
        self.assertEqual(latencies, [11])
        self.assertEqual(errors, [])  # no watcher, no errors

    def test_a_set_outside_the_frame_window_is_not_taken(self):
        base = self.named // MS
        watcher = WatcherStub([(base * MS - 2 * S, 0), (base * MS + 2 * S, 0)])
        events = [event("sent", base, date="2024-05-01", time="12:00:31"),
                  event("ack", base + 10)]
        self.assertEqual(sb.acknowledgements(events, sb.Timeline(0), watcher), ([10], []))


class TickLatenessTest(unittest.TestCase):
    def setUp(self):
        h.use_time_zone()

    def test_arrival_measured_from_the_programs_own_second(self):
        # The program's clock runs 130 ms ahead of the real one after a correction; its frame for
        # 12:00:05.002 reaches the device 1 ms after it was written.
        program_offset = 130 * MS
        second = sb.local_ns("2024-05-01", "12:00:05")
        arrival_real = second + 3 * MS - program_offset
        watcher = WatcherStub([(arrival_real - 500 * MS, program_offset),
                               (arrival_real + 100 * MS, 999 * MS)])  # a later set: not in force
        events = [event("pctime", arrival_real // MS, arrival_real, date="2024-05-01",
                        time="12:00:05.002", valid="yes"),
                  event("pctime", 0, 0, date="2024-05-01", time="99:00:00.000", valid="no")]
        seen = sb.tick_lateness(events, sb.Timeline(0), watcher, 0)
        self.assertEqual(seen["tick_fields"], [2])
        self.assertAlmostEqual(seen["tick_arrivals"][0], 3.0)

    def test_frames_sent_because_a_set_changed_the_second_are_left_out(self):
        # A correction moved the clock 135 ms forward just before the tick saw second 31: the
        # frame's 135 ms are the step, not lateness.
        second = sb.local_ns("2024-05-01", "12:00:31")
        set_real = second - 130 * MS
        watcher = WatcherStub([(set_real, 130 * MS)])
        events = [event("pctime", (set_real + 3 * MS) // MS, set_real + 3 * MS,
                        date="2024-05-01", time="12:00:31.135", valid="yes"),
                  event("pctime", (second + 870 * MS) // MS, second + 870 * MS,
                        date="2024-05-01", time="12:00:32.000", valid="yes")]
        seen = sb.tick_lateness(events, sb.Timeline(0), watcher, 0)
        self.assertEqual((seen["tick_fields"], seen["ticks_after_step"]), ([0], 1))
        self.assertAlmostEqual(seen["tick_arrivals"][0], 0.0)

    def test_device_steps_are_taken_at_the_time_they_were_written(self):
        timeline = sb.Timeline(5 * S)
        timeline.step(100 * S, -19 * S)
        self.assertEqual(timeline.at(99 * S), 5 * S)
        self.assertEqual(timeline.at(101 * S), -19 * S)
        # After the step the program follows the device: both clocks read 19 s behind the real
        # one, and the frame for 12:00:05.004 arrives 4 ms into that second on both.
        second = sb.local_ns("2024-05-01", "12:00:05")
        events = [event("pctime", (second + 4 * MS) // MS, 101 * S, date="2024-05-01",
                        time="12:00:05.004", valid="yes")]
        seen = sb.tick_lateness(events, timeline, None, -19 * S)
        self.assertEqual(seen["tick_fields"], [4])
        self.assertAlmostEqual(seen["tick_arrivals"][0], 4.0)


class MicroRowsTest(unittest.TestCase):
    def test_worst_case_per_byte_in_ns_and_allocation_verdicts(self):
        benchmarks = [
            {"name": "BM_Handler/format:1/noise:0/shape:0", "per_byte": 12e-9, "cpu_time": 3000},
            {"name": "BM_Handler/format:3/noise:20/shape:0", "per_byte": 40e-9, "cpu_time": 9000},
            {"name": "BM_Handler/format:2/noise:0/shape:1", "per_byte": 20e-9, "cpu_time": 260},
        ]
        allocations = [
            {"allocations": 0, "events": 100, "scenario": "handler TVZ_CODE noise=0 full255 (x)"},
            {"allocations": 2, "events": 50, "scenario": "handler ST_CODE noise=0 pieces7 (x)"},
            {"allocations": 0, "events": 9, "scenario": "receiver passes (reads)"},
            {"allocations": 5, "events": 5, "scenario": "tick, date label text (date changes)"},
        ]
        rows = {row[0]: row for row in sb.micro_rows({"benchmarks": benchmarks,
                                                      "allocation_rows": allocations})}
        full = rows["handler per byte, 255-byte chunks (worst: ST_CODE, 20 noise bytes a frame)"]
        self.assertEqual((full[1], full[4]), ("40.00 ns/B", "0.80"))
        self.assertEqual(rows["allocations: handler, per chunk"][1:], ("2 in 150", "—", "0",
                                                                       "FAILS"))
        self.assertEqual(rows["allocations: receiver, per pass"][4], "ok")
        self.assertEqual(rows["allocations: tick, date label (once a day)"][3:], ("allowed", "—"))


class CorrectionErrorRowsTest(unittest.TestCase):
    def test_median_goal_and_ratios_to_the_reference(self):
        own = [0.2, 0.3, 0.4, 0.5, 1.2]
        ref = [0.05, 0.2, 0.25, 0.3, 0.8]
        rows = {row[0]: row for row in sb.correction_error_rows(own, ref)}
        self.assertEqual(rows["correction error: median"][1:],
                         ("0.40 ms", "0.25 ms", "≤ 0.5 ms", "0.80"))
        # 0.4 / 0.25 and 1.2 / 0.8; the worse one against 1.5
        self.assertEqual(rows["correction error against the reference (median, p99)"][1:],
                         ("1.60, 1.50", "1", "≤ 1.5 ×", "1.07"))


class ServiceRowsTest(unittest.TestCase):
    def test_the_services_figures_against_its_goals_beside_the_programs(self):
        rows = sb.service_rows({"cpu_percent": 0.284, "rss_mb": 4.95},
                               {"cpu_percent": 2.05, "rss_mb": 39.3})
        self.assertEqual(rows, [
            ("zrqd: CPU, receiving (zrq: 2.05 %)", "0.28 %", "—", "≤ 0.2 %", "1.42"),
            ("zrqd: peak RSS (VmHWM), receiving (zrq: 39.3 MB)", "5.0 MB", "—", "≤ 8 MB",
             "0.62"),
        ])
        self.assertEqual(sb.service_rows(None, {"cpu_percent": 2.0, "rss_mb": 39.0}), [])


class OffsetWatcherTest(unittest.TestCase):
    def test_notices_each_rewrite_of_the_clock_file(self):
        with tempfile.TemporaryDirectory() as directory:
            path = os.path.join(directory, "fakeclock")
            watcher = sb.OffsetWatcher(path)
            watcher.start()
            for offset in (-5 * MS, 135 * MS):
                h.write_clock_offset(path, offset)
                time.sleep(5 * sb.OFFSET_POLL_S)
            watcher.stop()
        self.assertEqual([value for _, _, value in watcher.changes], [-5 * MS, 135 * MS])


if __name__ == "__main__":
    unittest.main()
