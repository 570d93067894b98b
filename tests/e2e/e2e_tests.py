#!/usr/bin/env python3
# End-to-end tests of the program: run it on a private X display against the simulated clock
# device, with a fake clock, and check the bytes on the wire, the files it writes and the pixels
# it shows. Usage: e2e_tests.py --build-dir DIR CASE  (exit 0 pass, 1 fail, 77 skipped).
import calendar
import csv
import grp
import os
import pwd
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import e2e_harness as h  # noqa: E402
import faults_support as faults  # noqa: E402

RED = (255, 0, 0)
YELLOW = (255, 255, 0)
GREEN = (0, 128, 0)

# A PC time frame reaches the device within this much of the program's clock.
PC_TIME_TOLERANCE_MS = 100
FINE_TUNE_MS = 135          # the default fine adjustment of a first start
JUMP_THRESHOLD_S = 3        # the default jump threshold
CORRECTION_SECOND = 31      # the default schedule: every minute at second 31
EXIT_LIMIT_S = 1.0
# The monitor's "输出到文件" button, in the window's coordinates (23 x 22 at left 12, top 5).
MONITOR_SAVE_BUTTON = (23, 16)
# A file whose every read waits for the next kernel message.
BLOCKING_FILE = "/proc/kmsg"
# The frames' dates and times: far from today's date, so that only a fake clock produces them.
TEST_DAY = (2026, 3, 7)

# Summer time ends in this zone on this day: 02:00-02:59:59 local happens twice, at 00:xx UTC
# (CEST, UTC+2) and again at 01:xx UTC (CET, UTC+1).
SUMMER_TIME_ZONE = "Europe/Berlin"
SUMMER_TIME_END = (2026, 10, 25)

JUMP_LOG_PATTERN = re.compile(r"^\d{6}S\.txt$")
SET_REFUSED = "校时失败！系统拒绝设置时间："


class Failure(AssertionError):
    pass


def expect(condition, message):
    if not condition:
        raise Failure(message)


def test_day_at(hour, minute, second):
    return h.local_epoch_ns(*TEST_DAY, hour, minute, second)


def lamp_colour(session, png):
    """The lamp's colour: the centre of the lamp area, which must be one colour across its
    inner 8 x 8 pixels (a half-drawn or mis-placed lamp fails here)."""
    left = h.BAR_LEFT + 5
    top = h.BAR_TOP + 5
    block = h.region_pixels(png, left, top, 8, 8)
    colours = {p for row in block for p in row}
    expect(len(colours) == 1, "the lamp area %d,%d 8x8 is not one colour: %s" %
           (left, top, sorted(colours)))
    return colours.pop()


def wait_lamp(session, colour, timeout=4.0):
    """Takes screenshots until the lamp shows `colour`; returns the last picture's path."""
    deadline = time.monotonic() + timeout
    while True:
        png = session.screenshot()
        seen = lamp_colour(session, png)
        if seen == colour or time.monotonic() > deadline:
            expect(seen == colour, "lamp is %s, expected %s" % (seen, colour))
            return png
        time.sleep(0.25)


def start_program_with_bar(session):
    program = session.start_program()
    bar = session.wait_bar(program.pid)
    expect(bar is not None, "no 185x17 bar window appeared; program output:\n" + program.output())
    window, geometry = bar
    expect(geometry[:2] == (h.BAR_LEFT, h.BAR_TOP),
           "bar at %d,%d, expected %d,%d" % (geometry[0], geometry[1], h.BAR_LEFT, h.BAR_TOP))
    return program, window


def pc_time_mismatches(device, device_offset_ns, program_offset_ns, after_ms=None):
    """For every PC time frame the device got (after device time `after_ms`, if given): its
    time minus the program's clock at its arrival, in ms, for a program clock running
    `program_offset_ns` from the real one."""
    differences = []
    for event in device.of_kind("pctime"):
        if after_ms is not None and event["t_ms"] <= after_ms:
            continue
        year, month, day, hour, minute, second, ms = h.decode_pc_time_frame(event["bytes"])
        frame_ns = h.local_epoch_ns(year, month, day, hour, minute, second, ms)
        arrival_real_ns = event["t_ms"] * h.NS_PER_MS - device_offset_ns
        differences.append((frame_ns - arrival_real_ns - program_offset_ns) / h.NS_PER_MS)
    return differences


def check_correction(session, device, device_offset_ns, old_offset_ns, carried_ahead_s=0,
                     delay_ms=0):
    """Waits for the acknowledgement of a correction and checks the clock the program set: the
    time the frame carried plus 135 ms, less however late in its second the frame arrived
    (between the device's send delay and the acknowledgement). Returns (the frame that was
    acknowledged, the acknowledgement, the new offset of the program's clock)."""
    acks = device.wait_for("ack", timeout=12.0)
    expect(acks, "no acknowledgement; device events:\n" +
           "\n".join(e["line"] for e in device.events[-15:]))
    ack = acks[0]
    expect(ack["bytes"] == [0x55, 0xAA], "acknowledgement bytes %s" % ack["bytes"])
    frames = [e for e in device.of_kind("sent") if e["t_ms"] <= ack["t_ms"]]
    expect(frames, "acknowledgement before any frame")
    frame = frames[-1]
    second_start_ms = (frame["t_ms"] - delay_ms) // 1000 * 1000
    expect(ack["t_ms"] < second_start_ms + 1000,
           "acknowledgement %d ms after the start of the frame's second" %
           (ack["t_ms"] - second_start_ms))
    new_offset = h.read_clock_offset(session.clock_file)
    expect(new_offset != old_offset_ns, "acknowledged, but the fake clock was not set")
    ahead_ms = (new_offset - device_offset_ns) / h.NS_PER_MS - carried_ahead_s * 1000
    earliest_ms, latest_ms = delay_ms, ack["t_ms"] - second_start_ms
    expect(FINE_TUNE_MS - latest_ms - 2 <= ahead_ms <= FINE_TUNE_MS - earliest_ms + 2,
           "the set clock runs %.1f ms ahead of the frame's time; expected %d ms less the "
           "arrival, %d..%d ms into the second" % (ahead_ms, FINE_TUNE_MS, earliest_ms,
                                                   latest_ms))
    return frame, ack, new_offset


