#!/usr/bin/env python3
"""Resident memory of the service zrqd on the system bus, and how long `zrqctl status` takes.

zrqd runs with the clock capability dropped and the fake-clock library preloaded (the end-to-end
harness refuses anything else), on a private dbus-daemon of this script's own with the package's
policy, receiving TVZ_CODE frames from clockdev. After `--seconds` of frames (default 60) it
reads VmRSS and VmHWM from /proc/<pid>/status, then runs `zrqctl status` `--runs` times.

  bench/service_memory.py --build build [--seconds 60] [--runs 20]
"""
import argparse
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
import e2e_harness as h  # noqa: E402
import e2e_tests as desktop  # noqa: E402
import service_tests as service  # noqa: E402


def memory_kb(pid):
    figures = {}
    with open("/proc/%d/status" % pid, encoding="ascii") as status:
        for line in status:
            key, _, value = line.partition(":")
            if key in ("VmRSS", "VmHWM"):
                figures[key] = int(value.split()[0])
    return figures


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--seconds", type=float, default=60.0)
    parser.add_argument("--runs", type=int, default=20)
    args = parser.parse_args()
    desktop.isolate_lock_namespace()
    with h.Session(args.build, "zrqd-memory", program="zrqd", display=False) as session, \
            h.PrivateBus() as bus:
        notify = service.Notifications(session.workdir)
        session.set_clocks(desktop.test_day_at(10, 0, 10))
        session.start_device()
        program = service.start_service(session, notify, bus.env())
        time.sleep(args.seconds)
        figures = memory_kb(program.pid)
        took_ms = []
        for _ in range(args.runs):
            started = time.monotonic()
            status, output = service.zrqctl(session, bus, "status")
            took_ms.append((time.monotonic() - started) * 1000.0)
            if status != 0:
                sys.exit("zrqctl status failed:\n" + output)
        notify.close()
    took_ms.sort()
    print("zrqd after %.0f s of frames: VmRSS %.1f MB, VmHWM %.1f MB" %
          (args.seconds, figures["VmRSS"] / 1024.0, figures["VmHWM"] / 1024.0))
    print("zrqctl status, %d runs (ms): median %.1f, max %.1f" %
          (len(took_ms), took_ms[len(took_ms) // 2], took_ms[-1]))


if __name__ == "__main__":
    main()
