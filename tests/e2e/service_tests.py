#!/usr/bin/env python3
# End-to-end tests of the service zrqd: no display, the simulated device on a pseudo-terminal,
# the fake clock with the clock capability dropped, and systemd's side played by a notify socket
# of the test's own. Usage: service_tests.py --build-dir DIR CASE  (0 pass, 1 fail, 77 skipped).
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import e2e_harness as h  # noqa: E402
import e2e_tests as desktop  # noqa: E402
import faults_support as faults  # noqa: E402
from e2e_tests import Failure, expect, test_day_at  # noqa: E402

CORRECTION_SECOND = desktop.CORRECTION_SECOND
EXIT_LIMIT_S = 1.0
SECOND_COPY_TEXT = "Horivo程序已经在运行！"
PORT_OPEN_FAILED = "串口打开失败！原因是串口不存在或者串口已被其他程序占用！"
PORT_KEPT = "所改端口不能打开！系统采用原来端口！"
PORT_RETRY_S = 5
UNSAFE_FOLDER_TEXT = "工作目录可被其他用户写入，程序不能安全使用："


class Notifications:
    """The service's sd_notify messages, read from a datagram socket in the run's directory that
    NOTIFY_SOCKET names."""

    def __init__(self, folder):
        self.path = os.path.join(folder, "notify.sock")
        self.messages = []
        self._changed = threading.Condition()
        self._socket = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self._socket.bind(self.path)
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        while True:
            try:
                data = self._socket.recv(4096)
            except OSError:
                return
            with self._changed:
                self.messages.append(data.decode("utf-8", "replace"))
                self._changed.notify_all()

    def env(self):
        return {"NOTIFY_SOCKET": self.path}

    def wait_for(self, pattern, timeout, after=0):
        """The first message from index `after` on with a line matching `pattern`, or None."""
        regex = re.compile(pattern, re.M)
        deadline = time.monotonic() + timeout
        with self._changed:
            while True:
                for message in self.messages[after:]:
                    if regex.search(message):
                        return message
                left = deadline - time.monotonic()
                if left <= 0:
                    return None
                self._changed.wait(left)

    def count(self):
        with self._changed:
            return len(self.messages)

    def close(self):
        self._socket.close()


def start_service(session, notify, extra_env=None):
    program = session.start_program(extra_env=dict(notify.env(), **(extra_env or {})))
    ready = notify.wait_for(r"^READY=1$", h.START_TIMEOUT_S)
    expect(ready is not None, "no READY=1 from zrqd; output:\n" + program.output())
    return program


def run_zrqd(session, *args):
    """zrqd with options (--set, --show) in the working directory, through the same safeguards
    as the service itself; returns (status, output)."""
    program = session.start_program(args=args)
    status = program.wait_exit(h.START_TIMEOUT_S)
    expect(status is not None, "zrqd %s did not end" % " ".join(args))
    return status, program.output()


def config(session):
    return faults.read_bytes(session.file(faults.CONFIG_FILE))


NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"]
ZRQCTL_TIMEOUT_S = 5.0


def zrqctl(session, bus, *args, user=()):
    """The build's zrqctl on the run's private bus, as root or (`user` NOBODY) as nobody;
    returns (status, standard output and error)."""
    program = os.path.join(session.build_dir, "zrqctl")
    done = subprocess.run([*user, program, *args], env=dict(session.display_env(), **bus.env()),
                          capture_output=True, text=True, timeout=ZRQCTL_TIMEOUT_S)
    return done.returncode, done.stdout + done.stderr


