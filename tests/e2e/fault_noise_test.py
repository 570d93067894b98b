#!/usr/bin/env python3
# Noise, random chunking and truncated frames at 9600 bit/s in EB_CODE and ST_CODE: with the
# communication log on, the log holds exactly the frame dumps that the search rules give for the
# bytes sent, and the jump log exactly the reports for the frames it accepts. The expectation
# comes from a model of the search written here from the rules, run over the bytes as they were
# written (clockdev's sent and noise lines, or the pieces of the test's own device).
#
# Run time: ZRQ_FAULT_NOISE_SECONDS (default 60) of streaming, shared by the three runs.
import datetime
import os
import random
import re
import sys
import time

import e2e_harness as harness
import faults_support as faults
from faults_support import check

TOTAL_SECONDS = float(os.environ.get("ZRQ_FAULT_NOISE_SECONDS", "60"))
SHARES = {"clockdev EB_CODE": 0.2, "scripted ST_CODE": 0.4, "scripted EB_CODE": 0.4}
SEED = int(os.environ.get("ZRQ_FAULT_NOISE_SEED", "20261208"))

DAY = (2026, 3, 7)
START = (10, 0, 0)
OPEN_TIMEOUT_S = 8.0
SETTLE_S = 1.5
JUMP_THRESHOLD_S = 3

RING_SIZE = 1000
READ_LIMIT = 255  # bytes one read of the program takes at most
SYNC = 0xAA
ST_END = 0x03

# The test's device writes up to six pieces a second, 150 ms apart, so that each piece reaches
# the program as a read of its own; a program that falls behind may merge neighbours, which the
# explanation below allows a few times.
SLOTS_S = (0.04, 0.19, 0.34, 0.49, 0.64, 0.79)
MAX_MERGES = 4
SEARCH_BUDGET = 200000
CLOCKDEV_SPLIT = "2,7"
CLOCKDEV_NOISE = 40

TIME_JUMP = re.compile(r"^跳动发生！接收时间信息是：(\d+):(\d+):(\d+)  当前机器时间是：\d+:\d+:\d+  "
                       r"跳动设置是：(\d+)秒$")
DATE_JUMP = re.compile(r"^跳动发生！接收日期信息是：(\d+)-(\d+)-(\d+)  当前机器日期是：(\d+)-(\d+)-(\d+)  "
                       r"跳动设置是：(\d+)秒$")


# --- the search, as the rules give it --------------------------------------------------------

class Search:
    """The receive ring and frame search for one format: 1000 positions, the write index on the
    byte stored last, the read index on the next byte to examine; storage and indices start at
    zero. chunk() returns what one read of the program gives: the frame dumps, and the accepted
    frames."""

    LENGTH = {"TVZ_CODE": 9, "EB_CODE": 13, "ST_CODE": 12}

    def __init__(self, code_format):
        self.code_format = code_format
        self.length = self.LENGTH[code_format]
        self.ring = bytearray(RING_SIZE)
        self.write = 0
        self.read = 0

    def copy(self):
        twin = Search(self.code_format)
        twin.ring[:] = self.ring
        twin.write, twin.read = self.write, self.read
        return twin

    def _span(self):
        return (self.write - self.read) % RING_SIZE

    def _candidate(self, start):
        return bytes(self.ring[(start + k) % RING_SIZE] for k in range(self.length))

    def chunk(self, data):
        dumps, accepted = [], []
        for byte in data:
            self.write = (self.write + 1) % RING_SIZE
            if self.write == self.read:
                break  # the ring is full: the rest of the chunk is dropped, the ring empties
            self.ring[self.write] = byte
        while self.read != self.write and self.ring[self.read] != SYNC:
            self.read = (self.read + 1) % RING_SIZE
        while self.read != self.write and self._span() >= self.length - 1:
            start = self.read
            frame = self._candidate(start)
            advance = self._examine(frame, dumps, accepted)
            self.read = (start + advance) % RING_SIZE
        return dumps, accepted

    def _examine(self, frame, dumps, accepted):
        """The read position's advance for the candidate `frame`."""
        if self.code_format == "TVZ_CODE":
            if frame[0] == SYNC and frame[1] == 0x00:
                dumps.append(frame)
                accepted.append(frame)
                return 8
            return 1
        if self.code_format == "EB_CODE":
            if frame[0] == frame[1] == frame[2] == SYNC:
                dumps.append(frame)
                accepted.append(frame)
            return 11
        dumps.append(frame)  # ST_CODE shows every candidate
        if frame[11] != ST_END:
            return 2
        accepted.append(frame)
        return 11


