# Harness for end-to-end runs of the real programs: a private X display (for the desktop program;
# the service zrqd runs without one), the simulated clock device on a pseudo-terminal, the
# program on a fake clock with the clock capability dropped, screenshots, pixels and the pop-up
# menu driven through the X server, and a system bus of the run's own.
import argparse
import fcntl
import os
import re
import shutil
import signal
import subprocess
import tempfile
import threading
import time
import traceback

# ctest's skip code: the program (or a tool the run needs) is not there.
SKIP_RETURN_CODE = 77

SCREEN_WIDTH = 1280
SCREEN_HEIGHT = 800
BAR_WIDTH = 185
BAR_HEIGHT = 17
BAR_LEFT = SCREEN_WIDTH - BAR_WIDTH - 80
BAR_TOP = 0

# Every process of a run sees this zone unless the run names another: eight hours east of UTC, no
# daylight saving, no tzdata.
TIME_ZONE = "CST-8"

NS_PER_SECOND = 1_000_000_000
NS_PER_MS = 1_000_000

CAP_SYS_TIME_BIT = 25
# The program's single-instance lock: a file in /run/zrq when that folder exists (one lock for
# the whole machine), else in $XDG_RUNTIME_DIR (each run has its own), else the abstract Unix
# socket "ZRQ" (per network namespace).
SYSTEM_LOCK_FILE = "/run/zrq/zrq.lock"
LOCK_NAME = "ZRQ"
CAP_DROP_OPTIONS = ("--inh-caps=-sys_time", "--bounding-set=-sys_time")
# The other safe start: a user namespace of its own, mapped to root, where every capability is
# held but CAP_SYS_TIME cannot reach the machine's clock (only the first namespace's can).
USER_NAMESPACE_OPTIONS = ("-Ur",)
PRELOAD_NAME = "libzrqfakeclock.so"
CLOCK_FILE_ENV = "ZRQ_FAKE_CLOCK_FILE"
# While a file exists at the path this names, the fake-clock library refuses every set (EPERM).
REFUSE_FILE_ENV = "ZRQ_FAKE_CLOCK_REFUSE_FILE"

START_TIMEOUT_S = 10.0
STOP_TIMEOUT_S = 3.0
WINDOW_TIMEOUT_S = 8.0
POLL_INTERVAL_S = 0.05
# Pause after an input event so that the program has drawn its answer.
SETTLE_S = 0.4


# What both programs say (standard error and the journal) when COM1's line hangs up and when it
# is taken up again; the port is tried every LINE_RETRY_S seconds meanwhile.
LINE_LOST_TEXT = "COM1: 连接中断，每 5 秒重试"
LINE_BACK_TEXT = "COM1: 连接已恢复"
LINE_RETRY_S = 5
# While the line is away the program waits: at most this share of one core.
IDLE_CPU_SHARE = 0.01


class HarnessError(Exception):
    """The run could not be set up as intended (not a finding about the program)."""


class UnsafeLaunch(HarnessError):
    """A program start that could reach the machine's real clock."""


class Skip(Exception):
    """The run cannot take place here; ctest reports it as skipped."""


def real_now_ns():
    return time.clock_gettime_ns(time.CLOCK_REALTIME)


def use_time_zone(zone=TIME_ZONE):
    """Makes this process read local times in the zone the program and the device use."""
    os.environ["TZ"] = zone
    time.tzset()


def local_epoch_ns(year, month, day, hour, minute, second, ms=0):
    """Nanoseconds since 1970 of a local time of TIME_ZONE."""
    use_time_zone()
    seconds = time.mktime((year, month, day, hour, minute, second, 0, 0, -1))
    return int(seconds) * NS_PER_SECOND + ms * NS_PER_MS


def write_clock_offset(path, offset_ns):
    """Writes a fake clock offset file (fake minus real CLOCK_REALTIME, ns) by rename, so that
    the preload library and clockdev never read half a line."""
    temp = path + ".new"
    with open(temp, "w", encoding="ascii") as out:
        out.write("%d\n" % offset_ns)
    os.replace(temp, path)


