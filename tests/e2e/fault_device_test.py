#!/usr/bin/env python3
# The device goes away (clockdev ends, its pseudo-terminal hangs up) and comes back on the same
# COM1 link: the loss is said once, the lamp turns red at the sixth second without frames, the
# program stays responsive and idle, and it takes the new line up by itself within 10 s (said
# once); choosing COM1 again from the menu still works. Then the program is
# ended by SIGTERM, SIGINT and SIGHUP (with a window or a box of the start-up open): each time it
# exits at once with status 0 and leaves the line free for the next user.
import os
import signal
import subprocess
import sys
import time

import e2e_harness as harness
import faults_support as faults
from faults_support import check

GOOD_FRAMES_TIMEOUT_S = 6.0
# The lamp turns red at the sixth new second after the last good frame. Device and program share
# one clock and the frame goes out as its second begins, so red shows about 6 s after it (the
# fifth second would be about 5 s), plus the time to draw and photograph the bar.
RED_NOT_BEFORE_S = 5.5
RED_BY_S = 7.5
BACK_GREEN_TIMEOUT_S = 6.0
TAKEN_UP_WITHIN_S = 10.0
IDLE_WATCH_S = 10.0
READ_MARGIN_S = 0.4
WATCH_S = 4
SIGNAL_EXIT_LIMIT_S = 1.0
# Opens the line as an unprivileged user: the exclusive hold of a terminal keeps out everyone
# but root, so only such an open shows whether the hold was released.
NORMAL_USER = ("setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "--")
OPEN_LINE = "import os, sys; os.close(os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK))"


def wait_green(session, program, timeout, what):
    check(faults.wait_lamp(session, program.pid, faults.GREEN, timeout),
          "%s: the lamp is %s, not green", what, faults.lamp(session, program.pid))


def last_frame_ns(device, device_offset_ns):
    """Real time at which the device sent its last frame (its t is the device clock)."""
    sent = device.of_kind("sent")
    check(sent, "the device sent no frame")
    return sent[-1]["t_ms"] * harness.NS_PER_MS - device_offset_ns


def watch_lamp_turn_red(session, program, since_ns):
    """Seconds from `since_ns` to the first screenshot that shows red."""
    while True:
        colour = faults.lamp(session, program.pid)
        elapsed = (harness.real_now_ns() - since_ns) / 1e9
        if colour == faults.RED:
            return elapsed
        check(elapsed < RED_BY_S, "the lamp is still %s %.1f s after the last frame", colour,
              elapsed)
        time.sleep(0.1)


def test(build_dir):
    with harness.Session(build_dir, "fault-device") as session:
        device_offset, _ = session.set_clocks(harness.real_now_ns())
        first = session.start_device("--baud", "4800")
        program = faults.start_program(session)
        faults.bar(session, program.pid)
        wait_green(session, program, GOOD_FRAMES_TIMEOUT_S, "with the device")
        faults.expect_alive(session, program, first, "before the device goes")

        # The device goes away: its process ends, the pseudo-terminal hangs up, the link goes.
        # It goes between two frames, once the last one has surely been read: a frame still in
        # the line when it hangs up is lost, and the lamp would count from the one before.
        check(first.wait_for("sent", 2.0, len(first.of_kind("sent")) + 1), "no frame sent")
        time.sleep(READ_MARGIN_S)
        faults.stop_device(session, first)
        gone_ns = last_frame_ns(first, device_offset)
        check(not os.path.lexists(session.file("COM1")), "clockdev left its COM1 link behind")
        red_after = watch_lamp_turn_red(session, program, gone_ns)
        print("the lamp turned red %.2f s after the last frame" % red_after)
        check(red_after >= RED_NOT_BEFORE_S, "the lamp turned red %.1f s after the last frame, "
              "before the sixth second without one", red_after)
        check(program.running(), "the program ended when the device went away")
        check(faults.menu_opens(session, program.pid),
              "the menu does not open after the device went away")
        check(not faults.boxes(session, program.pid), "a box appeared when the device went away")

        output = program.output()
        check(output.count(harness.LINE_LOST_TEXT) == 1, "the loss was said %d times:\n%s",
              output.count(harness.LINE_LOST_TEXT), output)
        check_idle(program)

        # The device comes back on a new pseudo-terminal behind the same link: the retry takes
        # it up by itself, with the line settings it had.
        second = session.start_device("--baud", "4800")
        back_ns = harness.real_now_ns()
        check(second.wait_for("pctime", TAKEN_UP_WITHIN_S), "the new line was not taken up "
              "within %.0f s", TAKEN_UP_WITHIN_S)
        wait_green(session, program, TAKEN_UP_WITHIN_S - (harness.real_now_ns() - back_ns) / 1e9,
                   "after the device came back")
        output = program.output()
        check(output.count(harness.LINE_BACK_TEXT) == 1, "the return was said %d times:\n%s",
              output.count(harness.LINE_BACK_TEXT), output)
        check(not faults.boxes(session, program.pid), "a box appeared when the device came back")

        faults.choose(session, program.pid, "COM1")
        check(not faults.boxes(session, program.pid),
              "choosing COM1 again showed a box: %s", faults.boxes(session, program.pid))
        wait_green(session, program, BACK_GREEN_TIMEOUT_S, "after choosing COM1 again")
        faults.expect_alive(session, program, second, "after choosing COM1 again", WATCH_S)
        frames = faults.pc_times(second)
        seconds = [f[1][3:6] for f in frames]
        check(len(set(seconds)) == len(seconds), "a second came twice on the new line: %s",
              seconds)
        # The switch saved the port it reopened.
        saved = faults.read_bytes(session.file(faults.CONFIG_FILE))
        check(saved is not None and len(saved) == faults.CONFIG_RECORD_SIZE and saved[0] == 1,
              "kelvosys.conf after the switch: %r", saved)


def check_idle(program):
    """While the line is away the program waits for the retry's timer, never spinning."""
    before = harness.cpu_seconds(program.pid)
    time.sleep(IDLE_WATCH_S)
    used = harness.cpu_seconds(program.pid) - before
    print("CPU while the line is away: %.2f s in %.0f s" % (used, IDLE_WATCH_S))
    check(used <= harness.IDLE_CPU_SHARE * IDLE_WATCH_S, "%.2f s of CPU in %.0f s while the "
          "line was away", used, IDLE_WATCH_S)


def normal_user_opens(line):
    """(opened, error text) of an open of the line by the user nobody."""
    os.chmod(line, 0o666)  # the terminal is root's; its mode is no part of the hold
    result = subprocess.run([*NORMAL_USER, sys.executable, "-c", OPEN_LINE, line],
                            capture_output=True, text=True, timeout=harness.START_TIMEOUT_S)
    return result.returncode == 0, result.stderr.strip().splitlines()[-1:]


def end_by_signal(session, program, number, what):
    """Sends the signal and checks the exit: status 0 within the limit."""
    sent = time.monotonic()
    os.kill(program.pid, number)
    status = program.wait_exit(SIGNAL_EXIT_LIMIT_S + 2.0)
    took = time.monotonic() - sent
    check(status == 0, "%s: exit status %s after %s; output:\n%s", what, status,
          signal.Signals(number).name, program.output())
    check(took <= SIGNAL_EXIT_LIMIT_S, "%s: the exit took %.2f s", what, took)


def test_exit_signals(build_dir):
    with harness.Session(build_dir, "fault-signals") as session:
        session.set_clocks(harness.real_now_ns())
        device = session.start_device("--baud", "4800")
        line = os.path.realpath(session.file("COM1"))
        runs = ((signal.SIGTERM, None), (signal.SIGINT, "通讯观测>>"), (signal.SIGHUP, None))
        for number, entry in runs:
            what = signal.Signals(number).name + (" with %s open" % entry if entry else "")
            program = faults.start_program(session)
            faults.bar(session, program.pid)
            check(device.wait_for("pctime", GOOD_FRAMES_TIMEOUT_S,
                                  len(device.of_kind("pctime")) + 1), "%s: no PC time frame", what)
            opened, _ = normal_user_opens(line)
            check(not opened, "%s: a normal user opened the line the program holds", what)
            if entry:
                faults.choose(session, program.pid, entry)
                check(session.wait_until(lambda: faults.boxes(session, program.pid)),
                      "%s: no window opened", what)
            end_by_signal(session, program, number, what)
            opened, error = normal_user_opens(line)
            check(opened, "%s: a normal user cannot open the line afterwards: %s", what, error)

        # Start-up waits in its box "串口打开失败" (COM2 leads nowhere).
        faults.write_config(session, faults.config_record(port=2))
        os.symlink("/nonexistent/zrq-line", session.file("COM2"))
        program = faults.start_program(session)
        check(session.wait_until(lambda: faults.boxes(session, program.pid, "错误")),
              "no box for the missing port")
        end_by_signal(session, program, signal.SIGTERM, "SIGTERM during start-up")


def test_all(build_dir):
    test(build_dir)
    test_exit_signals(build_dir)


if __name__ == "__main__":
    faults.run_fault_test(test_all)