def jump_logs(session):
    """The jump logs that hold entries of the run (a notice of another time service on the
    machine is none)."""
    return sorted(n for n in os.listdir(session.workdir)
                  if JUMP_LOG_PATTERN.match(n) and faults.log_entries(session.file(n)))


def refusals(session):
    """The refused-set entries of every jump log, in order."""
    return [text for entries in faults.all_logs(session, "S").values()
            for _, text in entries if text.startswith(SET_REFUSED)]


def day_file(clock_ns, suffix):
    """<yymmdd><suffix> of a local date."""
    local = time.localtime(clock_ns // h.NS_PER_SECOND)
    return "%02d%02d%02d%s" % (local.tm_year % 100, local.tm_mon, local.tm_mday, suffix)


# --- the menu ----------------------------------------------------------------------------------

# Keyboard paths to the entries, from the top (Down) for those above the disabled entry
# "跳动不校时" and from the bottom (Up) for those below it, so that no path depends on whether
# the style lets the keyboard stop on a disabled entry. Separators and hidden entries are
# passed over by the menu itself.
MENU_PATHS = {
    "N31": ("Down", 1), "N11": ("Down", 2), "N10": ("Down", 3),
    "com11": ("Down", 4), "com21": ("Down", 5), "com31": ("Down", 6), "com41": ("Down", 7),
    "N21": ("Down", 8), "N48001": ("Down", 9), "N96001": ("Down", 10),
    "N6": ("Down", 11), "N16": ("Down", 12), "N3": ("Down", 13),
    "N12": ("Up", 6), "N18": ("Up", 5), "N15": ("Up", 4), "About1": ("Up", 3),
    "N19": ("Up", 2), "N20": ("Up", 2), "N8": ("Up", 1),
}


def open_menu(session, program, bar_point=(h.BAR_LEFT + 100, h.BAR_TOP + 8)):
    """Right-clicks the bar and waits for the pop-up menu; returns its window and geometry."""
    before = set(session.visible_windows(pid=program.pid))
    session.click(*bar_point, button=3)

    def menu():
        for window in session.visible_windows(pid=program.pid):
            if window not in before:
                return window, session.window_geometry(window)
        return None
    found = session.wait_until(menu, timeout=3.0)
    expect(found is not None, "no pop-up menu after a right-click on the bar at %d,%d" % bar_point)
    # The pointer leaves the menu, so that no entry is highlighted under it.
    session.x("xdotool", "mousemove", "--sync", "5", str(h.SCREEN_HEIGHT - 5))
    return found


def choose(session, program, entry):
    """Opens the menu and chooses the entry with the given object name by keyboard."""
    open_menu(session, program)
    direction, steps = MENU_PATHS[entry]
    session.keys(*([direction] * steps))
    session.x("xdotool", "key", "Return")


# --- tests -------------------------------------------------------------------------------------

def test_pc_time_frames(session):
    """A silent device: one PC time frame a second carrying the program's fake time; the lamp
    is red from the start and stays red."""
    # The program's clock runs an hour and half a second ahead of the device's, so frames
    # matching it can only come from the program's own (fake) clock, to the millisecond.
    device_offset, program_offset = session.set_clocks(test_day_at(10, 0, 40),
                                                       3600 * h.NS_PER_SECOND + 500 * h.NS_PER_MS)
    device = session.start_device("--listen-only")
    program, _ = start_program_with_bar(session)
    png = session.screenshot()
    expect(lamp_colour(session, png) == RED, "lamp not red right after start")
    session.save_screenshot("bar-start-red", crop=(h.BAR_LEFT - 5, 0, h.BAR_WIDTH + 10, 22))

    frames = device.wait_for("pctime", timeout=9.0, count=6)
    expect(frames, "fewer than 6 PC time frames in 9 s: %d" % len(device.of_kind("pctime")))
    frames = frames[:6]
    seconds = []
    for event in frames:
        expect(event.get("valid") == "yes", "invalid PC time frame: " + event["line"])
        year, month, day, hour, minute, second, ms = h.decode_pc_time_frame(event["bytes"])
        expect((year, month, day) == TEST_DAY, "frame date %d-%d-%d" % (year, month, day))
        seconds.append(h.local_epoch_ns(year, month, day, hour, minute, second) // h.NS_PER_SECOND)
    expect(seconds == list(range(seconds[0], seconds[0] + 6)),
           "frames are not one per second: %s" % [s % 60 for s in seconds])
    # The first frame goes out at start-up, wherever in its second that is; the rest at the
    # start of each second.
    arrivals = [e["t_ms"] for e in frames[1:]]
    gaps = [b - a for a, b in zip(arrivals, arrivals[1:])]
    expect(all(800 <= g <= 1200 for g in gaps), "frame spacing (ms): %s" % gaps)

    differences = pc_time_mismatches(device, device_offset, program_offset)
    expect(all(abs(d) <= PC_TIME_TOLERANCE_MS for d in differences),
           "PC time frames differ from the program's clock by (ms): %s" % differences)
    expect(not device.of_kind("ack") and not device.of_kind("unknown"),
           "unexpected bytes: %s" % [e["line"] for e in device.events
                                     if e["event"] in ("ack", "unknown")])
    expect(lamp_colour(session, session.screenshot()) == RED, "lamp not red without frames")
    expect(program.running(), "program ended")


def test_good_frames(session):
    """A device on time: green lamp, no jump log, the communication log once switched on, the
    menu and its four windows (the tick going on while each is open), and the exit from the
    menu within a second."""
    session.set_clocks(test_day_at(10, 0, 40))
    device = session.start_device()
    program, _ = start_program_with_bar(session)
    expect(device.wait_for("sent", timeout=6.0, count=4), "device sent fewer than 4 frames")
    wait_lamp(session, GREEN)
    session.save_screenshot("bar-green", crop=(h.BAR_LEFT - 5, 0, h.BAR_WIDTH + 10, 22))
    expect(jump_logs(session) == [], "jump log written for frames on time: %s" % jump_logs(session))
    check_communication_log(session, program, device)

    _, (mx, my, mw, mh) = open_menu(session, program)
    session.save_screenshot("menu", crop=(max(0, mx - 200), 0, min(h.SCREEN_WIDTH, mx + mw + 10)
                                          - max(0, mx - 200), my + mh + 10))
    session.keys("Escape")

    for entry, title, name in (("N16", "^通讯观测$", "monitor-window"),
                               ("N3", "^校时设置$", "settings-dialog"),
                               ("N21", "^Serial Port$", "port-dialog"),
                               ("About1", "^关于", "about-box")):
        show_dialog(session, program, device, entry, title, name)
    check_save_dialog_reads_nothing(session, program, device)

    expect(program.running(), "program ended before the exit entry")
    expect(jump_logs(session) == [], "jump log written: %s" % jump_logs(session))
    choose(session, program, "N8")
    chosen = time.monotonic()
    status = program.wait_exit(EXIT_LIMIT_S + 2.0)
    took = time.monotonic() - chosen
    expect(status is not None, "program still runs 3 s after 关闭退出")
    expect(took <= EXIT_LIMIT_S, "exit took %.2f s" % took)
    expect(status == 0, "exit status %s; output:\n%s" % (status, program.output()))
    expect(device.wait_for("hangup", timeout=2.0), "device saw no hangup after the exit")


def check_save_dialog_reads_nothing(session, program, device):
    """Types /proc/kmsg into the monitor's save dialog: the dialog must not read what it lists,
    so the tick goes on sending a PC time frame every second; Escape then closes both."""
    choose(session, program, "N16")
    monitor = session.wait_window(name="^通讯观测$", pid=program.pid, timeout=3.0)
    expect(monitor is not None, "the monitor window did not open")
    before = set(session.visible_windows(pid=program.pid))
    x, y, _, _ = session.window_geometry(monitor)
    session.click(x + MONITOR_SAVE_BUTTON[0], y + MONITOR_SAVE_BUTTON[1])
    dialog = session.wait_until(lambda: [w for w in session.visible_windows(pid=program.pid)
                                         if w not in before], timeout=3.0)
    expect(dialog, "the save dialog did not open")
    session.x("xdotool", "type", "--delay", "40", BLOCKING_FILE)
    typed = len(device.of_kind("pctime"))
    frames = device.wait_for("pctime", timeout=4.5, count=typed + 3)
    expect(frames, "PC time frames stopped with %s typed into the save dialog" % BLOCKING_FILE)
    arrivals = [e["t_ms"] for e in frames[typed - 1:]]
    expect(max(b - a for a, b in zip(arrivals, arrivals[1:])) <= 1200,
           "PC time frames %s ms apart with the save dialog open" % arrivals)
    for window in (dialog[0], monitor):
        session.focus(window)
        session.keys("Escape")
        expect(session.wait_until(lambda: window not in session.visible_windows(pid=program.pid),
                                  timeout=3.0), "a window stayed open after Escape")


def check_communication_log(session, program, device):
    """Turns on "通讯记录" and checks that each frame that follows is logged as its bytes in hex,
    one entry per frame, in the fake day's C.txt."""
    frames_before = len(device.of_kind("sent"))
    choose(session, program, "N18")
    device.wait_for("sent", timeout=5.0, count=len(device.of_kind("sent")) + 3)
    time.sleep(0.3)
    name = day_file(h.local_epoch_ns(*TEST_DAY, 12, 0, 0), "C.txt")
    expect(os.path.exists(session.file(name)), "no communication log %s: %s" %
           (name, sorted(os.listdir(session.workdir))))
    with open(session.file(name), "rb") as log:
        entries = log.read().decode("ascii").split("\r\n")
    expect(entries[0] == "", "the log does not begin with a line break")
    logged = []
    for entry in entries[1:]:
        match = re.match(r"^ 2026-03-07 \d\d:\d\d:\d\d ------((?: [0-9A-F]{2})+)$", entry)
        expect(match, "communication log entry %r" % entry)
        logged.append(match.group(1))
    sent = [" " + " ".join("%02X" % b for b in e["bytes"]) for e in device.of_kind("sent")]
    expect(len(logged) >= 3 and logged[0] in sent, "logged frames: %s" % logged)
    # The frames since the switch (one around it may or may not be in), in order, each once.
    first = sent.index(logged[0])
    expect(first >= frames_before - 1 and sent[first:first + len(logged)] == logged,
           "logged frames:\n%s\nsent (switched on after %d):\n%s" %
           ("\n".join(logged), frames_before, "\n".join(sent)))
    expect(len(sent) - (first + len(logged)) <= 1, "frames not logged: %s" %
           sent[first + len(logged):])


def show_dialog(session, program, device, entry, title, name):
    """Chooses a menu entry that opens a modal window, keeps a screenshot of it, checks that the
    tick goes on sending PC time frames while it is open, and closes it with Escape."""
    choose(session, program, entry)
    window = session.wait_window(name=title, pid=program.pid, timeout=3.0)
    expect(window is not None, "entry %s opened no window titled %s" % (entry, title))
    x, y, w, hgt = session.window_geometry(window)
    print("e2e: %s: %dx%d at %d,%d" % (name, w, hgt, x, y))
    session.save_screenshot(name, crop=(max(0, x - 4), max(0, y - 4), w + 8, hgt + 8))
    frames = len(device.of_kind("pctime"))
    expect(device.wait_for("pctime", timeout=2.5, count=frames + 1),
           "no PC time frame while %s is open" % title)
    session.focus(window)
    session.keys("Escape")
    closed = session.wait_until(lambda: window not in session.visible_windows(pid=program.pid),
                                timeout=3.0)
    expect(closed, "window %s stayed open after Escape" % title)


def test_jump_log(session):
    """Frames 10 s ahead: one jump-log entry per frame in the fake day's file, in GBK, the
    yellow lamp, and no scheduled correction while the jump lasts; then "立即校正" sets the
    clock to the frames' time and the lamp turns green."""
    # Frames carry device time + 10 s; the first one names second 28, so second 31 (a
    # correction moment) comes within the run. Sent 200 ms into the second, the frames are
    # compared well inside one second of the program's clock.
    device_offset, program_offset = session.set_clocks(test_day_at(10, 0, 18))
    device = session.start_device("--offset", "10", "--delay-ms", "200")
    program, _ = start_program_with_bar(session)
    sent = device.wait_for("sent", timeout=10.0, count=6)
    expect(sent, "device sent fewer than 6 frames")
    wait_lamp(session, YELLOW)
    session.save_screenshot("bar-yellow", crop=(h.BAR_LEFT - 5, 0, h.BAR_WIDTH + 10, 22))

    name = day_file(h.real_now_ns() + program_offset, "S.txt")
    expect(jump_logs(session) == [name], "jump logs %s, expected %s" % (jump_logs(session), name))
    with open(session.file(name), "rb") as log:
        raw = log.read()
    # Taken after the read, so that every entry's frame is among them; the last frame may be
    # on its way still.
    sent = device.of_kind("sent")
    expect("跳动发生！接收时间信息是：".encode("gbk") in raw, "jump text not in GBK")
    text = raw.decode("gbk")
    expect(text.startswith("\r\n") and not text.endswith("\r\n"),
           "entries must start with CR LF and the file end with the text: %r" % text[-40:])
    entries = [e for e in text.split("\r\n")[1:] if faults.TIME_SERVICE_NOTICE not in e]
    expect(len(sent) - 1 <= len(entries) <= len(sent),
           "%d entries for %d frames:\n%s" % (len(entries), len(sent), text))
    # The frames carry the device's time plus 10 s; the device's clock is the program's.
    carried = {e["time"]: h.local_epoch_ns(*TEST_DAY, *map(int, e["time"].split(":")))
               for e in sent}
    entry_pattern = re.compile(r"^ (\d{4})-(\d\d)-(\d\d) (\d\d):(\d\d):(\d\d) ------(.*)$")
    logged = []
    for entry in entries:
        match = entry_pattern.match(entry)
        expect(match, "entry layout: %r" % entry)
        stamp = [int(v) for v in match.groups()[:6]]
        expect(tuple(stamp[:3]) == TEST_DAY, "entry date %s" % stamp[:3])
        pc_ns = h.local_epoch_ns(*TEST_DAY, *stamp[3:])
        received = time.localtime(pc_ns // h.NS_PER_SECOND + 10)
        expected = "跳动发生！接收时间信息是：%d:%d:%d  当前机器时间是：%d:%d:%d  跳动设置是：%d秒" % (
            received.tm_hour, received.tm_min, received.tm_sec, *stamp[3:], JUMP_THRESHOLD_S)
        expect(match.group(7) == expected, "entry text %r, expected %r (from its stamp)" %
               (match.group(7), expected))
        logged.append(time.strftime("%H:%M:%S", received))
    expect(all(t in carried for t in logged), "entries for frames never sent: %s, sent %s" %
           (logged, sorted(carried)))
    expect(logged == sorted(set(logged)), "entries repeat or go back: %s" % logged)

    # Second 31 was among the frames, yet the jump stopped the scheduled correction.
    expect(any(t.endswith(":%02d" % CORRECTION_SECOND) for t in logged),
           "no frame for second %d was logged: %s" % (CORRECTION_SECOND, logged))
    expect(not device.of_kind("ack"), "acknowledged a correction despite the jump")
    expect(h.read_clock_offset(session.clock_file) == program_offset, "the fake clock was set")

    choose(session, program, "N6")
    check_correction(session, device, device_offset, program_offset, carried_ahead_s=10,
                     delay_ms=200)
    wait_lamp(session, GREEN)
    time.sleep(1.2)
    expect(len(device.of_kind("ack")) == 1, "one request, several corrections: %s" %
           [e["line"] for e in device.of_kind("ack")])


def test_scheduled_correction(session):
    """At second 31 the program sets its clock to the device's time plus 135 ms and answers
    55 AA; its PC time frames then follow the new time."""
    ahead_ns = 2400 * h.NS_PER_MS   # within the jump threshold, so the correction is made
    device_offset, program_offset = session.set_clocks(test_day_at(10, 0, 25), ahead_ns)
    device = session.start_device()
    start_program_with_bar(session)
    frame, ack, new_offset = check_correction(session, device, device_offset, program_offset)
    expect(frame["time"].endswith(":%02d" % CORRECTION_SECOND),
           "corrected on the frame for %s, not at second %d" % (frame["time"],
                                                               CORRECTION_SECOND))
    time.sleep(3.2)
    expect(len(device.of_kind("ack")) == 1, "more than one acknowledgement: %s" %
           [e["line"] for e in device.of_kind("ack")])
    after = pc_time_mismatches(device, device_offset, new_offset, after_ms=ack["t_ms"])
    expect(len(after) >= 2, "fewer than 2 PC time frames after the correction")
    expect(all(abs(d) <= PC_TIME_TOLERANCE_MS for d in after),
           "PC time frames after the correction differ from the set clock by (ms): %s" % after)
    wait_lamp(session, GREEN)
    expect(jump_logs(session) == [], "jump log written: %s" % jump_logs(session))


def check_summer_time_end_pass(session, utc_hour):
    """In one pass of the repeated hour (02:30 local is `utc_hour`:30 UTC), with the program's
    clock 1.5 s ahead of a device that sends the same local time: the scheduled correction leaves
    the clock on the device's time plus 135 ms less the frame's wait, in the pass the PC is in
    (never an hour off), and the offset record's step_ms is what the clock moved."""
    device_ns = calendar.timegm((*SUMMER_TIME_END, utc_hour, 30, 25, 0, 0, 0)) * h.NS_PER_SECOND
    ahead_ns = 1500 * h.NS_PER_MS   # within the jump threshold, so the correction is made
    device_offset, program_offset = session.set_clocks(device_ns, ahead_ns)
    device = session.start_device()
    start_program_with_bar(session)
    frame, _, new_offset = check_correction(session, device, device_offset, program_offset)
    expect(frame["date"] == "2026-10-25" and frame["time"] == "02:30:31",
           "corrected on the frame for %s %s" % (frame["date"], frame["time"]))
    moved_ms = (new_offset - program_offset) / h.NS_PER_MS

    record_path = session.file("261025O.csv")

    def made():
        if not os.path.exists(record_path):
            return None
        with open(record_path, encoding="utf-8", newline="") as source:
            rows = [r for r in csv.DictReader(source) if r["result"] == "ok"]
        return rows or None
    rows = session.wait_until(made, timeout=3.0)
    expect(rows and len(rows) == 1, "offset record %s holds %s" % (record_path, rows))
    row = rows[0]
    expect(row["received"] == "2026-10-25 02:30:31.000", "record line %s" % row)
    step_ms = float(row["step_ms"])
    print("e2e: pass at %02d:30 UTC: the clock moved %.3f ms, step_ms %.1f, offset_ms %s" %
          (utc_hour, moved_ms, step_ms, row["offset_ms"]))
    # The step is taken from a reading a few microseconds before the set, then rounded to 0.1 ms.
    expect(abs(step_ms - moved_ms) <= 0.5,
           "step_ms %.1f, but the clock moved %.3f ms" % (step_ms, moved_ms))
    expect(abs(float(row["offset_ms"]) + step_ms) <= 0.1,
           "offset_ms %s is not the step's opposite %.1f" % (row["offset_ms"], step_ms))


def test_summer_time_first_pass(session):
    """The first pass of 02:00-03:00 on the night summer time ends (still summer time)."""
    check_summer_time_end_pass(session, 0)


def test_summer_time_second_pass(session):
    """The second pass of 02:00-03:00 on the night summer time ends (winter time again)."""
    check_summer_time_end_pass(session, 1)


def test_privilege_split(session):
    """In a user namespace of its own (every capability, none of which reaches the machine's
    clock) the program splits: the windowed process holds no capability and has no_new_privs,
    its one child, the privileged part, holds CAP_SYS_TIME alone and no descriptor but its
    channel and the standard streams, and a scheduled correction goes through that part to the
    fake clock and is acknowledged."""
    device_offset, program_offset = session.set_clocks(test_day_at(10, 0, 25), 2400 * h.NS_PER_MS)
    device = session.start_device()
    program = session.start_program(user_namespace=True)
    expect(session.wait_bar(program.pid) is not None, "no bar; output:\n" + program.output())

    # Capabilities are a thread's own: every thread of the windowed process is checked.
    for thread in os.listdir("/proc/%d/task" % program.pid):
        windowed = h.capability_masks(int(thread))
        expect(all(windowed[k] == 0 for k in ("CapPrm", "CapEff", "CapAmb", "CapInh")),
               "thread %s of the windowed process keeps capabilities: %s" % (thread, windowed))
        expect(not windowed["CapBnd"] & (1 << h.CAP_SYS_TIME_BIT) and windowed["NoNewPrivs"] == 1,
               "thread %s of the windowed process can regain the clock capability: %s" %
               (thread, windowed))
    parts = h.child_pids(program.pid)
    expect(len(parts) == 1, "the program has %d child processes, expected 1" % len(parts))
    clock_only = 1 << h.CAP_SYS_TIME_BIT
    privileged = h.capability_masks(parts[0])
    expect(privileged["CapPrm"] == privileged["CapEff"] == privileged["CapBnd"] == clock_only and
           privileged["CapInh"] == privileged["CapAmb"] == 0 and privileged["NoNewPrivs"] == 1,
           "the privileged part holds more than CAP_SYS_TIME: %s" % privileged)
    descriptors = sorted(int(fd) for fd in os.listdir("/proc/%d/fd" % parts[0]))
    expect(descriptors == [0, 1, 2, 3], "the privileged part keeps descriptors %s" % descriptors)

    frame, _, _ = check_correction(session, device, device_offset, program_offset)
    expect(frame["time"].endswith(":%02d" % CORRECTION_SECOND),
           "corrected on the frame for %s" % frame["time"])
    wait_lamp(session, GREEN)
    # Killed at once, the windowed process leaves its part nothing to serve: the part ends too.
    os.kill(program.pid, signal.SIGKILL)
    program.wait_exit(3.0)
    expect(session.wait_until(lambda: not os.path.exists("/proc/%d" % parts[0]), 3.0),
           "the privileged part outlived the program")


def record_rows(session, day_ns):
    """The offset record's lines of a day, as dictionaries; none when it has no file yet."""
    path = session.file(day_file(day_ns, "O.csv"))
    if not os.path.exists(path):
        return []
    with open(path, encoding="utf-8", newline="") as source:
        return list(csv.DictReader(source))


def test_privileged_part_held(session):
    """The privileged part stopped for 5 s around the correction second (a loaded machine): the
    windowed part stops waiting for its answer and the part, running again, refuses a request that
    has grown old, so the clock is either set right or not at all, no 55 AA goes out for a set
    that did not happen, and the offset record says what really happened."""
    day = test_day_at(10, 0, 26)
    device_offset, program_offset = session.set_clocks(day, 2400 * h.NS_PER_MS)
    device = session.start_device()
    program = session.start_program(user_namespace=True)
    expect(session.wait_bar(program.pid) is not None, "no bar; output:\n" + program.output())
    parts = h.child_pids(program.pid)
    expect(len(parts) == 1, "the program has %d child processes, expected 1" % len(parts))
    before = session.wait_until(
        lambda: [e for e in device.of_kind("sent") if e["time"].endswith(":30")], 8.0)
    expect(before, "no frame for second 30")
    os.kill(parts[0], signal.SIGSTOP)
    try:
        time.sleep(5.0)
    finally:
        os.kill(parts[0], signal.SIGCONT)
    rows = session.wait_until(lambda: record_rows(session, day), 3.0)
    expect(rows, "no offset record line for the correction at second %d" % CORRECTION_SECOND)
    time.sleep(1.0)
    offset = h.read_clock_offset(session.clock_file)
    ahead_ms = (offset - device_offset) / h.NS_PER_MS
    made = [r for r in record_rows(session, day) if r["result"] == "ok"]
    if offset == program_offset:
        expect(not made, "the record says a set was made, but the clock did not move: %s" % made)
        expect(not device.of_kind("ack"), "55 AA for a set that did not happen")
    else:
        expect(made, "the clock moved, but the record says no set was made")
        expect(abs(ahead_ms - FINE_TUNE_MS) <= 200,
               "the clock was set %.1f ms off the device's time" % (ahead_ms - FINE_TUNE_MS))
    expect(program.running(), "the program ended")
    print("e2e: privileged part held 5 s: clock %.1f ms ahead of the device; record %s" %
          (ahead_ms, [r["result"] for r in record_rows(session, day)]))


def zrqctl_status(session, bus):
    """`zrqctl status` on the run's bus: (exit status, output)."""
    done = subprocess.run([os.path.join(session.build_dir, "zrqctl"), "status"],
                          env=dict(os.environ, **bus.env()), capture_output=True, text=True,
                          timeout=h.START_TIMEOUT_S)
    return done.returncode, done.stdout + done.stderr


def test_bar_as_face(session):
    """The bar started while zrqd owns its name on the bus is the service's face: it opens no
    port of its own, shows the service's lamp (green, then red when the device falls silent),
    its "立即校正" makes the service correct with its 55 AA, and "关闭退出" ends the bar alone."""
    session.set_clocks(test_day_at(10, 0, 40))
    with h.PrivateBus() as bus:
        device = session.start_device()
        bar_program = session.program
        session.program = os.path.join(session.build_dir, "zrqd")
        try:
            service = session.start_program(extra_env=bus.env())
        finally:
            session.program = bar_program
        green = session.wait_until(
            lambda: re.search(r"^lamp +green$", zrqctl_status(session, bus)[1], re.M), 10.0)
        expect(green, "zrqd is not green on the bus: %s" % (zrqctl_status(session, bus),))
        opened = len(device.of_kind("open"))

        bar = session.start_program(extra_env=bus.env())
        expect(session.wait_bar(bar.pid) is not None, "no bar; output:\n" + bar.output())
        wait_lamp(session, GREEN)
        time.sleep(1.5)
        expect(len(device.of_kind("open")) == opened, "the face opened the port itself")

        choose(session, bar, "N6")
        expect(device.wait_for("ack", timeout=4.0), "no 55 AA after the face's 立即校正")

        faults.stop_device(session, device)
        wait_lamp(session, RED, timeout=12.0)

        choose(session, bar, "N8")
        expect(bar.wait_exit(4.0) is not None, "the face did not end")
        expect(service.running(), "关闭退出 on the face ended the service")


class AbstractNameSquatter:
    """Another user (nobody) holding the abstract socket name that the program's lock used to
    be, as anyone on the machine could."""

    SCRIPT = ("import socket, time; s = socket.socket(socket.AF_UNIX); s.bind('\\0%s'); "
              "print('ready', flush=True); time.sleep(600)" % h.LOCK_NAME)

    def __init__(self):
        self.process = subprocess.Popen(
            ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "--",
             sys.executable, "-c", self.SCRIPT], stdout=subprocess.PIPE, process_group=0)
        expect(self.process.stdout.readline().strip() == b"ready",
               "nobody could not bind the abstract name %s" % h.LOCK_NAME)

    def stop(self):
        h.stop_group(self.process)
        self.process.stdout.close()


def test_second_instance(session):
    """With another user holding the abstract name "ZRQ", the program still starts (its lock is
    a file of its users' own); a second start shows the "警告" box, no bar, and ends once a key
    dismisses it; the first copy keeps running and keeps sending PC time frames on its port."""
    squatter = AbstractNameSquatter()
    try:
        check_second_instance(session)
    finally:
        squatter.stop()


def check_second_instance(session):
    session.set_clocks(test_day_at(10, 0, 40))
    device = session.start_device("--listen-only")
    first, _ = start_program_with_bar(session)
    expect(device.wait_for("pctime", timeout=5.0, count=2), "first copy sends no PC time frames")

    second = session.start_program()
    warning = session.wait_window(name="^警告$", pid=second.pid, timeout=6.0)
    expect(warning is not None, "the second copy showed no window titled 警告; output:\n" +
           second.output())
    expect(session.wait_bar(second.pid, timeout=0.5) is None, "the second copy shows a bar")
    x, y, w, hgt = session.window_geometry(warning)
    session.save_screenshot("second-copy-warning", crop=(max(0, x - 4), max(0, y - 4),
                                                         w + 8, hgt + 8))
    expect(second.running(), "the second copy ended before its box was dismissed")
    before_dismiss = len(device.of_kind("pctime"))

    session.focus(warning)
    session.keys("Return")
    status = second.wait_exit(3.0)
    expect(status is not None, "the second copy still runs after its box was dismissed")
    expect(first.running(), "the first copy ended")
    expect(device.wait_for("pctime", timeout=4.0, count=before_dismiss + 3),
           "the first copy stopped sending PC time frames")
    expect(not device.of_kind("hangup"), "the port was closed: %s" % device.of_kind("hangup"))
    expect(not os.path.exists(session.file("kelvosys.conf")), "a configuration file appeared")


def test_unsafe_working_directory(session):
    """In a folder that another user (nobody) owns and everyone may write to, with that user's
    links under today's jump log, offset record and settings names, the program shows the error
    box "错误" and, once it is dismissed, ends with status 1 without having opened its port or
    touched a file: the files the links point at are unchanged."""
    session.set_clocks(test_day_at(10, 0, 40))
    device = session.start_device("--listen-only")
    nobody = pwd.getpwnam("nobody")
    names = (day_file(test_day_at(12, 0, 0), "S.txt"), day_file(test_day_at(12, 0, 0), "O.csv"),
             faults.CONFIG_FILE)
    victims = tempfile.mkdtemp(prefix="zrq-e2e-victim-")
    try:
        targets = {}
        for name in names:
            target = os.path.join(victims, name)
            with open(target, "wb") as out:
                out.write(b"the victim's own " + name.encode())
            targets[target] = os.stat(target)
        os.chown(session.workdir, nobody.pw_uid, nobody.pw_gid)
        os.chmod(session.workdir, 0o777)
        for name in names:
            subprocess.run(["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "--",
                            "ln", "-s", os.path.join(victims, name), session.file(name)],
                           check=True, timeout=h.START_TIMEOUT_S)

        program = session.start_program()
        shown = session.wait_until(lambda: faults.boxes(session, program.pid), 6.0)
        expect(shown and [faults.caption_of(b["name"]) for b in shown] == ["错误"],
               "boxes %s, expected one error box; output:\n%s" %
               ([b["name"] for b in shown or []], program.output()))
        x, y, w, hgt = shown[0]["geometry"]
        session.save_screenshot("unsafe-working-directory", crop=(max(0, x - 4), max(0, y - 4),
                                                                  w + 8, hgt + 8))
        expect(session.wait_bar(program.pid, timeout=0.5) is None, "the program shows its bar")
        expect(faults.dismiss(session, shown[0]["id"]), "the box stayed open")
        status = program.wait_exit(3.0)
        expect(status == 1, "exit status %s after the box, expected 1" % status)
        expect(not device.of_kind("pctime"), "the program wrote to its port")
        for target, before in targets.items():
            after = os.stat(target)
            expect((after.st_size, after.st_mtime_ns) == (before.st_size, before.st_mtime_ns),
                   "%s was changed through the link" % target)
    finally:
        shutil.rmtree(victims, ignore_errors=True)


def test_refused_set(session):
    """While the system refuses to set the clock: no 55 AA at the correction moment, the lamp
    turns yellow and stays so while good frames arrive, the double-click box shows the cause,
    and an immediate correction is one attempt, refused once; once sets go through, a new
    request corrects and the lamp is green again."""
    refuse_file = session.file("refuse-sets")
    open(refuse_file, "w").close()
    device_offset, program_offset = session.set_clocks(test_day_at(10, 0, 24))
    device = session.start_device()
    program = session.start_program({h.REFUSE_FILE_ENV: refuse_file})
    expect(session.wait_bar(program.pid) is not None, "no bar; output:\n" + program.output())
    wait_lamp(session, GREEN, timeout=6.0)

    moment = session.wait_until(lambda: [e for e in device.of_kind("sent")
                                         if e["time"].endswith(":%02d" % CORRECTION_SECOND)], 12.0)
    expect(moment, "no frame for second %d" % CORRECTION_SECOND)
    expect(session.wait_until(lambda: refusals(session), 3.0), "no refused-set entry in the jump log")
    wait_lamp(session, YELLOW, timeout=2.5)
    frames = len(device.of_kind("sent"))
    for _ in range(3):
        expect(device.wait_for("sent", timeout=2.5, count=frames + 1), "frames stopped")
        frames = len(device.of_kind("sent"))
        expect(lamp_colour(session, session.screenshot()) == YELLOW,
               "the lamp left yellow while the set stays refused")
    expect(not device.of_kind("ack"), "acknowledged a refused set: %s" % device.of_kind("ack"))
    expect("Operation not permitted" in refusals(session)[0], "entry %r" % refusals(session)[0])

    session.x("xdotool", "mousemove", "--sync", str(h.BAR_LEFT + 8), str(h.BAR_TOP + 8))
    session.x("xdotool", "click", "--repeat", "2", "--delay", "60", "1")
    box = session.wait_until(lambda: faults.boxes(session, program.pid, "ZRQ"), 3.0)
    expect(box, "no box after a double-click on the bar")
    x, y, w, hgt = box[0]["geometry"]
    session.save_screenshot("refused-set-message", crop=(max(0, x - 4), max(0, y - 4),
                                                         w + 8, hgt + 8))
    expect(faults.dismiss(session, box[0]["id"]), "the box stayed open")

    # A request made while sets are refused is one attempt: refused once, then used up.
    choose(session, program, "N6")
    tried = len(refusals(session))
    expect(session.wait_until(lambda: len(refusals(session)) >= tried + 1, 4.0),
           "the request was not tried: %d refusals" % len(refusals(session)))
    time.sleep(2.2)
    expect(len(refusals(session)) == tried + 1,
           "one request, %d attempts" % (len(refusals(session)) - tried))
    expect(not device.of_kind("ack"), "acknowledged a refused set")
    os.remove(refuse_file)
    choose(session, program, "N6")
    check_correction(session, device, device_offset, program_offset)
    wait_lamp(session, GREEN)
    time.sleep(1.2)
    expect(len(device.of_kind("ack")) == 1, "one request, several corrections: %s" %
           [e["line"] for e in device.of_kind("ack")])


class Chronyd:
    """chronyd and chronyc from Debian's package, unpacked into <build>/chrony by
    scripts/unpack-chrony (never installed), run with -x (the clock is never touched) and the
    clock capability dropped, with its refclock socket, command socket and pid file in a
    temporary folder, no NTP port and no command port. The refclock socket lies in a folder of
    the group that may feed it (`gid`), so that the README's way of letting a desktop user
    write to the socket can be tried here."""

    def __init__(self, build_dir, gid):
        root = os.path.join(os.path.abspath(build_dir), "chrony", "usr")
        self.chronyd = os.path.join(root, "sbin", "chronyd")
        self.chronyc = os.path.join(root, "bin", "chronyc")
        for tool in (self.chronyd, self.chronyc):
            if not os.access(tool, os.X_OK):
                raise h.Skip("%s is not unpacked (scripts/unpack-chrony)" % tool)
        self.gid = gid
        self.folder = tempfile.mkdtemp(prefix="zrq-chronyd-")
        os.chmod(self.folder, 0o711)  # others may pass through to the refclock folder
        commands = os.path.join(self.folder, "cmd")
        refclock = os.path.join(self.folder, "refclock")
        os.mkdir(commands, 0o700)  # chronyd refuses a command socket in a folder others reach
        os.mkdir(refclock, 0o750)
        os.chown(refclock, 0, gid)
        self.socket = os.path.join(refclock, "chrony.sock")
        self.command_socket = os.path.join(commands, "chronyd.sock")
        config = os.path.join(self.folder, "chrony.conf")
        with open(config, "w", encoding="ascii") as out:
            out.write("refclock SOCK %s refid ZRQ poll 2 precision 1e-3\n" % self.socket)
            out.write("bindcmdaddress %s\n" % self.command_socket)
            out.write("cmdport 0\nport 0\n")
            out.write("pidfile %s\n" % os.path.join(commands, "chronyd.pid"))
        self._log = open(os.path.join(self.folder, "chronyd.log"), "wb")
        self.process = subprocess.Popen(
            ["setpriv", *h.CAP_DROP_OPTIONS, "--", self.chronyd, "-x", "-d", "-u", "root",
             "-f", config], stdout=self._log, stderr=subprocess.STDOUT, process_group=0)
        deadline = time.monotonic() + h.START_TIMEOUT_S
        while not os.path.exists(self.socket) and time.monotonic() < deadline:
            time.sleep(h.POLL_INTERVAL_S)
        if not os.path.exists(self.socket):
            self.stop()
            raise h.HarnessError("chronyd made no refclock socket: " + self.log())

    def source(self):
        """chronyc -c sources' row of the refclock ZRQ, as fields, or None."""
        out = subprocess.run([self.chronyc, "-h", self.command_socket, "-c", "sources"],
                             capture_output=True, text=True, timeout=10).stdout
        for line in out.splitlines():
            fields = line.split(",")
            if len(fields) >= 10 and fields[2] == "ZRQ":
                return fields
        return None

    def try_write_as_group_member(self):
        """Whether a user who is only in the group (nobody's uid) may send to the socket. The
        datagram has no valid magic, so chronyd drops it."""
        probe = ("import socket; s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM); "
                 "s.sendto(bytes(40), %r)" % self.socket)
        result = subprocess.run(["setpriv", "--reuid=nobody", "--regid=%d" % self.gid,
                                 "--clear-groups", "--", sys.executable, "-c", probe],
                                capture_output=True, text=True, timeout=10)
        return result.returncode == 0

    def log(self):
        with open(os.path.join(self.folder, "chronyd.log"), "rb") as log:
            return log.read().decode("utf-8", "replace")

    def stop(self):
        h.stop_group(self.process)
        self._log.close()
        shutil.rmtree(self.folder, ignore_errors=True)


README = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "README.md")


def readme_chrony_group():
    """The group that the README's chrony drop-in gives the socket's folder and the socket, and
    its number here (a number no group has, standing in for it, where the package that makes the
    group is not installed)."""
    with open(README, encoding="utf-8") as readme:
        text = readme.read()
    folder = re.search(r"install -d -m 0750 -o root -g (\S+) /run/zrq-chrony\b", text)
    socket = re.search(r"chgrp (\S+) /run/zrq-chrony/chrony\.sock", text)
    expect(folder and socket and folder.group(1) == socket.group(1),
           "the README's chrony drop-in names no one group for the folder and the socket")
    name = folder.group(1)
    try:
        return name, grp.getgrnam(name).gr_gid
    except KeyError:
        taken = {g.gr_gid for g in grp.getgrall()}
        return name, next(gid for gid in range(60000, 65000) if gid not in taken)


def test_chrony_samples(session):
    """With chrony.sock linked to a chronyd's SOCK refclock, every frame becomes a sample:
    chronyc shows the source reached and its offset the one the program's clock was given. The
    device sends 135 ms into each second, as much as the default FineTuneMs says, so the offset
    is the clocks' own. The program never corrects here (daily points, none), as the README
    says for a PC whose clock chrony keeps."""
    group, gid = readme_chrony_group()
    expect(group == "zrq", "the README gives chronyd's socket to %s, not to zrq" % group)
    chronyd = Chronyd(session.build_dir, gid)
    try:
        # The README's way for a desktop user's program: the socket's group may write to it.
        expect(not chronyd.try_write_as_group_member(),
               "a group member wrote to chronyd's fresh socket (root's, 0755)")
        subprocess.run(["chgrp", str(gid), chronyd.socket], check=True)
        subprocess.run(["chmod", "g+w", chronyd.socket], check=True)
        expect(chronyd.try_write_as_group_member(),
               "a member of %s cannot write to the socket after chgrp and chmod g+w" % group)

        os.symlink(chronyd.socket, session.file("chrony.sock"))
        faults.write_config(session, faults.config_record(mode=3, points=()))
        # chronyd takes only samples measured within the last 2^(poll+1) s of its own clock
        # (the real one): the program's clock runs 2.5 s behind it, the device's on it.
        behind_ns = -2500 * h.NS_PER_MS
        session.set_clocks(h.real_now_ns(), behind_ns)
        device = session.start_device("--delay-ms", str(FINE_TUNE_MS))
        start_program_with_bar(session)

        def reached():
            time.sleep(0.5)  # chronyd polls its refclock every 4 s
            row = chronyd.source()
            return row if row and row[5] != "0" else None
        row = session.wait_until(reached, timeout=20.0)
        expect(row is not None, "chronyc shows no reach of ZRQ: %s\nchronyd:\n%s" %
               (chronyd.source(), chronyd.log()))
        print("e2e: chronyc -c sources: %s" % ",".join(row))
        measured_s = float(row[8])  # the last sample as measured: local clock minus source
        expect(abs(measured_s - behind_ns / h.NS_PER_SECOND) <= 0.02,
               "chronyc shows an offset of %.4f s; the program's clock runs %.1f s behind" %
               (measured_s, behind_ns / h.NS_PER_SECOND))
        expect(not device.of_kind("ack"), "the program corrected its clock: %s" %
               [e["line"] for e in device.of_kind("ack")])
    finally:
        chronyd.stop()


CASES = {
    "pc_time_frames": test_pc_time_frames,
    "good_frames": test_good_frames,
    "jump_log": test_jump_log,
    "scheduled_correction": test_scheduled_correction,
    "privilege_split": test_privilege_split,
    "privileged_part_held": test_privileged_part_held,
    "bar_as_face": test_bar_as_face,
    "second_instance": test_second_instance,
    "unsafe_working_directory": test_unsafe_working_directory,
    "refused_set": test_refused_set,
    "chrony_samples": test_chrony_samples,
    "summer_time_first_pass": test_summer_time_first_pass,
    "summer_time_second_pass": test_summer_time_second_pass,
}
# The zone of the runs that need one other than the harness's.
CASE_TIME_ZONES = {
    "summer_time_first_pass": SUMMER_TIME_ZONE,
    "summer_time_second_pass": SUMMER_TIME_ZONE,
}


def isolate_lock_namespace():
    """Re-runs this process in a network namespace of its own when possible: the abstract socket
    that the program's single-instance lock falls back to, and the one a test binds in another
    user's name, are per namespace, so a copy that someone else runs on this machine cannot make
    the run see a second start (and the run's copies cannot disturb theirs). X still works: its
    socket is a file."""
    if os.environ.get("ZRQ_E2E_ISOLATED") == "1":
        return
    os.environ["ZRQ_E2E_ISOLATED"] = "1"
    probe = subprocess.run(["unshare", "--net", "true"], capture_output=True)
    if probe.returncode != 0:
        print("e2e: no private network namespace; a running copy elsewhere would disturb this")
        return
    flags = ["-B"] if sys.flags.dont_write_bytecode else []
    os.execvp("unshare", ["unshare", "--net", "--", sys.executable, *flags] + sys.argv)


def main():
    def run(build_dir, case):
        isolate_lock_namespace()
        zone = CASE_TIME_ZONES.get(case, h.TIME_ZONE)
        with h.Session(build_dir, case, time_zone=zone) as session:
            CASES[case](session)

    return h.run_case_main(CASES, run, failures=(Failure,))


if __name__ == "__main__":
    sys.exit(main())