def read_clock_offset(path):
    """The offset in the file, or 0 when there is none (the fake clock then runs real)."""
    try:
        with open(path, encoding="ascii") as source:
            return int(source.read().strip())
    except FileNotFoundError:
        return 0


def offset_to_read(target_ns):
    """The offset that makes a fake clock read `target_ns` now."""
    return target_ns - real_now_ns()


def check_safe_launch(argv, env, clock_dir):
    """Refuses a program start that lacks the capability drop or the fake clock: the command
    must run through setpriv dropping CAP_SYS_TIME from the inheritable and bounding sets, or
    through unshare into a user namespace of its own, and the environment must preload the
    fake-clock library with its offset file inside the run's directory."""
    launcher = os.path.basename(argv[0]) if argv else ""
    needed_options = {"setpriv": CAP_DROP_OPTIONS, "unshare": USER_NAMESPACE_OPTIONS}
    if launcher not in needed_options:
        raise UnsafeLaunch("the program must be started through setpriv or unshare: %r" %
                           (argv,))
    try:
        end_of_options = argv.index("--")
    except ValueError:
        raise UnsafeLaunch("%s's options must end with --: %r" % (launcher, argv)) from None
    options = argv[1:end_of_options]
    for needed in needed_options[launcher]:
        if needed not in options:
            raise UnsafeLaunch("%s lacks %s: %r" % (launcher, needed, argv))
    if end_of_options + 1 >= len(argv):
        raise UnsafeLaunch("no program after %s's options: %r" % (launcher, argv))
    preload = env.get("LD_PRELOAD", "")
    libraries = [p for p in re.split(r"[: ]+", preload) if p]
    if not any(os.path.basename(p) == PRELOAD_NAME and os.path.isabs(p) and os.path.isfile(p)
               for p in libraries):
        raise UnsafeLaunch("LD_PRELOAD does not name an existing %s: %r" % (PRELOAD_NAME, preload))
    clock_file = env.get(CLOCK_FILE_ENV, "")
    if not clock_file or os.path.dirname(os.path.abspath(clock_file)) != os.path.abspath(clock_dir):
        raise UnsafeLaunch("%s must name a file in %s, got %r" % (CLOCK_FILE_ENV, clock_dir,
                                                                  clock_file))


def capability_masks(pid):
    """The capability masks of a running process (CapEff, CapPrm, CapBnd, CapAmb, CapInh) and
    its NoNewPrivs flag."""
    masks = {}
    with open("/proc/%d/status" % pid, encoding="ascii") as status:
        for line in status:
            key, _, value = line.partition(":")
            if key in ("CapEff", "CapPrm", "CapBnd", "CapAmb", "CapInh"):
                masks[key] = int(value.strip(), 16)
            elif key == "NoNewPrivs":
                masks[key] = int(value.strip())
    return masks


def child_pids(pid):
    """The processes whose parent is `pid`."""
    children = []
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % name, encoding="ascii", errors="replace") as stat:
                fields = stat.read().rpartition(")")[2].split()
        except OSError:
            continue
        if fields and int(fields[1]) == pid:
            children.append(int(name))
    return children


def cpu_seconds(pid):
    """User and system time used so far by `pid` and its children (the bar's privileged part),
    from /proc/PID/stat."""
    ticks = 0
    for one in [pid] + child_pids(pid):
        try:
            with open("/proc/%d/stat" % one, encoding="ascii", errors="replace") as stat:
                fields = stat.read().rpartition(")")[2].split()
        except OSError:
            continue
        ticks += int(fields[11]) + int(fields[12])  # utime, stime
    return ticks / os.sysconf("SC_CLK_TCK")


def in_own_user_namespace(pid):
    """Whether a process runs in a user namespace other than this one's."""
    return os.readlink("/proc/%d/ns/user" % pid) != os.readlink("/proc/self/ns/user")


