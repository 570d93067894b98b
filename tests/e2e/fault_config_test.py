#!/usr/bin/env python3
# The real program over damaged settings files: a sample of short, whole and long files and of
# files of random bytes. It comes up, takes values only from a whole record, marks the menu from
# them (read from a screenshot), opens the port they name, sends its time every second when the
# line could be set up, never rewrites the file at start, and ends from its menu.
# (Every length from 0 to 224 is covered by the offscreen start-up test of the application.)
import os
import random

import e2e_harness as harness
import faults_support as faults
from faults_support import check

SEED = 224
FRAMES_WATCH_S = 3
EXIT_TIMEOUT_S = 3.0
BOX_TIMEOUT_S = 4.0
RATE_CODES = 20            # the serial library's rate codes 0..19; others are refused
ERROR_CAPTION = "错误"     # PortSet's box for a refused rate
CUSTOM_CAPTION_MARGIN = 5  # ">>COMn" ends this much further right than "COM1" at least


def samples():
    record = faults.config_record(port=2, baud_code=faults.BAUD_CODE_9600, mode=2, threshold=5,
                                  second=20, minute=10, fine_ms=300,
                                  code_format=faults.FORMAT_NUMBERS["ST_CODE"])
    rng = random.Random(SEED)
    out = [("%d bytes" % n, record[:n]) for n in (0, 1, 12, 100, 223)]
    out += [("224 bytes", record), ("225 bytes", record + b"\x09")]
    out += [("random %d bytes #%d" % (n, i), rng.randbytes(n))
            for i, n in enumerate((faults.CONFIG_RECORD_SIZE, faults.CONFIG_RECORD_SIZE, 77))]
    # Random settings on a line that can be set up: every other value as it comes.
    line_ok = bytearray(rng.randbytes(faults.CONFIG_RECORD_SIZE))
    line_ok[1] = faults.BAUD_CODE_9600
    out.append(("random 224 bytes at 9600 bit/s", bytes(line_ok)))
    return out


def taken_values(data):
    """(port, baud code, format) start-up must take: from a whole record, else all zero."""
    if len(data) < faults.CONFIG_RECORD_SIZE:
        return 0, 0, 0
    return data[0], data[1], data[217]


def expected_marks(port, baud_code, code_format):
    marks = {caption: False for caption in faults.MENU_ROWS}
    for caption, number in faults.FORMAT_NUMBERS.items():
        marks[caption] = number == code_format
    if 1 <= port <= 4:
        marks["COM%d" % port] = True
    else:
        marks[">>... "] = True
    marks["4800"] = baud_code == faults.BAUD_CODE_4800
    marks["9600"] = baud_code == faults.BAUD_CODE_9600
    marks["跳动不校时"] = marks["跳动记录"] = True
    return marks


def run_sample(build_dir, name, data):
    with harness.Session(build_dir, "fault-config") as session:
        faults.write_config(session, data)
        session.set_clocks(harness.real_now_ns())
        device = session.start_device("--listen-only")
        port, baud_code, code_format = taken_values(data)
        if port != 1:  # the port start-up opens leads to the same device
            os.symlink(os.readlink(session.file("COM1")), session.file("COM%d" % port))
        program = faults.start_program(session)
        line_refused = baud_code >= RATE_CODES

        if line_refused:
            shown = session.wait_until(lambda: faults.boxes(session, program.pid), BOX_TIMEOUT_S)
            check(shown and [faults.caption_of(b["name"]) for b in shown] == [ERROR_CAPTION],
                  "%s: rate code %d: boxes %s, expected one error box", name, baud_code,
                  [b["name"] for b in shown or []])
            faults.dismiss(session, shown[0]["id"])
        faults.bar(session, program.pid)
        check(not faults.boxes(session, program.pid), "%s: unexpected boxes %s", name,
              [b["name"] for b in faults.boxes(session, program.pid)])

        if line_refused:
            # The port is closed again after the refused rate; the program ticks on.
            check(program.running(), "%s: the program ended", name)
        else:
            faults.expect_alive(session, program, device, name, FRAMES_WATCH_S)

        marks, text_ends = faults.menu_marks(session, program.pid)
        wanted = expected_marks(port, baud_code, code_format)
        wrong = {c: marks[c] for c in wanted if marks[c] != wanted[c]}
        check(not wrong, "%s (port %d, rate code %d, format %d): menu marks %s", name, port,
              baud_code, code_format, wrong)
        custom_caption = text_ends[">>... "] > text_ends["COM1"] + CUSTOM_CAPTION_MARGIN
        check(custom_caption == (not 1 <= port <= 4),
              "%s: the port dialog entry's caption does not follow port %d", name, port)
        check(faults.read_bytes(session.file(faults.CONFIG_FILE)) == data,
              "%s: start-up changed kelvosys.conf", name)

        faults.choose(session, program.pid, "关闭退出")
        status = program.wait_exit(EXIT_TIMEOUT_S)
        check(status == 0, "%s: the program ended with %s after 关闭退出", name, status)
        print("%s: port %d, rate code %d, format %d: as expected" % (name, port, baud_code,
                                                                    code_format))


def test(build_dir):
    for name, data in samples():
        run_sample(build_dir, name, data)


if __name__ == "__main__":
    faults.run_fault_test(test)
