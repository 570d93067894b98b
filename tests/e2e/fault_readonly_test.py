#!/usr/bin/env python3
# The working directory becomes unwritable while the jump log is on: the first jump-log entry that
# fails brings one "File access error" warning, the following ones (same file, same reason) none
# and nothing else, reception goes on, and a port or format
# switch whose save fails reports it once, reception resumes, and kelvosys.conf keeps its old
# 224 bytes.
#
# Root ignores permissions, so the program runs in a mount namespace of its own whose working
# directory is a bind mount that the test remounts read-only; skipped where namespaces are refused.
import os
import time

import e2e_harness as harness
import faults_support as faults
from faults_support import check

# Every frame is this far ahead of the program's clock: one time-jump entry per frame.
DEVICE_AHEAD_S = 10
WRITABLE_ENTRIES = 2
WRITABLE_TIMEOUT_S = 8.0
READ_ONLY_WATCH_S = 8.0
# A frame reached the program this long before the remount may still be handled after it; a
# frame sent in the last seconds of the watch may not be handled yet.
HANDLING_LAG_S = 1.2
QUIET_S = 3.0
SAVE_BOX_TIMEOUT_S = 4.0
GREEN_TIMEOUT_S = 6.0
SILENCE_TO_RED_S = 7.0
WARNING = "Warning"
PLAIN_CAPTION = "ZRQ"  # the general error report's caption


def settings_record():
    """Daily points with none listed: no scheduled correction ever tries to set the clock (that
    would need the read-only clock file too), so only the jump log writes."""
    return faults.config_record(port=1, baud_code=faults.BAUD_CODE_4800, mode=3, points=(),
                                code_format=faults.FORMAT_NUMBERS["TVZ_CODE"])


def jump_log_path(session):
    names = [n for n in faults.all_logs(session, "S")]
    return session.file(names[-1]) if names else None


def frames_sent_between(device, start_ns, end_ns):
    return sum(1 for e in device.of_kind("sent") if start_ns < e["received_ns"] <= end_ns)


def dismiss_boxes_for(session, program, seconds, quiet_s=None):
    """Dismisses boxes as they come, for `seconds` (or until none came for `quiet_s`); returns
    the captions in order."""
    captions = []
    started = last_box = time.monotonic()
    while True:
        now = time.monotonic()
        if now - started >= seconds or (quiet_s is not None and now - last_box >= quiet_s):
            return captions
        shown = faults.boxes(session, program.pid)
        for box in shown:
            captions.append(faults.caption_of(box["name"]))
            check(faults.dismiss(session, box["id"]), "box %r does not close", box["name"])
        if shown:
            last_box = time.monotonic()
        else:
            time.sleep(0.05)


def expect_one_failed_save(session, program, entry):
    """Chooses a switch from the menu whose save the read-only directory refuses: one general
    error report, and kelvosys.conf keeps its bytes."""
    faults.choose(session, program.pid, entry)
    shown = session.wait_until(lambda: faults.boxes(session, program.pid), SAVE_BOX_TIMEOUT_S)
    check(shown, "%s: the failed save showed no box", entry)
    check([faults.caption_of(b["name"]) for b in shown] == [PLAIN_CAPTION],
          "%s: the failed save showed %s, expected one general error report", entry,
          [b["name"] for b in shown])
    faults.dismiss(session, shown[0]["id"])
    check(not session.wait_until(lambda: faults.boxes(session, program.pid), 1.0),
          "%s: a second box after the failed save", entry)


def expect_reception(session, program, device, what):
    """Frames are decoded again (green lamp) and PC time frames go out every second."""
    check(faults.wait_lamp(session, program.pid, faults.GREEN, GREEN_TIMEOUT_S),
          "%s: the lamp is %s, not green", what, faults.lamp(session, program.pid))
    faults.expect_alive(session, program, device, what)
    check(not faults.boxes(session, program.pid), "%s: boxes %s", what,
          faults.boxes(session, program.pid))