def reads_of(pieces):
    """The program's reads of one chunk of pieces: at most 255 bytes each."""
    data = b"".join(pieces)
    return [data[i:i + READ_LIMIT] for i in range(0, len(data), READ_LIMIT)] or [b""]


class Unexplained(Exception):
    pass


def explain(code_format, pieces, logged, first_logged=0):
    """Finds reads of the written pieces (each piece a read of its own, or a few neighbours
    merged) under which the search gives exactly the logged dumps. `pieces` are
    (real ns, bytes); reads that end before piece `first_logged` came while the log was off:
    their dumps were not logged and their frames are left out of the result. Returns (merges,
    accepted frames of the logged reads with the real ns of the read that completed them)."""
    sys.setrecursionlimit(max(10000, 4 * len(pieces) + 100))
    budget = [SEARCH_BUDGET]
    deepest = {"position": -1, "detail": None}

    def walk(index, search, position, merges_left):
        if index == len(pieces):
            return [] if position == len(logged) else None
        budget[0] -= 1
        if budget[0] < 0:
            raise Unexplained("the search for an explanation ran out of steps")
        for extra in range(0, min(merges_left, len(pieces) - index - 1) + 1):
            end = index + 1 + extra
            trial = search.copy()
            got_dumps, got_frames = [], []
            for data in reads_of([p for _, p in pieces[index:end]]):
                dumps, frames = trial.chunk(data)
                got_dumps += dumps
                got_frames += frames
            if end <= first_logged:
                got_dumps, got_frames = [], []
            if got_dumps != logged[position:position + len(got_dumps)]:
                if position > deepest["position"]:
                    deepest.update(position=position,
                                   detail=(index, got_dumps[:3], logged[position:position + 3]))
                continue
            rest = walk(end, trial, position + len(got_dumps), merges_left - extra)
            if rest is not None:
                stamp = pieces[end - 1][0]
                return [(extra, [(f, stamp) for f in got_frames])] + rest
        return None

    path = walk(0, Search(code_format), 0, MAX_MERGES)
    if path is None:
        index, got, expected = deepest["detail"] or (len(pieces), [], logged[-3:])
        raise Unexplained("the log departs from the search rules after %d matching dumps, at "
                          "piece %d of %d: the rules give %s, the log has %s" % (
                              max(deepest["position"], 0), index, len(pieces),
                              [faults.hex_text(d) for d in got],
                              [faults.hex_text(d) for d in expected]))
    merges = sum(extra for extra, _ in path)
    return merges, [frame for _, frames in path for frame in frames]


# --- what the jump log must say --------------------------------------------------------------

def bcd(byte):
    return 10 * (byte >> 4) + (byte & 0x0F)


def decoded(code_format, frame):
    """(hour, minute, second), (year or None, month or None, day or None): None = absent."""
    if code_format == "EB_CODE":
        year = 2000 + frame[9] if frame[9] else None
        return (frame[5], frame[4], frame[3]), (year, frame[8] or None, frame[7] or None)
    year = 100 * bcd(frame[3]) + bcd(frame[4]) if frame[3] else None
    month = bcd(frame[5]) if frame[5] else None
    day = bcd(frame[6]) if frame[6] else None
    return (bcd(frame[8]), bcd(frame[9]), bcd(frame[10])), (year, month, day)


def damaged(code_format, frame):
    """A BCD field with a digit above 9: the program neither compares nor uses the frame."""
    if code_format == "EB_CODE":
        return False
    return any(frame[i] >> 4 > 9 or frame[i] & 0x0F > 9 for i in (3, 4, 5, 6, 8, 9, 10))


def nearest_day(record_date, hour, minute, second, pc_seconds):
    """A frame without any date takes the day that puts its time nearest the PC's."""
    if hour > 23 or minute > 59 or second > 59:
        return record_date
    ahead = hour * 3600 + minute * 60 + second - pc_seconds
    shift = -1 if ahead > 43200 else 1 if ahead < -43200 else 0
    day = datetime.date(*record_date) + datetime.timedelta(days=shift)
    return [day.year, day.month, day.day]