def check_running_safely(pid, program_path, user_namespace=False):
    """Checks, once setpriv (or unshare) has handed over to the program, that the running
    program has no CAP_SYS_TIME in any set (or, with `user_namespace`, that it runs in a user
    namespace of its own, whose CAP_SYS_TIME cannot set the machine's clock) and has the
    fake-clock library mapped. Returns False while the launcher has not yet exec'ed the program;
    raises UnsafeLaunch when a check fails."""
    try:
        exe = os.path.realpath("/proc/%d/exe" % pid)
    except OSError:
        return False
    if exe != os.path.realpath(program_path):
        return False
    if user_namespace:
        if not in_own_user_namespace(pid):
            raise UnsafeLaunch("the program runs in the machine's own user namespace")
    else:
        for key, mask in capability_masks(pid).items():
            if key.startswith("Cap") and mask & (1 << CAP_SYS_TIME_BIT):
                raise UnsafeLaunch("the program holds CAP_SYS_TIME in %s" % key)
    with open("/proc/%d/maps" % pid, encoding="ascii", errors="replace") as maps:
        mapped = maps.read()
    if PRELOAD_NAME in mapped:
        return True
    # The loader maps a preloaded library before the program's own libraries; once the C
    # library is there without it, the preload did not happen.
    if re.search(r"/libc[.-]", mapped):
        raise UnsafeLaunch("the program runs without %s" % PRELOAD_NAME)
    return False


def single_instance_lock_held(path=SYSTEM_LOCK_FILE):
    """Whether a process holds the lock file at `path`: by default the machine's, which every
    run shares when the package's /run/zrq exists (otherwise each run locks in its own runtime
    folder)."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC)
    except OSError:
        return False
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        return False
    except BlockingIOError:
        return True
    finally:
        os.close(fd)


def stop_group(process, timeout=STOP_TIMEOUT_S):
    """Ends a child that was started as the leader of its own process group: SIGTERM to the
    group, then SIGKILL after the time-out. Returns the exit status."""
    if process.poll() is not None:
        return process.returncode
    for sig in (signal.SIGTERM, signal.SIGKILL):
        try:
            os.killpg(process.pid, sig)
        except ProcessLookupError:
            break
        try:
            return process.wait(timeout)
        except subprocess.TimeoutExpired:
            continue
    return process.wait(timeout)


DBUS_DAEMON = "/usr/bin/dbus-daemon"
# The package's policy file for the service's name, beside this folder's source tree.
BUS_POLICY_FILE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                               "packaging", "dbus", "org.horivo.Zrq1.conf")
# The system bus's default policy: everyone connects, nobody owns a name or calls a method until
# a policy file punches a hole.
BUS_DEFAULT_POLICY = """<policy context="default">
    <allow user="*"/>
    <deny own="*"/>
    <deny send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_type="signal"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus"/>
    <allow send_destination="org.freedesktop.DBus"
           send_interface="org.freedesktop.DBus.Introspectable"/>
  </policy>"""


class PrivateBus:
    """A system-like message bus of the run's own: dbus-daemon with the system bus's default
    policy and the package's policy file, its socket in a temporary folder that other users can
    reach. The group zrq, which a test machine lacks, can be played by `operator_group`. Never a
    bus of the machine; ended by its PID. Give env() to the programs that are to use it."""

    def __init__(self, policy_file=BUS_POLICY_FILE, operator_group=None):
        if not os.access(DBUS_DAEMON, os.X_OK):
            raise Skip("dbus-daemon is not installed")
        self.dir = tempfile.mkdtemp(prefix="zrq-bus-")
        os.chmod(self.dir, 0o755)
        if operator_group:
            with open(policy_file, encoding="utf-8") as shipped:
                text = shipped.read().replace('group="zrq"', f'group="{operator_group}"')
            policy_file = os.path.join(self.dir, "policy.conf")
            with open(policy_file, "w", encoding="utf-8") as adapted:
                adapted.write(text)
        config = os.path.join(self.dir, "bus.conf")
        with open(config, "w", encoding="utf-8") as out:
            out.write(f"""<busconfig>
  <type>system</type>
  <auth>EXTERNAL</auth>
  <listen>unix:path={self.dir}/system_bus_socket</listen>
  {BUS_DEFAULT_POLICY}
  <include>{os.path.abspath(policy_file)}</include>
