#!/usr/bin/env python3
# The program's clock passes midnight and is stepped forward and back by seconds, minutes and a
# day: one PC time frame per new second (no duplicates, no bursts) carrying the stepped time, the
# date label follows the date, and jump-log entries go into the file of the day they are made.
import time

import e2e_harness as harness
import faults_support as faults
from faults_support import check

# The run's day: far from today, so that only the fake clock produces these dates.
DAY = (2026, 3, 7)
START = (23, 59, 50)
# Frames this far ahead of the program: every frame writes a jump-log entry.
DEVICE_AHEAD_S = 10
# Frames reach the program in the middle of its second, away from the midnight boundary.
DEVICE_DELAY_MS = 500
# A PC time frame carries the program's clock at the moment it was sent: the tick notices a
# new second within a few milliseconds, later on a busy machine; every step is far larger.
PC_TIME_TOLERANCE_MS = 300
# The preload library looks at the clock file at most every 100 ms; a frame this soon after a
# step may still carry the old time.
STEP_SETTLE_MS = 250
# The device notes arrivals in whole milliseconds, so a frame the step brought may be stamped a
# little before the moment the step was noted.
STAMP_RESOLUTION_MS = 2
# Two frames closer than this would be a burst: steps are made in the middle of a second, so
# the frame a step brings and the next one are about half a second apart.
BURST_GAP_S = 0.2
STEP_WATCH_S = 2.6
DAY_S = 86400
STEPS_S = (5, -3, 120, -120, DAY_S, -DAY_S)

# The date label: right of the lamp, left of the time (bar coordinates).
DATE_AREA = (17, 1, 100, 15)