def expected_reports(code_format, accepted, program_offset_ns):
    """The jump-log reports the accepted frames give, in order: ("time", h, m, s) and
    ("date", y, m, d), each with a flag telling whether it may be missing (a time near the
    threshold, where the moment of handling decides). Frames handled in one read share one
    working date record, which each frame's date fields overwrite where they are present."""
    reports = []
    record_date, record_stamp = None, None
    for frame, stamp in accepted:
        if damaged(code_format, frame):
            continue
        fake = time.localtime((stamp + program_offset_ns) // harness.NS_PER_SECOND)
        if stamp != record_stamp:
            record_date = [fake.tm_year, fake.tm_mon, fake.tm_mday]
            record_stamp = stamp
        (hour, minute, second), date = decoded(code_format, frame)
        pc_seconds = fake.tm_hour * 3600 + fake.tm_min * 60 + fake.tm_sec
        difference = abs(pc_seconds - (hour * 3600 + minute * 60 + second))
        if difference > JUMP_THRESHOLD_S - 2:
            reports.append((("time", hour, minute, second),
                            difference <= JUMP_THRESHOLD_S + 2))
        if date == (None, None, None):
            record_date = nearest_day(record_date, hour, minute, second, pc_seconds)
        for field, value in enumerate(date):
            if value is not None:
                record_date[field] = value
        if tuple(record_date) != (fake.tm_year, fake.tm_mon, fake.tm_mday):
            reports.append((("date", *record_date), False))
    return reports


def logged_reports(session):
    reports = []
    for entries in faults.all_logs(session, "S").values():
        for _, text in entries:
            time_jump, date_jump = TIME_JUMP.match(text), DATE_JUMP.match(text)
            check(time_jump or date_jump, "a jump-log entry of no known form: %r", text)
            if time_jump:
                check(int(time_jump.group(4)) == JUMP_THRESHOLD_S, "threshold in %r", text)
                reports.append(("time", *(int(v) for v in time_jump.groups()[:3])))
            else:
                reports.append(("date", *(int(v) for v in date_jump.groups()[:3])))
    return reports


def check_reports(session, code_format, accepted, program_offset_ns):
    expected = expected_reports(code_format, accepted, program_offset_ns)
    logged = logged_reports(session)
    position = 0
    for report, may_be_missing in expected:
        if position < len(logged) and logged[position] == report:
            position += 1
        elif not may_be_missing:
            check(False, "jump log: expected %s as report %d, the log has %s", report, position,
                  logged[position:position + 3])
    check(position == len(logged), "jump log: %d reports more than the accepted frames give: %s",
          len(logged) - position, logged[position:position + 3])
    return len(logged)


# --- the streams -----------------------------------------------------------------------------

def to_bcd(value):
    return (value // 10) * 16 + value % 10


def build_frame(code_format, fake_second):
    t = time.localtime(fake_second)
    weekday = (t.tm_wday + 1) % 7  # 0 = Sunday
    if code_format == "EB_CODE":
        return bytes([SYNC, SYNC, SYNC, t.tm_sec, t.tm_min, t.tm_hour, weekday, t.tm_mday,
                      t.tm_mon, t.tm_year % 100, 0, 0, 0])
    return bytes([SYNC, 0x00, 0x00, to_bcd(t.tm_year // 100), to_bcd(t.tm_year % 100),
                  to_bcd(t.tm_mon), to_bcd(t.tm_mday), weekday, to_bcd(t.tm_hour),
                  to_bcd(t.tm_min), to_bcd(t.tm_sec), ST_END])


def noise(rng, length):
    """Bytes that look like frame parts: many sync and end bytes, zeros, anything else."""
    out = bytearray()
    for _ in range(length):
        roll = rng.random()
        out.append(SYNC if roll < 0.25 else 0x00 if roll < 0.35 else ST_END if roll < 0.45
                   else rng.randrange(256))
    return bytes(out)


def second_of_stream(rng, code_format, fake_second):
    """The pieces of one second, each tagged with its slot: a whole, split, truncated or (for
    EB_CODE) doubled frame in the first slots, noise in some of the others."""
    frame = build_frame(code_format, fake_second)
    roll = rng.random()
    if roll < 0.25:
        frame = frame[:rng.randrange(1, len(frame))]  # truncated
    elif roll < 0.35 and code_format == "EB_CODE":
        frame = frame + frame  # two in one read: the second is passed over
    cuts = sorted(rng.sample(range(1, len(frame)), min(len(frame) - 1, rng.randrange(3))))
    parts = [frame[a:b] for a, b in zip([0] + cuts, cuts + [len(frame)])]
    if rng.random() < 0.3:
        parts[0] = noise(rng, rng.randrange(1, 12)) + parts[0]
    pieces = list(zip(SLOTS_S, parts))
    for slot in SLOTS_S[len(parts):]:
        if rng.random() < 0.5:
            pieces.append((slot, noise(rng, rng.randrange(1, 31))))
    return pieces


def schedule(rng, code_format, first_fake_second, seconds, program_offset_ns):
    """(real ns, bytes) of every piece of the stream."""
    out = []
    for n in range(seconds):
        fake_second = first_fake_second + n
        for slot, piece in second_of_stream(rng, code_format, fake_second):
            fake_ns = fake_second * harness.NS_PER_SECOND + int(slot * 1e9)
            out.append((fake_ns - program_offset_ns, piece))
    return out


# --- the runs --------------------------------------------------------------------------------

def start(session, code_format):
    faults.write_config(session, faults.config_record(
        baud_code=faults.BAUD_CODE_9600, mode=3, points=(),
        code_format=faults.FORMAT_NUMBERS[code_format]))
    return session.set_clocks(harness.local_epoch_ns(*DAY, *START))


# What the program says of a frame it does not use: damaged (a BCD digit above 9), stale (it
# came with a newer one in the same read) or a step that waits for a confirming frame.
UNUSED_FRAME_LINE = re.compile(r"^\d\d:\d\d:\d\d\[(DAMAGED FRAME|STALE FRAME|STEP WAITS):\] ")


def logged_dumps(session):
    dumps = []
    for entries in faults.all_logs(session, "C").values():
        for _, text in entries:
            check(not faults.is_ack_line(text), "an acknowledgement with no correction due: %r",
                  text)
            if UNUSED_FRAME_LINE.match(text):
                continue
            dumps.append(bytes(int(b, 16) for b in text.split()))
    return dumps


def expect_alive(session, program, device, since_ns, what):
    """The program ran on, showing its bar and sending its time every second meanwhile."""
    check(program.running(), "%s: the program has ended", what)
    faults.bar(session, program.pid)
    frames = device.pc_times(since_ns)
    seconds = (harness.real_now_ns() - since_ns) / 1e9
    gaps = [(b[0] - a[0]) / 1e9 for a, b in zip(frames, frames[1:])]
    check(len(frames) >= seconds - 2 and gaps and max(gaps) < 2.0,
          "%s: %d PC time frames in %.0f s, longest gap %.1f s", what, len(frames), seconds,
          max(gaps) if gaps else 0)


def scripted_run(build_dir, code_format, seconds):
    with harness.Session(build_dir, "fault-noise-" + code_format.lower()) as session:
        _, program_offset = start(session, code_format)
        device = faults.ScriptedDevice(session)
        try:
            program = faults.start_program(session)
            faults.bar(session, program.pid)
            check(device.wait_opened(OPEN_TIMEOUT_S), "the program did not open its port")
            faults.choose(session, program.pid, "通讯记录")
            time.sleep(0.5)
            rng = random.Random("%d %s" % (SEED, code_format))
            harness.use_time_zone()
            first = (harness.real_now_ns() + program_offset) // harness.NS_PER_SECOND + 1
            streamed_ns = harness.real_now_ns()
            device.play(schedule(rng, code_format, first, seconds, program_offset))
            time.sleep(SETTLE_S)
            expect_alive(session, program, device, streamed_ns, code_format)
            dumps = logged_dumps(session)
            try:
                merges, accepted = explain(code_format, device.written, dumps)
            except Unexplained as failure:
                check(False, "%s: %s", code_format, failure)
            reports = check_reports(session, code_format, accepted, program_offset)
            real = {build_frame(code_format, first + n) for n in range(seconds)}
            whole = sum(1 for frame, _ in accepted if frame in real)
            print("%s: %d pieces, %d bytes, %d dumps, %d frames accepted (%d look real), "
                  "%d jump reports, %d merged reads" % (
                      code_format, len(device.written), sum(len(p) for _, p in device.written),
                      len(dumps), len(accepted), whole, reports, merges))
            check(accepted, "%s: no frame was accepted", code_format)
        finally:
            device.close()


def clockdev_pieces(device, split):
    """The pieces clockdev wrote, from its sent and noise lines, in order, and each frame's
    (bytes, index of its first piece, sent line)."""
    pieces, frame_starts = [], []
    for event in device.events:
        if event["event"] == "sent":
            frame = bytes(event["bytes"])
            frame_starts.append((frame, len(pieces), event))
            cuts = [0] + split + [len(frame)]
            pieces += [(event["received_ns"], frame[a:b]) for a, b in zip(cuts, cuts[1:])]
        elif event["event"] == "noise":
            pieces.append((event["received_ns"], bytes(event["bytes"])))
    return pieces, frame_starts


def clockdev_run(build_dir, seconds):
    with harness.Session(build_dir, "fault-noise-clockdev") as session:
        device_offset, _ = start(session, "EB_CODE")
        split = [int(v) for v in CLOCKDEV_SPLIT.split(",")]
        device = session.start_device("--format", "EB_CODE", "--baud", "9600", "--split",
                                      CLOCKDEV_SPLIT, "--noise", str(CLOCKDEV_NOISE),
                                      "--seed", str(SEED % 100000))
        program = faults.start_program(session)
        faults.bar(session, program.pid)
        check(device.wait_for("pctime", OPEN_TIMEOUT_S), "no PC time frame reached clockdev")
        # At least one frame goes out with the log still off, so that a log that was on too
        # early shows.
        check(device.wait_for("sent", OPEN_TIMEOUT_S), "clockdev sent no frame")
        switch_from_ns = harness.real_now_ns()
        faults.choose(session, program.pid, "通讯记录")
        switch_to_ns = harness.real_now_ns()
        time.sleep(seconds)
        faults.expect_alive(session, program, device, "clockdev EB_CODE with noise")
        # The device goes away just after a noise line, half a second after its last frame: the
        # hang-up discards what the program has not read yet, which by then is noise at most.
        noise_lines = len(device.of_kind("noise"))
        stop_noise = device.wait_for("noise", OPEN_TIMEOUT_S, noise_lines + 1)
        faults.stop_device(session, device)
        check(stop_noise, "clockdev sent no noise")
        check(device.events.index(stop_noise[-1]) > device.events.index(device.of_kind("sent")[-1]),
              "clockdev sent a frame while being stopped: the test stalled for half a second")
        time.sleep(SETTLE_S)
        dumps = logged_dumps(session)
        check(dumps, "nothing in the communication log")
        pieces, frame_starts = clockdev_pieces(device, split)
        # The log was switched on while frames came: its first dump names the first logged read.
        first = next((index for frame, index, _ in frame_starts if frame == dumps[0]), None)
        check(first is not None, "the first logged dump %s was never sent",
              faults.hex_text(dumps[0]))
        # That read lies in the switch's window: a frame whose sent line (printed once its last
        # piece was written) came before the menu was opened was read with the log off; one
        # whose first piece went out (clockdev's t, on the device clock) after the menu had
        # closed was read with the log on.
        earliest = next((index for _, index, event in frame_starts
                         if event["received_ns"] > switch_from_ns), len(pieces))
        latest = next((index for _, index, event in frame_starts
                       if event["t_ms"] * harness.NS_PER_MS - device_offset > switch_to_ns),
                      len(pieces))
        check(earliest <= first <= latest, "clockdev EB_CODE: the log begins with %s, sent "
              "%s the log was switched on", faults.hex_text(dumps[0]),
              "before" if first < earliest else "well after")
        try:
            merges, accepted = explain("EB_CODE", pieces, dumps, first_logged=first)
        except Unexplained as failure:
            check(False, "clockdev EB_CODE: %s", failure)
        check(not faults.all_logs(session, "S") or not any(faults.all_logs(session, "S").values()),
              "jump reports for frames at the right time")
        sent_after = sum(1 for _, index, _ in frame_starts if index >= first)
        check(len(accepted) == sent_after, "clockdev EB_CODE: %d frames sent with the log on, "
              "%d accepted, %d merged reads", sent_after, len(accepted), merges)
        print("clockdev EB_CODE: %d frames sent with the log on, %d dumps logged, %d merged "
              "reads" % (sent_after, len(dumps), merges))


def test(build_dir):
    seconds = {name: max(3, int(round(TOTAL_SECONDS * share))) for name, share in SHARES.items()}
    clockdev_run(build_dir, seconds["clockdev EB_CODE"])
    scripted_run(build_dir, "ST_CODE", seconds["scripted ST_CODE"])
    scripted_run(build_dir, "EB_CODE", seconds["scripted EB_CODE"])


if __name__ == "__main__":
    faults.run_fault_test(test)