def monitor_lines(session, bus, seconds):
    """What `zrqctl monitor` shows in `seconds`, ended as by Ctrl+C."""
    program = os.path.join(session.build_dir, "zrqctl")
    monitor = subprocess.Popen([program, "monitor"], env=dict(session.display_env(), **bus.env()),
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    time.sleep(seconds)
    os.kill(monitor.pid, signal.SIGINT)
    output, _ = monitor.communicate(timeout=ZRQCTL_TIMEOUT_S)
    return output.splitlines()


# --- cases -------------------------------------------------------------------------------------

def test_frames_and_correction(session, notify):
    """Without a display: READY=1, one PC time frame a second on the fake clock, the scheduled
    correction at second 31 with its 55 AA and a status line that tells of it, the watchdog's
    beat once a second when asked for; and no Qt library in the program."""
    linked = subprocess.run(["ldd", session.program], capture_output=True, text=True).stdout
    expect("Qt" not in linked, "zrqd links Qt:\n" + linked)

    ahead_ns = 2400 * h.NS_PER_MS  # within the jump threshold, so the correction is made
    device_offset, program_offset = session.set_clocks(test_day_at(10, 0, 24), ahead_ns)
    device = session.start_device()
    # As systemd's WatchdogSec=30 tells the service.
    program = start_service(session, notify, {"WATCHDOG_USEC": "30000000"})

    frames = device.wait_for("pctime", timeout=6.0, count=4)
    expect(frames, "fewer than 4 PC time frames in 6 s")
    mismatches = desktop.pc_time_mismatches(device, device_offset, program_offset)
    expect(all(abs(d) <= desktop.PC_TIME_TOLERANCE_MS for d in mismatches),
           "PC time frames differ from the program's clock by (ms): %s" % mismatches)
    arrivals = [e["t_ms"] for e in frames[1:]]
    gaps = [b - a for a, b in zip(arrivals, arrivals[1:])]
    expect(all(800 <= g <= 1200 for g in gaps), "frame spacing (ms): %s" % gaps)

    frame, _, _ = desktop.check_correction(session, device, device_offset, program_offset)
    expect(frame["time"].endswith(":%02d" % CORRECTION_SECOND),
           "corrected on the frame for %s" % frame["time"])
    expect(notify.wait_for(r"^STATUS=green: .*last correction .* offset [-+]\d+\.\d{3} ms, set$",
                           3.0), "no status line of the correction: %s" % notify.messages[-5:])
    expect(desktop.jump_logs(session) == [], "jump log written: %s" % desktop.jump_logs(session))
    beats = [m for m in notify.messages if m == "WATCHDOG=1"]
    seconds = len(device.of_kind("pctime"))
    expect(seconds - 2 <= len(beats) <= seconds + 1,
           "%d watchdog beats in %d seconds of PC time frames" % (len(beats), seconds))
    expect(program.running(), "zrqd ended")


def jump_entries(session):
    return [text for found in faults.all_logs(session, "S").values() for _, text in found]


def test_jump_and_correct_now(session, notify):
    """Frames 20 s behind: a jump-log entry per frame, a yellow status and no correction at
    second 31; a threshold of 30 s read again on SIGHUP ends the jump; SIGUSR1 then corrects at
    the next frame."""
    device_offset, program_offset = session.set_clocks(test_day_at(10, 0, 45))
    device = session.start_device("--offset", "-20", "--delay-ms", "200")
    program = start_service(session, notify)
    expect(notify.wait_for(r"^STATUS=yellow: ", 8.0), "no yellow status: %s" % notify.messages)

    # The frames for seconds 25..31 arrive in the first seconds; 31 is a correction moment.
    moment = session.wait_until(lambda: [e for e in device.of_kind("sent")
                                         if e["time"].endswith(":%02d" % CORRECTION_SECOND)], 12.0)
    expect(moment, "no frame for second %d" % CORRECTION_SECOND)
    time.sleep(1.2)
    entries = jump_entries(session)
    expect(entries, "no jump-log entry for frames 20 s behind")
    expect(all(t.startswith("跳动发生！接收时间信息是：") and t.endswith("跳动设置是：3秒")
               for t in entries), "jump-log entries: %s" % entries)
    expect(not device.of_kind("ack"), "corrected despite the jump")
    expect(h.read_clock_offset(session.clock_file) == program_offset, "the fake clock was set")

    # A threshold above the difference, read again on SIGHUP: no jump any more.
    status, output = run_zrqd(session, "--set", "threshold=30")
    expect(status == 0, "--set threshold=30 ended with %s:\n%s" % (status, output))
    mark = notify.count()
    os.kill(program.pid, signal.SIGHUP)
    expect(notify.wait_for(r"^STATUS=green: ", 4.0, after=mark),
           "no green status with the threshold at 30 s: %s" % notify.messages[mark:])
    logged = len(jump_entries(session))
    time.sleep(2.2)
    expect(len(jump_entries(session)) == logged, "jumps logged with the threshold at 30 s")

    sent_before = len(device.of_kind("sent"))
    os.kill(program.pid, signal.SIGUSR1)
    desktop.check_correction(session, device, device_offset, program_offset,
                             carried_ahead_s=-20, delay_ms=200)
    ack = device.of_kind("ack")[0]
    first_after = [e for e in device.of_kind("sent")[sent_before:] if e["t_ms"] <= ack["t_ms"]]
    expect(len(first_after) <= 1, "the correction waited for %d frames" % len(first_after))
    time.sleep(1.2)
    expect(len(device.of_kind("ack")) == 1, "one request, several corrections")
    expect(notify.wait_for(r"^STATUS=green: ", 3.0), "no green status after the correction")


def test_reload_format(session, notify):
    """`--set` with a bad value changes nothing (status 2); `--set format=EB_CODE` and SIGHUP
    switch the running service to EB_CODE at 9600 bit/s, which it then decodes."""
    session.set_clocks(test_day_at(10, 0, 10))
    faults.write_config(session, faults.config_record(mode=3, points=()))  # no correction
    before = config(session)
    for bad in (["fine=1000"], ["baud=19200"], ["port=0"], ["format=XX"], ["schedule=hour:60:00"],
                ["schedule=daily:" + ",".join("01:00:%02d" % s for s in range(25))],
                ["threshold=1"], ["nokey=1"], ["fine=5", "threshold=60"]):
        status, output = run_zrqd(session, "--set", *bad)
        expect(status == 2, "--set %s ended with %s:\n%s" % (bad, status, output))
        expect("nothing was changed" in output, "--set %s said: %s" % (bad, output))
        expect(config(session) == before, "--set %s changed the file" % bad)

    device = session.start_device()
    program = start_service(session, notify)
    expect(notify.wait_for(r"^STATUS=green: ", 6.0), "no green status with TVZ_CODE frames")

    # The device switches to EB_CODE at 9600 bit/s on a new pseudo-terminal behind COM1.
    faults.stop_device(session, device)
    status, output = run_zrqd(session, "--set", "format=EB_CODE")
    expect(status == 0, "--set format=EB_CODE ended with %s:\n%s" % (status, output))
    record = config(session)
    expect(record[217] == 2 and record[1] == faults.BAUD_CODE_9600,
           "the file holds format %d, rate code %d" % (record[217], record[1]))
    device = session.start_device("--format", "EB_CODE", "--baud", "9600")
    expect(notify.wait_for(r"^STATUS=red: ", 8.0), "no red status while the device was away")

    mark = notify.count()
    os.kill(program.pid, signal.SIGHUP)
    expect(device.wait_for("open", timeout=4.0), "the service did not reopen COM1 after SIGHUP")
    expect(notify.wait_for(r"^STATUS=green: .*last frame", 8.0, after=mark),
           "no green status from EB_CODE frames: %s" % notify.messages[mark:])
    # A decoded frame is what a correction needs: asked for now, it comes at the next frame.
    os.kill(program.pid, signal.SIGUSR1)
    expect(device.wait_for("ack", timeout=3.0), "no correction from EB_CODE frames")
    record = config(session)
    expect(record[217] == 2 and record[1] == faults.BAUD_CODE_9600,
           "after the switch the file holds format %d, rate code %d" % (record[217], record[1]))
    expect(program.running(), "zrqd ended")


def test_port_retry(session, notify):
    """A port that cannot be opened is said once and tried again every 5 s, silently; once its
    device is there the service opens it, says so once, and works."""
    session.set_clocks(test_day_at(10, 0, 10))
    # Port 200 names only the working directory's COM200, so nothing else is ever opened.
    faults.write_config(session, faults.config_record(port=200, mode=3, points=()))
    program = start_service(session, notify)
    time.sleep(2 * PORT_RETRY_S + 1)  # two silent retries
    expect(program.running(), "zrqd ended without its port")
    device = faults.start_device_on(session, "COM200")
    expect(device.wait_for("open", timeout=PORT_RETRY_S + 2.0), "the port was not tried again")
    expect(notify.wait_for(r"^STATUS=green: .*COM200;", 6.0), "no green status on COM200: %s" %
           notify.messages[-3:])
    output = program.output()
    expect(output.count(PORT_OPEN_FAILED) == 1, "the failure was said %d times:\n%s" %
           (output.count(PORT_OPEN_FAILED), output))
    expect(output.count("COM200 已打开") == 1, "the opening was said %d times:\n%s" %
           (output.count("COM200 已打开"), output))


def test_line_lost_and_back(session, notify):
    """The device's pseudo-terminal closes: the loss is said once, the status turns red and the
    service waits idle; COM1 made again to a new one is taken up within 10 s by the retry, said
    once, and the status is green with frames again. No box text either way."""
    session.set_clocks(test_day_at(10, 0, 10))
    faults.write_config(session, faults.config_record(mode=3, points=()))  # no correction
    first = session.start_device()
    program = start_service(session, notify)
    expect(notify.wait_for(r"^STATUS=green: ", 6.0), "no green status with the device")

    mark = notify.count()
    faults.stop_device(session, first)
    expect(notify.wait_for(r"^STATUS=red: ", 8.0, after=mark), "no red status while the device "
           "was away: %s" % notify.messages[mark:])
    before = h.cpu_seconds(program.pid)
    time.sleep(10.0)
    used = h.cpu_seconds(program.pid) - before
    print("CPU while the line is away: %.2f s in 10 s" % used)
    expect(used <= h.IDLE_CPU_SHARE * 10.0, "%.2f s of CPU in 10 s while the line was away" % used)
    output = program.output()
    expect(output.count(h.LINE_LOST_TEXT) == 1, "the loss was said %d times:\n%s" %
           (output.count(h.LINE_LOST_TEXT), output))

    mark = notify.count()
    second = session.start_device()
    expect(second.wait_for("pctime", timeout=10.0), "the new line was not taken up within 10 s")
    expect(notify.wait_for(r"^STATUS=green: .*last frame", 6.0, after=mark),
           "no green status after the device came back: %s" % notify.messages[mark:])
    expect(second.wait_for("pctime", timeout=3.0, count=3), "frames stopped on the new line")
    output = program.output()
    expect(output.count(h.LINE_BACK_TEXT) == 1, "the return was said %d times:\n%s" %
           (output.count(h.LINE_BACK_TEXT), output))
    expect(PORT_OPEN_FAILED not in output, "a port failure was said:\n%s" % output)
    expect(program.running(), "zrqd ended")


def test_refused_correct_now(session, notify):
    """SIGUSR1 while the system refuses the set: one attempt, refused, one offset-record line;
    the request is used up and the status is yellow."""
    refuse_file = session.file("refuse-sets")
    open(refuse_file, "w").close()
    session.set_clocks(test_day_at(10, 0, 10))
    faults.write_config(session, faults.config_record(mode=3, points=()))  # no schedule
    device = session.start_device()
    program = start_service(session, notify, {h.REFUSE_FILE_ENV: refuse_file})
    expect(notify.wait_for(r"^STATUS=green: ", 6.0), "no green status with the device")

    os.kill(program.pid, signal.SIGUSR1)
    expect(session.wait_until(lambda: desktop.refusals(session), 3.0), "no refused attempt")
    expect(notify.wait_for(r"^STATUS=yellow: .*CAP_SYS_TIME", 3.0),
           "no yellow status naming the missing right: %s" % notify.messages[-3:])
    frames = len(device.of_kind("sent"))
    expect(device.wait_for("sent", timeout=4.0, count=frames + 3), "frames stopped")
    expect(len(desktop.refusals(session)) == 1, "one request, %d attempts" %
           len(desktop.refusals(session)))
    records = [n for n in os.listdir(session.workdir) if re.match(r"^\d{6}O\.csv$", n)]
    expect(len(records) == 1, "offset records: %s" % records)
    with open(session.file(records[0]), encoding="utf-8") as record:
        lines = record.read().splitlines()[1:]
    expect(len(lines) == 1, "offset-record lines: %s" % lines)
    expect(not device.of_kind("ack"), "acknowledged a refused set")


def test_second_copy_and_exit(session, notify):
    """A second zrqd is refused ("Horivo程序已经在运行！", status 1) while the first keeps its
    port; SIGTERM ends the first within a second with status 0 and the port free again."""
    session.set_clocks(test_day_at(10, 0, 40))
    device = session.start_device("--listen-only")
    first = start_service(session, notify)
    expect(device.wait_for("pctime", timeout=4.0, count=2), "no PC time frames")

    status, output = run_zrqd(session)
    expect(status == 1, "the second copy ended with %s:\n%s" % (status, output))
    expect(SECOND_COPY_TEXT in output, "the second copy said: %r" % output)
    expect(first.running() and not device.of_kind("hangup"), "the first copy lost its port")
    # The lock the desktop program takes too, so that each refuses the other.
    lock_file = h.SYSTEM_LOCK_FILE
    if not os.path.isdir(os.path.dirname(lock_file)):
        lock_file = os.path.join(session.workdir, "runtime", "zrq.lock")
    expect(h.single_instance_lock_held(lock_file), "zrqd does not hold the lock %s" % lock_file)

    os.kill(first.pid, signal.SIGTERM)
    sent = time.monotonic()
    status = first.wait_exit(EXIT_LIMIT_S + 2.0)
    took = time.monotonic() - sent
    expect(status == 0, "SIGTERM gave status %s; output:\n%s" % (status, first.output()))
    expect(took <= EXIT_LIMIT_S, "the exit took %.2f s" % took)
    expect(notify.wait_for(r"^STOPPING=1$", 1.0), "no STOPPING=1")
    expect(device.wait_for("hangup", timeout=2.0), "the device saw no hangup")
    expect(not h.single_instance_lock_held(), "the lock is still held")
    # The port is free: a new copy opens it and sends its frames.
    frames = len(device.of_kind("pctime"))
    start_service(session, notify)
    expect(device.wait_for("pctime", timeout=4.0, count=frames + 2),
           "a new copy could not use the port")


def test_lock_refused(session, notify):
    """/run/zrq exists but its lock cannot be opened (here a folder stands in the lock file's
    place, in a mount namespace of the test's own): zrqd names the path and the reason and ends
    with status 1 instead of running on a private lock."""
    session.set_clocks(test_day_at(10, 0, 40))
    device = session.start_device("--listen-only")
    lock_file = h.SYSTEM_LOCK_FILE
    prepare = "mount -t tmpfs zrq-e2e /run && mkdir -p %s && exec \"$@\"" % lock_file
    argv = ["unshare", "-m", "--propagation", "private", "--", "sh", "-c", prepare, "sh",
            "setpriv", *h.CAP_DROP_OPTIONS, "--", session.program]
    env = dict(os.environ, LD_PRELOAD=session.preload, **{h.CLOCK_FILE_ENV: session.clock_file})
    try:
        ran = subprocess.run(argv, cwd=session.workdir, env=env, capture_output=True,
                             timeout=h.START_TIMEOUT_S)
    except subprocess.TimeoutExpired:
        raise Failure("zrqd did not end with its lock refused")
    output = ran.stderr.decode("utf-8", "replace")
    if ran.returncode != 1 and "mount" in output:
        raise h.Skip("no private mount namespace here: %s" % output)
    expect(ran.returncode == 1, "zrqd ended with %s:\n%s" % (ran.returncode, output))
    expect(re.search(r"^zrqd: .*%s" % re.escape(lock_file), output, re.M),
           "the refusal does not name the lock file:\n%s" % output)
    expect(not device.of_kind("open"), "zrqd opened its port")


def test_damaged_frames_correct_now(session, notify):
    """Frames 20 s behind whose second byte holds a BCD digit above 9 (1A): SIGUSR1 asks for a
    correction, and no frame makes it: no 55 AA, the fake clock stays where it was, the service
    goes on."""
    _, program_offset = session.set_clocks(test_day_at(10, 0, 45))
    device = session.start_device("--offset", "-20", "--field", "second=0x1A")
    program = start_service(session, notify)
    expect(device.wait_for("sent", timeout=4.0, count=2), "no frames")
    os.kill(program.pid, signal.SIGUSR1)
    sent = len(device.of_kind("sent"))
    expect(device.wait_for("sent", timeout=5.0, count=sent + 3), "frames stopped")
    time.sleep(0.5)
    expect(not device.of_kind("ack"), "corrected from damaged frames: %s" % device.of_kind("ack"))
    expect(h.read_clock_offset(session.clock_file) == program_offset,
           "the fake clock was moved by a damaged frame")
    expect(program.running(), "zrqd ended")


def test_acl_working_directory(session, notify):
    """A working directory whose access control list lets another user (nobody) write is
    refused like a world-writable one: the message, status 1, the port never opened."""
    if shutil.which("setfacl") is None:
        raise h.Skip("no setfacl (Debian's acl package)")
    session.set_clocks(test_day_at(10, 0, 40))
    device = session.start_device("--listen-only")
    granted = subprocess.run(["setfacl", "-m", "u:nobody:rwx", session.workdir],
                             capture_output=True, timeout=h.START_TIMEOUT_S)
    if granted.returncode != 0:
        raise h.Skip("no ACLs on this file system: %s" % granted.stderr.decode(errors="replace"))
    status, output = run_zrqd(session)
    expect(status == 1, "zrqd ended with %s in a folder nobody may write:\n%s" % (status, output))
    expect(UNSAFE_FOLDER_TEXT in output, "zrqd said: %r" % output)
    expect(not device.of_kind("open") and not device.of_kind("pctime"), "zrqd used its port")


def test_paused_around_correction(session, notify):
    """The service stopped from second 29.5 to 32.9 (a loaded or paused machine): the frames of
    seconds 30 to 32 wait in the line and come in one read, where the frame of the correction
    second is more than a second old. The clock ends within 0.2 s of the device's: corrected
    from a fresh frame, or not at all, never from the stale one."""
    device_offset, _ = session.set_clocks(test_day_at(10, 0, 26))
    device = session.start_device()
    program = start_service(session, notify)
    sent = session.wait_until(
        lambda: [e for e in device.of_kind("sent") if e["time"].endswith(":29")], 8.0)
    expect(sent, "no frame for second 29")
    time.sleep(0.5)
    os.kill(program.pid, signal.SIGSTOP)
    try:
        time.sleep(3.4)
    finally:
        os.kill(program.pid, signal.SIGCONT)
    time.sleep(3.0)
    ahead_ms = (h.read_clock_offset(session.clock_file) - device_offset) / h.NS_PER_MS
    expect(abs(ahead_ms) <= 200, "after the stall the clock is %.1f ms off the device's" % ahead_ms)
    expect(program.running(), "zrqd ended")


def test_bus_control(session, notify):
    """On a private bus with the package's policy: zrqd owns org.horivo.Zrq1; nobody reads its
    lamp but is refused correct-now and set, which change nothing; `zrqctl monitor` shows the
    frame lines; `zrqctl correct-now` corrects at the next frame with its 55 AA; `zrqctl set
    format=EB_CODE` switches the running service at once, without SIGHUP, and is saved."""
    session.set_clocks(test_day_at(10, 0, 10))
    faults.write_config(session, faults.config_record(mode=3, points=()))  # no correction
    before = config(session)
    with h.PrivateBus() as bus:
        device = session.start_device()
        program = start_service(session, notify, bus.env())
        expect(notify.wait_for(r"^STATUS=green: ", 6.0), "no green status with TVZ_CODE frames")

        status, output = zrqctl(session, bus, "status", user=NOBODY)
        expect(status == 0 and re.search(r"^lamp +green$", output, re.M),
               "nobody's zrqctl status (%s):\n%s\nbus: %s" % (status, output, bus.log()))
        _, shown = zrqctl(session, bus, "show")
        for command in (["correct-now"], ["set", "format=EB_CODE"], ["set", "jumplog=off"]):
            status, output = zrqctl(session, bus, *command, user=NOBODY)
            expect(status != 0, "nobody's zrqctl %s ended with 0:\n%s" % (command, output))
        status, output = zrqctl(session, bus, "show")
        expect(status == 0 and re.search(r"^jumplog +on", output, re.M) and output == shown,
               "nobody changed what zrqctl show shows: %s" % output)
        time.sleep(1.2)
        expect(not device.of_kind("ack"), "nobody made the service correct")
        expect(config(session) == before, "nobody changed the settings file")

        lines = monitor_lines(session, bus, 2.5)
        expect(len(lines) >= 2, "zrqctl monitor showed: %s" % lines)

        status, output = zrqctl(session, bus, "correct-now")
        expect(status == 0, "zrqctl correct-now ended with %s:\n%s" % (status, output))
        expect(device.wait_for("ack", timeout=3.0), "no correction after zrqctl correct-now")

        # A port that cannot be opened (COM200 names nothing): the service keeps COM1, says why
        # and applies nothing else of the change.
        before = config(session)
        status, output = zrqctl(session, bus, "set", "port=200", "fine=5")
        expect(status != 0 and PORT_KEPT in output,
               "zrqctl set port=200 ended with %s:\n%s" % (status, output))
        expect(config(session) == before, "the failed change was saved")
        _, output = zrqctl(session, bus, "show")
        expect(re.search(r"^port +1 ", output, re.M) and re.search(r"^fine +135 ", output, re.M),
               "after the failed change zrqctl show says:\n" + output)
        frames = len(device.of_kind("sent"))
        expect(device.wait_for("sent", timeout=3.0, count=frames + 2), "COM1 was let go")

        # The device switches to EB_CODE at 9600 bit/s on a new pseudo-terminal behind COM1.
        faults.stop_device(session, device)
        device = session.start_device("--format", "EB_CODE", "--baud", "9600")
        mark = notify.count()
        status, output = zrqctl(session, bus, "set", "format=EB_CODE")
        expect(status == 0, "zrqctl set format=EB_CODE ended with %s:\n%s" % (status, output))
        record = config(session)
        expect(record[217] == 2 and record[1] == faults.BAUD_CODE_9600,
               "the file holds format %d, rate code %d" % (record[217], record[1]))
        expect(device.wait_for("open", timeout=4.0), "the service did not reopen COM1")
        expect(notify.wait_for(r"^STATUS=green: .*last frame", 8.0, after=mark),
               "no green status from EB_CODE frames: %s" % notify.messages[mark:])
        status, output = zrqctl(session, bus, "status")
        expect(re.search(r"^format +EB_CODE$", output, re.M), "zrqctl status:\n" + output)
        expect(program.running(), "zrqd ended")


CASES = {
    "frames_and_correction": test_frames_and_correction,
    "jump_and_correct_now": test_jump_and_correct_now,
    "reload_format": test_reload_format,
    "port_retry": test_port_retry,
    "line_lost_and_back": test_line_lost_and_back,
    "refused_correct_now": test_refused_correct_now,
    "second_copy_and_exit": test_second_copy_and_exit,
    "damaged_frames_correct_now": test_damaged_frames_correct_now,
    "lock_refused": test_lock_refused,
    "acl_working_directory": test_acl_working_directory,
    "paused_around_correction": test_paused_around_correction,
    "bus_control": test_bus_control,
}


def main():
    def run(build_dir, case):
        desktop.isolate_lock_namespace()
        with h.Session(build_dir, "zrqd-" + case, program="zrqd", display=False) as session:
            notify = Notifications(session.workdir)
            try:
                CASES[case](session, notify)
            finally:
                notify.close()

    return h.run_case_main(CASES, run, failures=(Failure, faults.FaultFailure))


if __name__ == "__main__":
    sys.exit(main())
