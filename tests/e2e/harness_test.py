#!/usr/bin/env python3
# Tests of the end-to-end harness itself: its launch guard, which must refuse any start that
# could reach the real clock, its decoding of what the device reports, and its private bus.
# Usage: harness_test.py --build-dir DIR
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import e2e_harness as h  # noqa: E402

BUILD_DIR = None


def preload_path():
    return os.path.join(BUILD_DIR, h.PRELOAD_NAME)


class LaunchGuardTest(unittest.TestCase):
    def setUp(self):
        if not os.path.isfile(preload_path()):
            self.skipTest("the fake-clock library is not built")
        self.dir = tempfile.mkdtemp(prefix="zrq-e2e-guard-")
        self.env = {"LD_PRELOAD": preload_path(),
                    h.CLOCK_FILE_ENV: os.path.join(self.dir, "fakeclock")}
        self.argv = ["setpriv", *h.CAP_DROP_OPTIONS, "--", "/bin/sleep", "5"]

    def tearDown(self):
        if hasattr(self, "dir"):
            subprocess.run(["rm", "-rf", self.dir], check=False)

    def test_accepts_the_capability_drop_with_the_fake_clock(self):
        h.check_safe_launch(self.argv, self.env, self.dir)

    def test_accepts_a_user_namespace_of_its_own_with_the_fake_clock(self):
        h.check_safe_launch(["unshare", *h.USER_NAMESPACE_OPTIONS, "--", "/bin/sleep"], self.env,
                            self.dir)

    def test_refuses_starts_without_the_capability_drop(self):
        bad_commands = {
            "no setpriv": ["/bin/sleep", "5"],
            "inheritable set kept": ["setpriv", "--bounding-set=-sys_time", "--", "/bin/sleep"],
            "bounding set kept": ["setpriv", "--inh-caps=-sys_time", "--", "/bin/sleep"],
            "options after the program": ["setpriv", "--", "/bin/sleep", *h.CAP_DROP_OPTIONS],
            "no end of options": ["setpriv", *h.CAP_DROP_OPTIONS, "/bin/sleep"],
            "no program": ["setpriv", *h.CAP_DROP_OPTIONS, "--"],
            "unshare without a user namespace": ["unshare", "-n", "--", "/bin/sleep"],
            "unshare's options after the program": ["unshare", "--", "/bin/sleep", "-Ur"],
            "unshare without end of options": ["unshare", "-Ur", "/bin/sleep"],
            "another launcher": ["nsenter", "-Ur", "--", "/bin/sleep"],
        }
        for legend, argv in bad_commands.items():
            with self.subTest(legend), self.assertRaises(h.UnsafeLaunch):
                h.check_safe_launch(argv, self.env, self.dir)

    def test_refuses_starts_without_the_fake_clock(self):
        bad_environments = {
            "no preload": {h.CLOCK_FILE_ENV: self.env[h.CLOCK_FILE_ENV]},
            "missing library": dict(self.env, LD_PRELOAD=self.dir + "/" + h.PRELOAD_NAME),
            "relative library": dict(self.env, LD_PRELOAD=h.PRELOAD_NAME),
            "other library": dict(self.env, LD_PRELOAD="/lib/x86_64-linux-gnu/libm.so.6"),
            "no clock file": {"LD_PRELOAD": preload_path()},
            "clock file elsewhere": dict(self.env, **{h.CLOCK_FILE_ENV: "/tmp/fakeclock"}),
        }
        for legend, env in bad_environments.items():
            with self.subTest(legend), self.assertRaises(h.UnsafeLaunch):
                h.check_safe_launch(self.argv, env, self.dir)

    def run_checked(self, argv, env, user_namespace=False):
        """Starts `argv` and returns what check_running_safely says once the loader is done."""
        process = subprocess.Popen(argv, env=dict(os.environ, **env), process_group=0)
        try:
            deadline = time.monotonic() + h.START_TIMEOUT_S
            while time.monotonic() < deadline:
                if h.check_running_safely(process.pid, "/bin/sleep", user_namespace):
                    return True
                time.sleep(0.005)
            return False
        finally:
            h.stop_group(process)

    def test_running_check_sees_the_dropped_capability_and_the_preload(self):
        self.assertTrue(self.run_checked(self.argv, self.env))

    def test_running_check_refuses_a_process_that_holds_the_clock_capability(self):
        if not h.capability_masks(os.getpid())["CapBnd"] & (1 << h.CAP_SYS_TIME_BIT):
            self.skipTest("this process has no CAP_SYS_TIME to pass on")
        with self.assertRaises(h.UnsafeLaunch):
            self.run_checked(["/bin/sleep", "5"], self.env)

    def test_running_check_sees_the_user_namespace_and_the_preload(self):
        argv = ["unshare", *h.USER_NAMESPACE_OPTIONS, "--", "/bin/sleep", "5"]
        if subprocess.run(argv[:-2] + ["true"], capture_output=True).returncode != 0:
            self.skipTest("user namespaces are refused here")
        self.assertTrue(self.run_checked(argv, self.env, user_namespace=True))
        # The same process in this namespace holds the clock capability: refused.
        if h.capability_masks(os.getpid())["CapBnd"] & (1 << h.CAP_SYS_TIME_BIT):
            with self.assertRaises(h.UnsafeLaunch):
                self.run_checked(["/bin/sleep", "5"], self.env, user_namespace=True)

    def test_running_check_refuses_a_process_without_the_preload(self):
        with self.assertRaises(h.UnsafeLaunch):
            self.run_checked(self.argv, {"LD_PRELOAD": ""})