</busconfig>
""")
        # Its messages go to a file: a closed pipe would end it at its first warning.
        with open(os.path.join(self.dir, "bus.log"), "wb") as log:
            self.process = subprocess.Popen(
                [DBUS_DAEMON, f"--config-file={config}", "--print-address=1", "--nofork",
                 "--nopidfile", "--nosyslog"],
                stdout=subprocess.PIPE, stderr=log, start_new_session=True)
        self.address = self.process.stdout.readline().decode().strip()
        if not self.address:
            self.close()
            raise HarnessError("dbus-daemon did not start: " + self.log())

    def env(self):
        return {"DBUS_SYSTEM_BUS_ADDRESS": self.address}

    def log(self):
        with open(os.path.join(self.dir, "bus.log"), encoding="utf-8", errors="replace") as f:
            return f.read()

    def close(self):
        if self.process.poll() is None:
            self.process.terminate()
            self.process.wait(STOP_TIMEOUT_S)
        self.process.stdout.close()
        shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def parse_event(line):
    """One clockdev event line: {'event': word, key: value, ..., 'bytes': [ints]}."""
    head, _, byte_text = line.partition(" bytes=")
    words = head.split()
    event = {"event": words[0] if words else "", "line": line}
    for word in words[1:]:
        key, _, value = word.partition("=")
        event[key] = value
    event["bytes"] = [int(b, 16) for b in byte_text.split()] if byte_text else []
    if "t" in event:
        seconds, _, ms = event["t"].partition(".")
        sign = -1 if seconds.startswith("-") else 1
        event["t_ms"] = int(seconds) * 1000 + sign * int(ms or 0)
    return event


def from_bcd(byte):
    high, low = byte >> 4, byte & 0x0F
    if high > 9 or low > 9:
        raise ValueError("not BCD: %02X" % byte)
    return high * 10 + low


def decode_pc_time_frame(frame):
    """Decodes AA AA 00 yy mm dd hh nn ss m/100 m%100 A3 (BCD) to a tuple
    (year, month, day, hour, minute, second, ms); raises ValueError for anything else."""
    if len(frame) != 12 or frame[:3] != [0xAA, 0xAA, 0x00] or frame[11] != 0xA3:
        raise ValueError("not a PC time frame: %s" % " ".join("%02X" % b for b in frame))
    if frame[9] > 9:
        raise ValueError("hundreds of milliseconds above 9: %02X" % frame[9])
    fields = [from_bcd(b) for b in frame[3:9]]
    return (2000 + fields[0], fields[1], fields[2], fields[3], fields[4], fields[5],
            frame[9] * 100 + from_bcd(frame[10]))


class Device:
    """clockdev running on a pseudo-terminal linked as COM1 in the working directory; its event
    lines are collected by a reader thread."""

    def __init__(self, binary, link, clock_file, args, env, log_path):
        self.events = []
        self._changed = threading.Condition()
        argv = [binary, "--link", link, "--clock-file", clock_file] + list(args)
        self._stderr = open(log_path, "wb")
        self.process = subprocess.Popen(argv, env=env, stdout=subprocess.PIPE,
                                        stderr=self._stderr, process_group=0)
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()
        if not self.wait_for("ready", START_TIMEOUT_S):
            raise HarnessError("clockdev gave no ready line: %s" % " ".join(argv))

    def _read(self):
        for raw in self.process.stdout:
            event = parse_event(raw.decode("ascii", "replace").rstrip("\n"))
            event["received_ns"] = real_now_ns()
            with self._changed:
                self.events.append(event)
                self._changed.notify_all()
        with self._changed:
            self.events.append({"event": "eof", "line": "", "bytes": []})
            self._changed.notify_all()

    def of_kind(self, kind):
        with self._changed:
            return [e for e in self.events if e["event"] == kind]

    def wait_for(self, kind, timeout, count=1):
        """Waits until at least `count` events of `kind` are there; returns them (or [])."""
        deadline = time.monotonic() + timeout
        with self._changed:
            while True:
                found = [e for e in self.events if e["event"] == kind]
                if len(found) >= count:
                    return found
                left = deadline - time.monotonic()
                if left <= 0 or (self.events and self.events[-1]["event"] == "eof"):
                    return []
                self._changed.wait(left)

    def stop(self):
        status = stop_group(self.process)
        self._reader.join(STOP_TIMEOUT_S)
        self._stderr.close()
        return status


class Program:
    """The program under test, started through setpriv (or, with `user_namespace`, unshare)
    with the fake clock preloaded."""

    def __init__(self, session, clock_file, log_name, extra_env=None, user_namespace=False,
                 args=()):
        self.session = session
        self.path = session.program
        self.user_namespace = user_namespace
        launcher = (["unshare", *USER_NAMESPACE_OPTIONS] if user_namespace
                    else ["setpriv", *CAP_DROP_OPTIONS])
        argv = [*launcher, "--", self.path, *args]
        env = session.display_env()
        env.update(extra_env or {})
        env["LD_PRELOAD"] = session.preload
        env[CLOCK_FILE_ENV] = clock_file
        check_safe_launch(argv, env, session.workdir)
        self.log_path = os.path.join(session.workdir, log_name)
        self._log = open(self.log_path, "wb")
        self.process = subprocess.Popen(argv, cwd=session.workdir, env=env,
                                        stdin=subprocess.DEVNULL, stdout=self._log,
                                        stderr=subprocess.STDOUT, process_group=0)
        self._confirm_safe()

    def _confirm_safe(self):
        deadline = time.monotonic() + START_TIMEOUT_S
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                return  # ended at once (a second copy may do that); nothing ran unchecked long
            try:
                if check_running_safely(self.process.pid, self.path,
                                        getattr(self, "user_namespace", False)):
                    return
            except UnsafeLaunch:
                stop_group(self.process)
                raise
            time.sleep(0.005)
        stop_group(self.process)
        raise HarnessError("setpriv did not start the program in time")

    @property
    def pid(self):
        return self.process.pid

    def running(self):
        return self.process.poll() is None

    def wait_exit(self, timeout):
        """The exit status, or None while it still runs after `timeout` seconds."""
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    def output(self):
        self._log.flush()
        with open(self.log_path, "rb") as log:
            return log.read().decode("utf-8", "replace")

    def stop(self):
        status = stop_group(self.process)
        self._log.close()
        return status


class Session:
    """One end-to-end run: a fresh working directory, a private X display, and the processes
    started in it, all ended by process group when the run ends."""

    def __init__(self, build_dir, name, time_zone=TIME_ZONE, program="zrq", display=True):
        """`program` is the build's zrq or zrqd; `display` False runs no X server (zrqd's
        runs have none)."""
        self.build_dir = os.path.abspath(build_dir)
        self.name = name
        self.time_zone = time_zone
        self.uses_display = display
        self.program = os.path.join(self.build_dir, program)
        self.clockdev = os.path.join(self.build_dir, "clockdev")
        self.preload = os.path.join(self.build_dir, PRELOAD_NAME)
        self.screenshot_dir = os.path.join(self.build_dir, "screenshots")
        for path, what in ((self.program, "the program"), (self.clockdev, "clockdev"),
                           (self.preload, "the fake-clock library")):
            if not os.path.isfile(path):
                raise Skip("%s is not built: %s" % (what, path))
        tools = ("Xvfb", "xdotool", "import", "convert", "setpriv") if display else ("setpriv",)
        for tool in tools:
            if not shutil.which(tool):
                raise Skip("%s is not installed" % tool)
        self.workdir = tempfile.mkdtemp(prefix="zrq-e2e-%s-" % name)
        self.clock_file = os.path.join(self.workdir, "fakeclock")
        self.device_clock_file = os.path.join(self.workdir, "deviceclock")
        self.display = None
        self._xvfb = None
        self._devices = []
        self._programs = []
        self._shot_count = 0

    def __enter__(self):
        use_time_zone(self.time_zone)
        if self.uses_display:
            self._start_display()
        return self

    def __exit__(self, kind, value, trace):
        if kind is not None and not issubclass(kind, Skip):
            print(self.diagnostics())
        self.close(keep=kind is not None or os.environ.get("ZRQ_E2E_KEEP") == "1")
        return False

    # --- processes ---------------------------------------------------------------------------

    def _start_display(self):
        read_end, write_end = os.pipe()
        argv = ["Xvfb", "-displayfd", str(write_end), "-screen", "0",
                "%dx%dx24" % (SCREEN_WIDTH, SCREEN_HEIGHT), "-nolisten", "tcp", "-noreset"]
        self._xvfb_log = open(os.path.join(self.workdir, "xvfb.log"), "wb")
        self._xvfb = subprocess.Popen(argv, pass_fds=(write_end,), stdout=self._xvfb_log,
                                      stderr=subprocess.STDOUT, process_group=0)
        os.close(write_end)
        number = b""
        deadline = time.monotonic() + START_TIMEOUT_S
        os.set_blocking(read_end, False)
        while not number.endswith(b"\n") and time.monotonic() < deadline:
            try:
                chunk = os.read(read_end, 16)
                if not chunk:
                    break
                number += chunk
            except BlockingIOError:
                time.sleep(POLL_INTERVAL_S)
        os.close(read_end)
        if not number.strip().isdigit():
            raise HarnessError("Xvfb did not report its display number")
        self.display = ":" + number.decode().strip()

    def display_env(self):
        """A clean environment for processes on the run's display (no inherited Qt or Wayland
        settings)."""
        runtime = os.path.join(self.workdir, "runtime")
        os.makedirs(runtime, mode=0o700, exist_ok=True)
        env = {
            "PATH": "/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin",
            "HOME": self.workdir,
            "TZ": self.time_zone,
            "LANG": "C.UTF-8",
            "LC_ALL": "C.UTF-8",
            "XDG_RUNTIME_DIR": runtime,
            # Never the machine's bus: a socket nobody listens on unless a case gives the
            # address of a PrivateBus of its own.
            "DBUS_SYSTEM_BUS_ADDRESS": "unix:path=" + os.path.join(self.workdir, "no-bus"),
        }
        if self.display:
            env.update(DISPLAY=self.display, QT_QPA_PLATFORM="xcb")
        return env

    def set_clocks(self, device_target_ns, program_ahead_ns=0):
        """Sets the device clock to read `device_target_ns` now, and the program's fake clock
        `program_ahead_ns` ahead of it. Returns (device offset, program offset)."""
        device_offset = offset_to_read(device_target_ns)
        write_clock_offset(self.device_clock_file, device_offset)
        write_clock_offset(self.clock_file, device_offset + program_ahead_ns)
        return device_offset, device_offset + program_ahead_ns

    def start_device(self, *args):
        device = Device(self.clockdev, os.path.join(self.workdir, "COM1"),
                        self.device_clock_file, args, self.display_env(),
                        os.path.join(self.workdir, "clockdev-%d.log" % len(self._devices)))
        self._devices.append(device)
        return device

    def start_program(self, extra_env=None, user_namespace=False, args=()):
        """Starts the program with `args`; `extra_env` adds variables for the fake-clock library
        (such as REFUSE_FILE_ENV) or the service (NOTIFY_SOCKET), never in place of its
        safeguards; `user_namespace` starts it in a user namespace of its own instead of dropping
        the clock capability."""
        if not self._programs and single_instance_lock_held():
            raise HarnessError("another copy of the program holds its single-instance lock "
                               "(%s)" % SYSTEM_LOCK_FILE)
        program = Program(self, self.clock_file, "%s-%d.log" % (
            os.path.basename(self.program), len(self._programs)), extra_env, user_namespace, args)
        self._programs.append(program)
        return program

    def close(self, keep=False):
        for program in reversed(self._programs):
            program.stop()
        for device in reversed(self._devices):
            device.stop()
        if self._xvfb:
            stop_group(self._xvfb)
            self._xvfb_log.close()
        if keep:
            print("e2e: working directory kept: %s" % self.workdir)
        else:
            shutil.rmtree(self.workdir, ignore_errors=True)

    def diagnostics(self, last_events=20):
        """What a failed run leaves to look at: each program's output and the device's last
        events."""
        lines = []
        for index, program in enumerate(self._programs):
            lines.append("--- program %d (pid %d) output:" % (index, program.pid))
            lines.append(program.output().rstrip())
        for index, device in enumerate(self._devices):
            lines.append("--- device %d, last events:" % index)
            lines.extend(e["line"] for e in device.events[-last_events:])
        return "\n".join(lines)

    def file(self, name):
        return os.path.join(self.workdir, name)

    # --- X: windows, input, pictures ---------------------------------------------------------

    def x(self, *args, check=True):
        """Runs an X tool on the run's display; returns its standard output."""
        result = subprocess.run(list(args), env=self.display_env(), capture_output=True,
                                text=True, timeout=START_TIMEOUT_S)
        if check and result.returncode != 0:
            raise HarnessError("%s failed: %s" % (" ".join(args), result.stderr.strip()))
        return result.stdout

    def visible_windows(self, pid=None, name=None):
        """Ids of the mapped top-level windows of a process, or with a title matching the
        regular expression `name`."""
        # Without --all, xdotool gives the windows that meet any one of the conditions.
        args = ["xdotool", "search", "--all", "--onlyvisible"]
        if pid is not None:
            args += ["--pid", str(pid)]
        if name is not None or pid is None:
            args += ["--name", name or ""]
        return [int(w) for w in self.x(*args, check=False).split()]

    def window_pid(self, window):
        text = self.x("xdotool", "getwindowpid", str(window), check=False).strip()
        return int(text) if text.isdigit() else None

    def window_name(self, window):
        return self.x("xdotool", "getwindowname", str(window), check=False).rstrip("\n")

    def window_geometry(self, window):
        """(x, y, width, height) of a window on the screen."""
        info = self.x("xwininfo", "-id", str(window))
        values = {}
        for key in ("Absolute upper-left X", "Absolute upper-left Y", "Width", "Height"):
            match = re.search(r"%s:\s+(-?\d+)" % key, info)
            values[key] = int(match.group(1)) if match else None
        return (values["Absolute upper-left X"], values["Absolute upper-left Y"],
                values["Width"], values["Height"])

    def wait_until(self, condition, timeout=WINDOW_TIMEOUT_S):
        """Polls `condition` until it gives a true value; returns that value or None."""
        deadline = time.monotonic() + timeout
        while True:
            value = condition()
            if value:
                return value
            if time.monotonic() >= deadline:
                return None
            time.sleep(POLL_INTERVAL_S)

    def wait_window(self, name=None, pid=None, timeout=WINDOW_TIMEOUT_S):
        """The first visible window matching the title regex and/or the process, or None."""
        def found():
            windows = self.visible_windows(pid=pid, name=name)
            if pid is not None and name is not None:
                windows = [w for w in windows if self.window_pid(w) == pid]
            return windows[0] if windows else None
        return self.wait_until(found, timeout)

    def wait_bar(self, pid, timeout=WINDOW_TIMEOUT_S):
        """The program's bar: its visible window of the bar's size."""
        def found():
            for window in self.visible_windows(pid=pid):
                geometry = self.window_geometry(window)
                if geometry[2:] == (BAR_WIDTH, BAR_HEIGHT):
                    return window, geometry
            return None
        return self.wait_until(found, timeout)

    def click(self, x, y, button=1):
        self.x("xdotool", "mousemove", "--sync", str(x), str(y))
        self.x("xdotool", "click", str(button))
        time.sleep(SETTLE_S)

    def keys(self, *names, delay_ms=40):
        """Key presses sent through the X server's test extension, to whatever has the keyboard
        (a pop-up menu grabs it)."""
        if names:
            self.x("xdotool", "key", "--delay", str(delay_ms), *names)
        time.sleep(SETTLE_S)

    def focus(self, window):
        self.x("xdotool", "windowfocus", "--sync", str(window), check=False)

    def screenshot(self):
        """A PNG of the whole screen in the working directory; returns its path."""
        self._shot_count += 1
        path = self.file("shot-%02d.png" % self._shot_count)
        self.x("import", "-window", "root", path)
        return path

    def save_screenshot(self, name, crop=None):
        """Keeps a screenshot, or its region (x, y, w, h), as <build>/screenshots/<name>.png."""
        os.makedirs(self.screenshot_dir, exist_ok=True)
        target = os.path.join(self.screenshot_dir, name + ".png")
        source = self.screenshot()
        if crop:
            x, y, w, h = crop
            subprocess.run(["convert", source, "-crop", "%dx%d+%d+%d" % (w, h, x, y), "+repage",
                            target], check=True, timeout=START_TIMEOUT_S)
        else:
            shutil.copyfile(source, target)
        return target