class Clocks:
    """The program's fake-clock offset and its history of steps (real ns, offset ns)."""

    def __init__(self, session, program_offset_ns, device_offset_ns):
        self.session = session
        self.device_offset_ns = device_offset_ns
        self.history = [(0, program_offset_ns)]

    @property
    def offset_ns(self):
        return self.history[-1][1]

    def fake_now_ns(self):
        return harness.real_now_ns() + self.offset_ns

    def sleep_until_fake(self, fake_ns):
        time.sleep(max(0.0, (fake_ns - self.fake_now_ns()) / 1e9))

    def sleep_until_mid_second(self):
        now = self.fake_now_ns()
        self.sleep_until_fake(now - now % harness.NS_PER_SECOND + harness.NS_PER_SECOND // 2)

    def step(self, seconds):
        new_offset = self.offset_ns + seconds * harness.NS_PER_SECOND
        # Noted before the write: the program may act on the new offset at once.
        at = harness.real_now_ns()
        harness.write_clock_offset(self.session.clock_file, new_offset)
        self.history.append((at, new_offset))

    def offsets_at(self, real_ns):
        """The offsets a frame sent at `real_ns` may carry: the one in force, right after a
        step also the one before it, and within the device's whole-ms stamps before a step also
        the one it brings."""
        current = [o for t, o in self.history if t <= real_ns][-1]
        allowed = {current}
        allowed.update(o for t, o in self.history
                       if 0 < t - real_ns <= STAMP_RESOLUTION_MS * harness.NS_PER_MS)
        for (t, _), (_, before) in zip(self.history[1:], self.history):
            if 0 <= real_ns - t <= STEP_SETTLE_MS * harness.NS_PER_MS:
                allowed.add(before)
        return allowed


def carried_ns(frame):
    year, month, day, hour, minute, second, ms = harness.decode_pc_time_frame(frame)
    return harness.local_epoch_ns(year, month, day, hour, minute, second, ms)


def check_pc_time_frames(device, clocks, since_ns):
    """Every frame carries the program's clock at its arrival; no second twice in a row; no two
    frames in a burst. Returns the carried times."""
    frames = [e for e in device.of_kind("pctime")
              if e["t_ms"] * harness.NS_PER_MS - clocks.device_offset_ns >= since_ns]
    carried = []
    previous_arrival = None
    for event in frames:
        arrival = event["t_ms"] * harness.NS_PER_MS - clocks.device_offset_ns
        sent = carried_ns(event["bytes"])
        errors = [abs(sent - (arrival + o)) / harness.NS_PER_MS for o in clocks.offsets_at(arrival)]
        check(min(errors) <= PC_TIME_TOLERANCE_MS, "frame %s carries a time %.0f ms off the "
              "program's clock", event["line"], min(errors))
        if previous_arrival is not None:
            check((arrival - previous_arrival) / 1e9 >= BURST_GAP_S,
                  "two PC time frames %.3f s apart: %s", (arrival - previous_arrival) / 1e9,
                  event["line"])
        check(not carried or sent // harness.NS_PER_SECOND != carried[-1] // harness.NS_PER_SECOND,
              "the same second twice in a row: %s", event["line"])
        carried.append(sent)
        previous_arrival = arrival
    return carried


def date_area(session, pid):
    _, (x, y, _, _) = faults.bar(session, pid)
    left, top, width, height = DATE_AREA
    return harness.region_pixels(session.screenshot(), x + left, y + top, width, height)


def entries_by_file(session):
    return {name: [stamp for stamp, _ in entries]
            for name, entries in faults.all_logs(session, "S").items()}


def day_file(fake_ns):
    harness.use_time_zone()
    return faults.log_name(time.localtime(fake_ns // harness.NS_PER_SECOND), "S")


def check_midnight(session, program, clocks):
    """The date label changes at midnight and only then; entries go to the day's file."""
    midnight_ns = harness.local_epoch_ns(*DAY, 23, 59, 59) + harness.NS_PER_SECOND
    clocks.sleep_until_fake(midnight_ns - 5 * harness.NS_PER_SECOND)
    before = date_area(session, program.pid)
    clocks.sleep_until_fake(midnight_ns - 2 * harness.NS_PER_SECOND)
    check(date_area(session, program.pid) == before, "the date label changed before midnight")
    old_file = day_file(midnight_ns - harness.NS_PER_SECOND)
    old_entries = entries_by_file(session).get(old_file, [])
    check(old_entries, "no jump-log entry in %s before midnight", old_file)
    clocks.sleep_until_fake(midnight_ns + 3 * harness.NS_PER_SECOND)
    after = date_area(session, program.pid)
    check(after != before, "the date label did not change at midnight")

    files = entries_by_file(session)
    new_file = day_file(midnight_ns)
    check(all(stamp[3:] != (0, 0, 0) and stamp[3] == 23 for stamp in files[old_file]),
          "%s holds entries made after midnight: %s", old_file, files[old_file][-3:])
    check(files.get(new_file) and all(stamp[:3] == (DAY[0], DAY[1], DAY[2] + 1)
                                      for stamp in files[new_file]),
          "entries after midnight are not all in %s: %s", new_file, files)
    return after


def check_day_step_files(session, clocks, what):
    """After a step, the next entries go to the file of the new date."""
    name = day_file(clocks.fake_now_ns())
    count = len(entries_by_file(session).get(name, []))
    check(session.wait_until(lambda: len(entries_by_file(session).get(name, [])) > count, 3.0),
          "%s: no new jump-log entry in %s", what, name)


def test(build_dir):
    with harness.Session(build_dir, "fault-clock") as session:
        faults.write_config(session, faults.config_record(mode=3, points=()))  # never corrects
        device_offset, program_offset = session.set_clocks(harness.local_epoch_ns(*DAY, *START))
        clocks = Clocks(session, program_offset, device_offset)
        device = session.start_device("--baud", "4800", "--offset", str(DEVICE_AHEAD_S),
                                      "--delay-ms", str(DEVICE_DELAY_MS))
        program = faults.start_program(session)
        faults.bar(session, program.pid)
        started_ns = harness.real_now_ns() + harness.NS_PER_SECOND

        label_of_day = check_midnight(session, program, clocks)
        carried = check_pc_time_frames(device, clocks, started_ns)
        dates = sorted({harness.decode_pc_time_frame(e["bytes"])[:3]
                        for e in device.of_kind("pctime")})
        check(dates == [DAY, (DAY[0], DAY[1], DAY[2] + 1)], "frames carried the dates %s", dates)
        check(len(carried) >= (harness.real_now_ns() - started_ns) / 1e9 - 1,
              "%d PC time frames since the start", len(carried))

        for seconds in STEPS_S:
            clocks.sleep_until_mid_second()
            step_ns = harness.real_now_ns()
            clocks.step(seconds)
            time.sleep(STEP_WATCH_S)
            what = "after a step of %+d s" % seconds
            frames = check_pc_time_frames(device, clocks, step_ns)
            print("%s: %s" % (what, " ".join(time.strftime("%d %H:%M:%S", time.localtime(
                f // harness.NS_PER_SECOND)) for f in frames)))
            extra = 1 if seconds % 60 else 0  # a step to another second value is a new second
            check(int(STEP_WATCH_S) <= len(frames) <= int(STEP_WATCH_S) + extra + 1,
                  "%s: %d PC time frames in %.1f s", what, len(frames), STEP_WATCH_S)
            if abs(seconds) == DAY_S:
                label = date_area(session, program.pid)
                check((label == label_of_day) == (seconds < 0),
                      "%s: the date label %s", what,
                      "did not change" if seconds > 0 else "did not come back")
                check_day_step_files(session, clocks, what)
        check(program.running(), "the program ended during the clock steps")


if __name__ == "__main__":
    faults.run_fault_test(test)