class DeviceReportTest(unittest.TestCase):
    def test_pc_time_frames_decode_as_bcd(self):
        cases = [
            ("AA AA 00 24 05 01 13 07 42 03 05 A3", (2024, 5, 1, 13, 7, 42, 305)),
            ("AA AA 00 00 01 01 00 00 00 00 00 A3", (2000, 1, 1, 0, 0, 0, 0)),
            ("AA AA 00 99 12 31 23 59 59 09 99 A3", (2099, 12, 31, 23, 59, 59, 999)),
            ("AA AA 00 26 03 07 10 00 26 01 00 A3", (2026, 3, 7, 10, 0, 26, 100)),
        ]
        for text, expected in cases:
            with self.subTest(text):
                frame = [int(b, 16) for b in text.split()]
                self.assertEqual(h.decode_pc_time_frame(frame), expected)

    def test_malformed_pc_time_frames_are_refused(self):
        cases = {
            "nibble above 9": "AA AA 00 2A 05 01 13 07 42 03 05 A3",
            "hundreds above 9": "AA AA 00 24 05 01 13 07 42 0A 05 A3",
            "wrong end byte": "AA AA 00 24 05 01 13 07 42 03 05 A2",
            "wrong start": "AA 00 00 24 05 01 13 07 42 03 05 A3",
            "short": "AA AA 00 24 05 01 13 07 42 03 05",
        }
        for legend, text in cases.items():
            with self.subTest(legend), self.assertRaises(ValueError):
                h.decode_pc_time_frame([int(b, 16) for b in text.split()])

    def test_event_lines_split_into_fields_and_bytes(self):
        event = h.parse_event("pctime t=1772848827.002 date=2026-03-07 time=10:00:27.001 "
                              "valid=yes skew_ms=-1 bytes=AA AA 00 26")
        self.assertEqual(event["event"], "pctime")
        self.assertEqual(event["t_ms"], 1772848827002)
        self.assertEqual(event["time"], "10:00:27.001")
        self.assertEqual(event["skew_ms"], "-1")
        self.assertEqual(event["bytes"], [0xAA, 0xAA, 0x00, 0x26])
        self.assertEqual(h.parse_event("hangup t=5.250")["bytes"], [])

    def test_local_times_use_the_run_time_zone(self):
        # 2026-03-07 10:00:00 eight hours east of UTC is 02:00:00 UTC.
        self.assertEqual(h.local_epoch_ns(2026, 3, 7, 10, 0, 0) // h.NS_PER_SECOND,
                         1772848800)


class PrivateBusTest(unittest.TestCase):
    def test_a_bus_of_the_run_with_the_package_policy_answers_and_ends_with_the_run(self):
        busctl = shutil.which("busctl")
        if not os.access(h.DBUS_DAEMON, os.X_OK) or busctl is None:
            self.skipTest("dbus-daemon or busctl is not installed")
        with h.PrivateBus(operator_group="daemon") as bus:
            self.assertTrue(bus.address.startswith(f"unix:path={bus.dir}/"))
            names = subprocess.run(
                [busctl, "--system", "call", "org.freedesktop.DBus", "/org/freedesktop/DBus",
                 "org.freedesktop.DBus", "ListNames"],
                env={**os.environ, **bus.env()}, capture_output=True, text=True, timeout=10)
            self.assertEqual(names.returncode, 0, names.stderr)
            self.assertIn("org.freedesktop.DBus", names.stdout)
            with open(os.path.join(bus.dir, "policy.conf"), encoding="utf-8") as policy:
                self.assertIn('group="daemon"', policy.read())
            process = bus.process
        self.assertIsNotNone(process.poll())
        self.assertFalse(os.path.exists(bus.dir))


if __name__ == "__main__":
    arguments = sys.argv[1:]
    if len(arguments) >= 2 and arguments[0] == "--build-dir":
        BUILD_DIR = os.path.abspath(arguments[1])
        arguments = arguments[2:]
    else:
        sys.exit("usage: harness_test.py --build-dir DIR [unittest options]")
    unittest.main(argv=[sys.argv[0]] + arguments)