def pixel(png, x, y):
    """(r, g, b) of one pixel of a picture, read with ImageMagick."""
    text = subprocess.run(["convert", png, "-crop", "1x1+%d+%d" % (x, y), "-depth", "8", "txt:-"],
                          capture_output=True, text=True, check=True,
                          timeout=START_TIMEOUT_S).stdout
    match = re.search(r"\(\s*(\d+),\s*(\d+),\s*(\d+)", text.splitlines()[-1])
    if not match:
        raise HarnessError("no pixel at %d,%d of %s: %r" % (x, y, png, text))
    return tuple(int(v) for v in match.groups())


def region_pixels(png, x, y, width, height):
    """Rows of (r, g, b) of a region of a picture."""
    raw = subprocess.run(["convert", png, "-crop", "%dx%d+%d+%d" % (width, height, x, y),
                          "+repage", "-depth", "8", "rgb:-"],
                         capture_output=True, check=True, timeout=START_TIMEOUT_S).stdout
    if len(raw) != width * height * 3:
        raise HarnessError("region %dx%d+%d+%d of %s gave %d bytes" % (width, height, x, y, png,
                                                                      len(raw)))
    return [[tuple(raw[(row * width + col) * 3:(row * width + col) * 3 + 3])
             for col in range(width)] for row in range(height)]


def run_case_main(cases, run, failures=()):
    """The main of a file of cases: reads --build-dir and the case's name, calls
    run(build_dir, case) and gives ctest its status: 0 passed, 1 failed (a failure of `failures`
    or of the harness, with its trace), SKIP_RETURN_CODE skipped."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("case", choices=sorted(cases))
    args = parser.parse_args()
    try:
        run(args.build_dir, args.case)
    except Skip as skip:
        print("e2e: skipped: %s" % skip)
        return SKIP_RETURN_CODE
    except (*failures, HarnessError) as failure:
        traceback.print_exc()
        print("e2e: FAILED: %s" % failure)
        return 1
    print("e2e: passed: %s" % args.case)
    return 0
