#!/usr/bin/env python3
"""Tests of the reference programs and the settings writer over real pseudo-terminals and
files: the reader finds frames however they are split and answers each at once, the tick's
frames say what its lateness line says, the settings land at their record offsets.
Usage: reference_programs_test.py BUILD_DIR"""
import os
import select
import struct
import subprocess
import sys
import tempfile
import time
import tty
import unittest

BUILD = os.path.abspath(sys.argv.pop(1)) if len(sys.argv) > 1 else os.getcwd()
PATIENCE_S = 5.0
TVZ = bytes.fromhex("AA0024050103120031")
TVZ_NEXT = bytes.fromhex("AA0024050103120032")
ST_GOOD = bytes.fromhex("AA0000202405010312003103")
ST_BAD_END = bytes.fromhex("AA0000202405010312003104")


def drop_capability(argv):
    return ["setpriv", "--inh-caps=-sys_time", "--bounding-set=-sys_time", "--", *argv]


class Terminal:
    """A pseudo-terminal whose slave is raw (no echo, no line editing) before anyone writes."""

    def __init__(self):
        self.master, self.slave = os.openpty()
        tty.setraw(self.slave)
        self.path = os.ttyname(self.slave)

    def read_bytes(self, count):
        data = b""
        deadline = time.monotonic() + PATIENCE_S
        while len(data) < count and time.monotonic() < deadline:
            ready, _, _ = select.select([self.master], [], [], 0.1)
            if ready:
                data += os.read(self.master, 256)
        return data

    def close(self):
        os.close(self.master)
        os.close(self.slave)


def start(name, *args):
    return subprocess.Popen(drop_capability([os.path.join(BUILD, name), *args]),
                            stdout=subprocess.PIPE, text=True, env=dict(os.environ, TZ="UTC"))


def wait_line(process, prefix):
    line = process.stdout.readline()
    while line and not line.startswith(prefix):
        line = process.stdout.readline()
    return line


def frame_bytes(line):
    return bytes.fromhex(line.partition(" bytes=")[2])


class ReaderTest(unittest.TestCase):
    def setUp(self):
        self.terminal = Terminal()

    def tearDown(self):
        self.terminal.close()

    def run_reader(self, fmt, pieces, expected):
        reader = start("pty_reader_ref", "--port", self.terminal.path, "--format", fmt, "--ack",
                       "--seconds", "2")
        try:
            self.assertTrue(wait_line(reader, "ready"))
            for piece in pieces:
                os.write(self.terminal.master, piece)
                time.sleep(0.05)
            answers = self.terminal.read_bytes(2 * len(expected))
            reader.wait(PATIENCE_S)
            lines = [l for l in reader.stdout.read().splitlines() if l.startswith("frame ")]
        finally:
            reader.kill()
            reader.wait()
        self.assertEqual([frame_bytes(l) for l in lines], expected)
        self.assertEqual(answers, b"\x55\xAA" * len(expected))
        for line in lines:  # the answer is written after the arrival was stamped
            fields = dict(w.partition("=")[::2] for w in line.split()[1:] if "=" in w)
            self.assertLessEqual(int(fields["t_ns"]), int(fields["ack_ns"]))

    def test_frames_after_noise_and_split_over_reads(self):
        self.run_reader("TVZ_CODE", [b"\x01\x02", TVZ[:4], TVZ[4:] + b"\x17", TVZ_NEXT],
                        [TVZ, TVZ_NEXT])

    def test_st_frames_need_their_end_byte(self):
        self.run_reader("ST_CODE", [ST_BAD_END, ST_GOOD], [ST_GOOD])


class TickTest(unittest.TestCase):
    def test_each_frame_carries_the_second_and_lateness_it_reports(self):
        terminal = Terminal()
        try:
            tick = start("tick_timer_ref", "--port", terminal.path, "--seconds", "2")
            lines = [wait_line(tick, "tick") for _ in range(2)]
            tick.wait(PATIENCE_S)
            written = terminal.read_bytes(24)
        finally:
            terminal.close()
        self.assertEqual(len(written), 24)
        for index, line in enumerate(lines):
            fields = dict(w.partition("=")[::2] for w in line.split()[1:] if "=" in w)
            frame = frame_bytes(line)
            self.assertEqual(written[12 * index:12 * index + 12], frame)
            self.assertEqual((frame[:3], frame[11]), (b"\xAA\xAA\x00", 0xA3))
            second = int(fields["second"])
            ss = second % 60
            self.assertEqual(frame[8], (ss // 10) * 16 + ss % 10)
            late_ms = int(fields["late_ns"]) // 1_000_000
            self.assertEqual(frame[9] * 100 + (frame[10] >> 4) * 10 + (frame[10] & 15), late_ms)
        self.assertEqual(int(lines[1].split()[1].partition("=")[2]) -
                         int(lines[0].split()[1].partition("=")[2]), 1)


class SettingsWriterTest(unittest.TestCase):
    def write(self, *options):
        directory = tempfile.mkdtemp()
        path = os.path.join(directory, "kelvosys.conf")
        result = subprocess.run([os.path.join(BUILD, "bench_settings"), path, *options],
                                capture_output=True)
        data = open(path, "rb").read() if os.path.exists(path) else None
        return result.returncode, data

    def test_options_land_in_the_record(self):
        status, data = self.write("--mode", "3", "--threshold", "255", "--fine-ms", "250",
                                  "--points", "12:00:05,23:59:59")
        self.assertEqual(status, 0)
        self.assertEqual(len(data), 224)
        self.assertEqual((data[2], data[3], data[8]), (3, 255, 2))
        self.assertEqual(struct.unpack_from("<H", data, 10)[0], 250)
        points = struct.unpack_from("<2d", data, 16)
        self.assertAlmostEqual(points[0], (12 * 3600 + 5) / 86400)
        self.assertAlmostEqual(points[1], (86400 - 1) / 86400)

    def test_bad_lists_write_nothing(self):
        too_many = ",".join("12:00:%02d" % s for s in range(25))
        for options in (("--points", too_many), ("--points", "12:00"), ("--colour", "1")):
            status, data = self.write(*options)
            self.assertEqual((status, data), (2, None), options)


if __name__ == "__main__":
    unittest.main()
