#!/usr/bin/env python3
"""Resident memory of the real program with its monitor window empty, full and cleared.

The program runs under Xvfb with the clock capability dropped and the fake-clock library
preloaded (the end-to-end harness refuses anything else), on a pseudo-terminal of this script's
own as COM1. With the monitor window open and observing, the script writes TVZ_CODE frames of the
program's current second as fast as the line takes them, until the window holds its 100,000
lines and more have pushed the oldest out; then it presses "清空". VmRSS is read from
/proc/<pid>/status after each stage has settled.

  bench/monitor_memory.py --build build-release [--frames N]
"""
import argparse
import fcntl
import os
import struct
import sys
import termios
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
import e2e_harness as h  # noqa: E402
import faults_support as faults  # noqa: E402

LINE_CAP = 100_000
FRAMES = LINE_CAP + 5_000        # enough to reach the cap and drop the oldest
FRAMES_PER_WRITE = 28            # 252 bytes: one read of the program takes up to 255
SETTLE_S = 3.0
DRAIN_TIMEOUT_S = 300.0
FULL_LIMIT_MB = 25.0             # a full monitor over an empty one
CLEARED_LIMIT = 0.10             # cleared over empty, as a share of empty


def to_bcd(value):
    return (value // 10) * 16 + value % 10


def tvz_frame(seconds):
    """AA 00, BCD year, month, day, an unused byte, BCD hour, minute, second (local time)."""
    t = time.localtime(seconds)
    return bytes([0xAA, 0x00, to_bcd(t.tm_year % 100), to_bcd(t.tm_mon), to_bcd(t.tm_mday), 0,
                  to_bcd(t.tm_hour), to_bcd(t.tm_min), to_bcd(t.tm_sec)])


def unread_bytes(fd):
    """Bytes written to the line that the program has not read yet."""
    return struct.unpack("i", fcntl.ioctl(fd, termios.FIONREAD, b"\0\0\0\0"))[0]


def rss_mb(pid):
    return faults.rss_kib(pid) / 1024.0


def settled_rss(pid):
    time.sleep(SETTLE_S)
    return rss_mb(pid)


def flood(device, program_offset_ns, frames):
    """Writes `frames` frames, each of the program's current second (no jump, no log entry)."""
    written = 0
    while written < frames:
        count = min(FRAMES_PER_WRITE, frames - written)
        now_s = (h.real_now_ns() + program_offset_ns) // h.NS_PER_SECOND
        os.write(device.master, tvz_frame(now_s) * count)  # blocks while the line is full
        written += count
    deadline = time.monotonic() + DRAIN_TIMEOUT_S
    while unread_bytes(device.slave) > 0 and time.monotonic() < deadline:
        time.sleep(0.1)


def measure(build, frames):
    with h.Session(build, "monitor-memory") as session:
        # Daily points with none listed: no correction ever falls due during the run.
        faults.write_config(session, faults.config_record(mode=3, points=()))
        _, program_offset = session.set_clocks(h.real_now_ns())
        h.use_time_zone()
        device = faults.ScriptedDevice(session)
        try:
            program = faults.start_program(session)
            faults.bar(session, program.pid)
            faults.check(device.wait_opened(h.START_TIMEOUT_S), "the program did not open COM1")
            faults.choose(session, program.pid, "通讯观测>>")
            window = session.wait_until(lambda: faults.boxes(session, program.pid,
                                                             faults.MONITOR_CAPTION))
            faults.check(window, "the monitor window did not open")
            x, y, _, _ = window[0]["geometry"]

            empty = settled_rss(program.pid)
            started = time.monotonic()
            flood(device, program_offset, frames)
            took = time.monotonic() - started
            full = settled_rss(program.pid)
            session.save_screenshot("monitor-full")
            session.x("xdotool", "mousemove", str(x + faults.MONITOR_CLEAR_BUTTON[0]),
                      str(y + faults.MONITOR_CLEAR_BUTTON[1]))
            session.x("xdotool", "click", "1")
            cleared = settled_rss(program.pid)
            faults.check(program.running(), "the program ended")
            return {"empty": empty, "full": full, "cleared": cleared, "frames": frames,
                    "flood_s": took}
        finally:
            device.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True)
    parser.add_argument("--frames", type=int, default=FRAMES)
    args = parser.parse_args()
    r = measure(args.build, args.frames)
    growth = r["full"] - r["empty"]
    left = (r["cleared"] - r["empty"]) / r["empty"]
    print("frames written: %d in %.1f s" % (r["frames"], r["flood_s"]))
    print("| monitor | VmRSS | over empty | limit |")
    print("|---|---|---|---|")
    print("| empty | %.1f MB | — | — |" % r["empty"])
    print("| full (%d lines) | %.1f MB | %+.1f MB | %+.0f MB |" % (LINE_CAP, r["full"], growth,
                                                               FULL_LIMIT_MB))
    print("| cleared | %.1f MB | %+.1f %% | %+.0f %% |" % (r["cleared"], 100 * left,
                                                        100 * CLEARED_LIMIT))
    ok = growth <= FULL_LIMIT_MB and left <= CLEARED_LIMIT
    print("PASS" if ok else "OVER LIMIT")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