def test(build_dir):
    with harness.Session(build_dir, "fault-readonly") as session:
        record = settings_record()
        faults.write_config(session, record)
        session.set_clocks(harness.real_now_ns())
        ahead = session.start_device("--baud", "4800", "--offset", str(DEVICE_AHEAD_S))
        program = faults.start_program(session, private_mount=True)
        faults.bar(session, program.pid)

        # While the directory is writable, each frame adds one jump-log entry.
        written = session.wait_until(
            lambda: jump_log_path(session) and
            len(faults.log_entries(jump_log_path(session))) >= WRITABLE_ENTRIES,
            WRITABLE_TIMEOUT_S)
        check(written, "no jump-log entries while the directory is writable")
        check(faults.wait_lamp(session, program.pid, faults.YELLOW, 3.0),
              "the lamp is not yellow with frames %d s ahead", DEVICE_AHEAD_S)
        log_path = jump_log_path(session)

        program.make_workdir_read_only()
        read_only_ns = harness.real_now_ns()
        log_at_remount = faults.read_bytes(log_path)
        captions = dismiss_boxes_for(session, program, READ_ONLY_WATCH_S)
        watch_end_ns = harness.real_now_ns()

        check(set(captions) <= {WARNING}, "boxes other than warnings: %s", captions)
        least = frames_sent_between(ahead, read_only_ns + HANDLING_LAG_S * 1e9,
                                    watch_end_ns - HANDLING_LAG_S * 1e9)
        most = frames_sent_between(ahead, read_only_ns - HANDLING_LAG_S * 1e9, watch_end_ns)
        print("read-only: %d warnings for %d..%d frames" % (len(captions), least, most))
        check(least >= 1 and len(captions) == 1,
              "%d warnings while %d..%d frames were handled: one for the change of state expected",
              len(captions), least, most)
        check(faults.read_bytes(log_path) == log_at_remount,
              "the jump log changed although the directory is read-only")
        check(program.running(), "the program ended on the read-only directory")
        frames = faults.pc_times(ahead, read_only_ns)
        gaps = [(b[0] - a[0]) / 1e9 for a, b in zip(frames, frames[1:])]
        check(len(frames) >= READ_ONLY_WATCH_S - 1 and max(gaps) < 2.0,
              "PC time frames faltered while warnings were shown: %d frames, gaps %s",
              len(frames), gaps)

        # A device at the right time: no more jumps, so no more entries. The port switch that
        # reopens COM1 on it then saves, which the read-only directory refuses.
        faults.stop_device(session, ahead)
        exact = session.start_device("--baud", "4800")
        late = dismiss_boxes_for(session, program, 2 * READ_ONLY_WATCH_S, quiet_s=QUIET_S)
        check(set(late) <= {WARNING}, "boxes other than warnings: %s", late)
        expect_one_failed_save(session, program, "COM1")
        check(faults.read_bytes(session.file(faults.CONFIG_FILE)) == record,
              "kelvosys.conf changed: %r", faults.read_bytes(session.file(faults.CONFIG_FILE)))
        leftovers = sorted(n for n in os.listdir(session.workdir) if "kelvosys" in n and
                           n != faults.CONFIG_FILE)
        check(not leftovers, "files left beside kelvosys.conf: %s", leftovers)

        # The switch released the receiver before its save: reception goes on on the new line.
        expect_reception(session, program, exact, "after the port switch's failed save")

        # A format switch (to the format in use) whose save fails still starts the search afresh
        # and releases the receiver.
        expect_one_failed_save(session, program, "TVZ_CODE")
        check(faults.read_bytes(session.file(faults.CONFIG_FILE)) == record,
              "kelvosys.conf changed in the format switch")
        # The lamp was green before: a receiver left held would turn it red by the sixth second.
        time.sleep(SILENCE_TO_RED_S)
        expect_reception(session, program, exact, "after the format switch's failed save")


if __name__ == "__main__":
    faults.run_fault_test(test)
