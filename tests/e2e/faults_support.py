# What the fault runs and the soak add to the end-to-end harness: menu entries chosen by caption,
# message boxes found and dismissed, the daily log files read back, the 224-byte settings record,
# liveness checks, extra devices on other COMn links, and the program in a mount namespace.
import os
import re
import select
import struct
import subprocess
import sys
import threading
import time
import traceback
import tty

import e2e_harness as harness

# The menu's entries that keyboard navigation stops on, in order: separators, the disabled
# "跳动不校时" and the hidden "恢复显示条" (while the bar is shown) are passed over.
MENU_STOPS = (
    "TVZ_CODE", "EB_CODE", "ST_CODE",
    "COM1", "COM2", "COM3", "COM4", ">>... ",
    "4800", "9600",
    "立即校正", "通讯观测>>", "校时设置>>",
    "跳动记录", "通讯记录",
    "ZEQU帮助", "关于软件>>",
    "缩至任务栏", "关闭退出",
)

MENU_TIMEOUT_S = 3.0
BOX_GONE_TIMEOUT_S = 3.0
# Where the pointer rests for the right-click: on the time label, right of the date.
MENU_CLICK_X = 150
MENU_CLICK_Y = 8
POINTER_SETTLE_S = 0.1
# A pixel inside the lamp (Panel2 is 16 x 15 at the bar's left edge).
LAMP_X = 8
LAMP_Y = 8

RED = (255, 0, 0)
YELLOW = (255, 255, 0)
GREEN = (0, 128, 0)

CONFIG_FILE = "kelvosys.conf"
CONFIG_RECORD_SIZE = 224

FORMAT_NUMBERS = {"TVZ_CODE": 1, "EB_CODE": 2, "ST_CODE": 3}
FRAME_LENGTHS = {"TVZ_CODE": 9, "EB_CODE": 13, "ST_CODE": 12}
BAUD_CODE_4800 = 10
BAUD_CODE_9600 = 12

# Program windows as X reports them: the bar, pop-up menus (override-redirect) and boxes.
_GEOMETRY_KEYS = ("Absolute upper-left X", "Absolute upper-left Y", "Width", "Height")


class FaultFailure(AssertionError):
    """The program did not behave as it should."""


def check(condition, message, *args):
    if not condition:
        raise FaultFailure(message % args if args else message)


def build_dir_from_argv():
    """The build directory: --build-dir DIR (as ctest passes it), else $ZRQ_BUILD_DIR, else
    <repo>/build."""
    arguments = sys.argv[1:]
    if "--build-dir" in arguments and arguments.index("--build-dir") + 1 < len(arguments):
        return arguments[arguments.index("--build-dir") + 1]
    if os.environ.get("ZRQ_BUILD_DIR"):
        return os.environ["ZRQ_BUILD_DIR"]
    here = os.path.dirname(os.path.abspath(__file__))
    return os.path.join(here, "..", "..", "build")


def run_fault_test(main):
    """Runs a test's main(build_dir) and turns the outcome into ctest's exit codes."""
    try:
        main(build_dir_from_argv())
    except harness.Skip as skip:
        print("SKIP: %s" % skip)
        sys.exit(harness.SKIP_RETURN_CODE)
    except (FaultFailure, harness.HarnessError):
        traceback.print_exc()
        print("FAIL")
        sys.exit(1)
    print("PASS")


# --- the settings record ---------------------------------------------------------------------

def config_record(port=1, baud_code=BAUD_CODE_4800, mode=1, threshold=3, second=31, minute=0,
                  points=(), fine_ms=135, jump_no_correct=1, code_format=1):
    """The 224-byte little-endian settings record as the program writes it (reserved bytes 0)."""
    record = bytearray(CONFIG_RECORD_SIZE)
    record[0] = port & 0xFF
    record[1] = baud_code & 0xFF
    record[2] = mode
    record[3] = threshold
    struct.pack_into("<HHHH", record, 4, second, minute, len(points), fine_ms)
    for slot, day_fraction in enumerate(points):
        struct.pack_into("<d", record, 16 + 8 * slot, day_fraction)
    record[216] = jump_no_correct
    record[217] = code_format
    return bytes(record)


def write_config(session, record):
    with open(session.file(CONFIG_FILE), "wb") as out:
        out.write(record)


def read_bytes(path):
    try:
        with open(path, "rb") as source:
            return source.read()
    except FileNotFoundError:
        return None


# --- log files -------------------------------------------------------------------------------

_ENTRY = re.compile(rb"^ (\d{4})-(\d\d)-(\d\d) (\d\d):(\d\d):(\d\d) ------(.*)$", re.S)


# The program's once-per-run notice of another time service running on the test machine: the
# machine's affair, not the run's, so log readers leave it aside.
TIME_SERVICE_NOTICE = "发现其他时间服务"


def log_entries(path):
    """The entries of one daily log as (header time tuple, text as str); [] without the file.
    Each entry is CR LF, the header " yyyy-mm-dd hh:nn:ss ------" and the GBK text. Notices of
    another time service on the machine are left out."""
    data = read_bytes(path)
    if not data:
        return []
    pieces = data.split(b"\r\n")
    if pieces[0] != b"":
        raise FaultFailure("%s does not begin with a line break: %r" % (path, data[:40]))
    entries = []
    for piece in pieces[1:]:
        match = _ENTRY.match(piece)
        if not match:
            raise FaultFailure("%s holds a line that is no entry: %r" % (path, piece[:80]))
        stamp = tuple(int(v) for v in match.groups()[:6])
        text = match.group(7).decode("gbk")
        if not text.startswith(TIME_SERVICE_NOTICE):
            entries.append((stamp, text))
    return entries


def log_name(local_time, kind):
    """<yymmdd>S.txt (kind "S", jump log) or <yymmdd>C.txt (kind "C") of a time.struct_time."""
    return "%02d%02d%02d%s.txt" % (local_time.tm_year % 100, local_time.tm_mon,
                                   local_time.tm_mday, kind)


def all_logs(session, kind):
    """Entries of every daily log of a kind in the working directory, by file name."""
    names = sorted(n for n in os.listdir(session.workdir)
                   if re.fullmatch(r"\d{6}%s\.txt" % kind, n))
    return {name: log_entries(session.file(name)) for name in names}


def hex_text(frame):
    """A frame as the logs dump it: each byte as a space and two upper-case hex digits."""
    return "".join(" %02X" % b for b in frame)


_ACK_LINE = re.compile(r"^\d\d:\d\d:\d\d\[SENDING:\] 55 AA $")


def is_ack_line(text):
    return bool(_ACK_LINE.match(text))


# --- windows ---------------------------------------------------------------------------------

def window_info(session, window):
    """(x, y, width, height, override_redirect) of a window, or None once it is gone."""
    info = session.x("xwininfo", "-id", str(window), check=False)
    values = []
    for key in _GEOMETRY_KEYS:
        match = re.search(r"%s:\s+(-?\d+)" % key, info)
        if not match:
            return None
        values.append(int(match.group(1)))
    override = re.search(r"Override Redirect State:\s+yes", info) is not None
    return (*values, override)


def program_windows(session, pid):
    """The program's visible top-level windows as dicts: id, name, geometry, kind (bar, menu or
    box)."""
    found = []
    for window in session.visible_windows(pid=pid):
        info = window_info(session, window)
        if info is None:
            continue
        x, y, width, height, override = info
        if (width, height) == (harness.BAR_WIDTH, harness.BAR_HEIGHT) and not override:
            kind = "bar"
        elif override:
            kind = "menu"
        else:
            kind = "box"
        found.append({"id": window, "name": session.window_name(window),
                      "geometry": (x, y, width, height), "kind": kind})
    return found


def boxes(session, pid, title=None):
    """The program's open boxes and dialogs; with `title`, only those whose caption (before the
    " — ZRQ" the toolkit appends) equals it."""
    shown = [w for w in program_windows(session, pid) if w["kind"] == "box"]
    if title is not None:
        shown = [w for w in shown if caption_of(w["name"]) == title]
    return shown


def caption_of(window_name):
    return window_name.split(" \u2014 ")[0]


def dismiss(session, window_id):
    """Closes a box with the Return key; True once its window is gone."""
    session.focus(window_id)
    session.keys("Return")
    gone = session.wait_until(lambda: window_info(session, window_id) is None or
                              window_id not in session.visible_windows(), BOX_GONE_TIMEOUT_S)
    return bool(gone)


def dismiss_all(session, pid, log=None):
    """Dismisses every open box; returns the captions seen, in order."""
    captions = []
    for box in boxes(session, pid):
        captions.append(caption_of(box["name"]))
        if log is not None:
            log(box)
        dismiss(session, box["id"])
    return captions


def bar(session, pid, timeout=harness.WINDOW_TIMEOUT_S):
    """(window, geometry) of the program's bar, or raises FaultFailure."""
    found = session.wait_bar(pid, timeout)
    check(found is not None, "the bar window is not shown")
    return found


def open_menu(session, pid):
    """Right-clicks the bar and returns the pop-up menu's window id."""
    _, (x, y, _, _) = bar(session, pid)
    # No --sync: xdotool waits for ever when the pointer already rests there.
    session.x("xdotool", "mousemove", str(x + MENU_CLICK_X), str(y + MENU_CLICK_Y))
    time.sleep(POINTER_SETTLE_S)
    session.x("xdotool", "click", "3")

    def menu_window():
        menus = [w for w in program_windows(session, pid) if w["kind"] == "menu"]
        return menus[0]["id"] if menus else None
    menu = session.wait_until(menu_window, MENU_TIMEOUT_S)
    check(menu is not None, "the pop-up menu did not open on a right-click of the bar")
    return menu


def choose(session, pid, caption):
    """Chooses a menu entry by its caption through the keyboard."""
    stop = MENU_STOPS.index(caption) + 1
    menu = open_menu(session, pid)
    session.keys(*(["Down"] * stop), "Return")
    session.wait_until(lambda: window_info(session, menu) is None or
                       menu not in session.visible_windows(pid=pid), MENU_TIMEOUT_S)


def menu_opens(session, pid):
    """True when the menu opens and closes again with Escape (the program answers input)."""
    try:
        menu = open_menu(session, pid)
    except FaultFailure:
        return False
    session.keys("Escape")
    return bool(session.wait_until(lambda: menu not in session.visible_windows(pid=pid),
                                   MENU_TIMEOUT_S))


def lamp(session, pid):
    """The lamp's colour (r, g, b) in a fresh screenshot."""
    _, (x, y, _, _) = bar(session, pid)
    return harness.pixel(session.screenshot(), x + LAMP_X, y + LAMP_Y)


def wait_lamp(session, pid, colour, timeout):
    return session.wait_until(lambda: lamp(session, pid) == colour, timeout)


def rss_kib(pid):
    """Resident memory of a process in KiB (VmRSS), or None once it is gone."""
    try:
        with open("/proc/%d/status" % pid, encoding="ascii") as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except FileNotFoundError:
        return None
    return None


# --- PC time frames --------------------------------------------------------------------------

def pc_times(device, since_ns=0):
    """The PC time frames a device received after a real time, as (received_ns, decoded)."""
    out = []
    for event in device.of_kind("pctime"):
        if event["received_ns"] >= since_ns:
            out.append((event["received_ns"], harness.decode_pc_time_frame(event["bytes"])))
    return out


def expect_pc_time_frames(device, since_ns, seconds, what):
    """Waits `seconds` and checks that PC time frames kept coming once a second meanwhile."""
    time.sleep(seconds)
    frames = pc_times(device, since_ns)
    check(len(frames) >= seconds - 1,
          "%s: %d PC time frames in %.0f s", what, len(frames), seconds)
    gaps = [(b[0] - a[0]) / 1e9 for a, b in zip(frames, frames[1:])]
    check(not gaps or max(gaps) < 2.0, "%s: PC time frames stalled for %.1f s", what,
          max(gaps) if gaps else 0)
    return frames


def expect_alive(session, program, device, what, seconds=3):
    """The program runs, shows its bar and sends its time every second."""
    check(program.running(), "%s: the program has ended (status %s)", what,
          program.process.returncode)
    bar(session, program.pid)
    expect_pc_time_frames(device, harness.real_now_ns(), seconds, what)


# --- extra processes -------------------------------------------------------------------------

def start_device_on(session, link_name, *args):
    """clockdev on a pseudo-terminal linked as `link_name` (e.g. COM2) in the working
    directory; ended with the session."""
    index = len(session._devices)
    device = harness.Device(session.clockdev, session.file(link_name), session.device_clock_file,
                            args, session.display_env(),
                            session.file("clockdev-%d.log" % index))
    session._devices.append(device)
    return device


def stop_device(session, device):
    device.stop()
    if device in session._devices:
        session._devices.remove(device)


class IsolatedProgram(harness.Program):
    """The program in a network namespace of its own, so that its single-instance lock (a name
    in the abstract socket namespace, which is per network namespace) neither blocks nor is
    blocked by other runs of the program on the same machine. With `private_mount`, also in a
    mount namespace of its own whose working directory is a bind mount of the run's directory
    onto itself, so that the test can later make that mount read-only for the program alone
    (root ignores permissions; only a read-only mount makes writes fail). The X connection goes
    through the display's socket file, which every namespace reaches."""

    # Inside the new namespaces: bind the directory onto itself, enter the new mount (a working
    # directory taken before the mount would bypass it), then become the program.
    _MOUNT_SCRIPT = 'mount --bind "$1" "$1" && cd "$1" && exec "$2"'

    def __init__(self, session, private_mount=False):
        if not namespaces_allowed(private_mount):
            raise harness.Skip("new namespaces are refused here (unshare failed)")
        self.session = session
        self.path = session.program
        argv = ["setpriv", *harness.CAP_DROP_OPTIONS, "--", "unshare", "-n"]
        if private_mount:
            argv += ["-m", "--propagation", "private", "--",
                     "sh", "-c", self._MOUNT_SCRIPT, "sh", session.workdir, self.path]
        else:
            argv += ["--", self.path]
        env = session.display_env()
        env["LD_PRELOAD"] = session.preload
        env[harness.CLOCK_FILE_ENV] = session.clock_file
        harness.check_safe_launch(argv, env, session.workdir)
        self.log_path = session.file("zrq-%d.log" % len(session._programs))
        self._log = open(self.log_path, "wb")
        self.process = subprocess.Popen(argv, cwd=session.workdir, env=env,
                                        stdin=subprocess.DEVNULL, stdout=self._log,
                                        stderr=subprocess.STDOUT, process_group=0)
        session._programs.append(self)
        self._confirm_safe()

    def make_workdir_read_only(self):
        """Remounts the program's view of its working directory read-only."""
        subprocess.run(["nsenter", "-t", str(self.pid), "-m", "--",
                        "mount", "-o", "remount,bind,ro", self.session.workdir],
                       check=True, timeout=harness.START_TIMEOUT_S)


def start_program(session, private_mount=False):
    """The program under test, isolated from other runs (see IsolatedProgram). Where new
    namespaces are refused, a run that needs no private mount takes the harness's plain start
    (which refuses to start beside another copy); one that needs it is skipped."""
    if not private_mount and not namespaces_allowed():
        return session.start_program()
    return IsolatedProgram(session, private_mount)


def namespaces_allowed(private_mount=False):
    argv = ["unshare", "-n"] + (["-m", "--propagation", "private"] if private_mount else [])
    try:
        result = subprocess.run(argv + ["--", "true"],
                                capture_output=True, timeout=harness.START_TIMEOUT_S)
    except (OSError, subprocess.TimeoutExpired):
        return False
    return result.returncode == 0


class ScriptedDevice:
    """A device of the test's own on a pseudo-terminal linked as a COMn entry: it writes prepared
    pieces of bytes, each with one write at its own time, so that the test knows every byte and
    where the program's reads can split them; it collects what the program sends back."""

    def __init__(self, session, link_name="COM1"):
        self.master, self.slave = os.openpty()
        # Raw before the program opens it: no echo of the pieces back to the master.
        tty.setraw(self.slave)
        self.link = session.file(link_name)
        os.symlink(os.ttyname(self.slave), self.link)
        self.written = []   # (real ns, bytes) of each piece, in order
        self._incoming = bytearray()
        self._frames = []   # (real ns, 12 bytes) of each PC time frame
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        while not self._stop.is_set():
            ready, _, _ = select.select([self.master], [], [], 0.1)
            if not ready:
                continue
            try:
                data = os.read(self.master, 4096)
            except OSError:
                return
            with self._lock:
                self._incoming += data
                self._split_frames(harness.real_now_ns())

    def _split_frames(self, now_ns):
        while True:
            start = self._incoming.find(b"\xAA\xAA\x00")
            if start < 0 or len(self._incoming) < start + 12:
                return
            frame = bytes(self._incoming[start:start + 12])
            del self._incoming[:start + 12]
            if frame[11] == 0xA3:
                self._frames.append((now_ns, list(frame)))

    def pc_times(self, since_ns=0):
        """The PC time frames received after a real time, as (received_ns, decoded)."""
        with self._lock:
            return [(t, harness.decode_pc_time_frame(f)) for t, f in self._frames
                    if t >= since_ns]

    def wait_opened(self, timeout):
        """True once the program holds the line (its first PC time frame arrived)."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.pc_times():
                return True
            time.sleep(harness.POLL_INTERVAL_S)
        return False

    def play(self, schedule):
        """Writes each (real ns, bytes) piece at its time."""
        for due_ns, piece in schedule:
            wait = (due_ns - harness.real_now_ns()) / 1e9
            if wait > 0:
                time.sleep(wait)
            os.write(self.master, piece)
            self.written.append((harness.real_now_ns(), piece))

    def close(self):
        self._stop.set()
        self._reader.join(harness.STOP_TIMEOUT_S)
        for fd in (self.slave, self.master):
            os.close(fd)
        if os.path.islink(self.link):
            os.unlink(self.link)


# --- the menu's marks, read from a screenshot ------------------------------------------------

# The visible rows of the open menu, top to bottom, while the bar is shown.
MENU_ROWS = MENU_STOPS[:13] + ("跳动不校时",) + MENU_STOPS[13:]
# Columns of a menu row, from the menu's left edge: the check box or radio dot, then the text.
MARK_COLUMNS = (6, 25)
TEXT_START = 27
TEXT_MARGIN = 10
# Brightness (mean of r, g, b) below which a pixel is ink: text, a separator, a box's border.
INK = 200
# Below this it is a mark: a tick or a radio dot is black, a box's border is light grey.
MARK_INK = 90
MARK_PIXELS = 8
# The disabled "跳动不校时" draws its tick grey: more ink than an empty box's border.
GREY_MARK_PIXELS = 30
ROW_MIN_HEIGHT = 4
ROW_JOIN_GAP = 3


def _brightness(pixel):
    return sum(pixel) // 3


def _row_bands(rows, width):
    """Runs of pixel rows holding text (taller than a separator line), joined across an
    underscore's gap."""
    bands, current = [], None
    for y, row in enumerate(rows):
        ink = any(_brightness(p) < INK for p in row[TEXT_START:width - TEXT_MARGIN])
        if ink and current and y - current[1] <= ROW_JOIN_GAP:
            current[1] = y
        elif ink:
            if current:
                bands.append(current)
            current = [y, y]
    if current:
        bands.append(current)
    return [(a, z) for a, z in bands if z - a + 1 >= ROW_MIN_HEIGHT]


def menu_marks(session, pid):
    """Opens the menu and reads its marks: {caption: checked} for every row, and the right end
    of the ">>... " entry's text beside that of "COM1" (a longer caption such as ">>COM0" ends
    further right). Closes the menu again."""
    menu = open_menu(session, pid)
    x, y, width, height, _ = window_info(session, menu)
    time.sleep(harness.SETTLE_S)  # drawn
    rows = harness.region_pixels(session.screenshot(), x, y, width, height)
    session.keys("Escape")
    bands = _row_bands(rows, width)
    if len(bands) != len(MENU_ROWS):
        raise harness.HarnessError("the menu shows %d rows, expected %d" % (len(bands),
                                                                            len(MENU_ROWS)))
    marks, text_ends = {}, {}
    for caption, (top, bottom) in zip(MENU_ROWS, bands):
        area = [_brightness(p) for row in rows[top:bottom + 1]
                for p in row[MARK_COLUMNS[0]:MARK_COLUMNS[1]]]
        if caption == "跳动不校时":
            marks[caption] = sum(1 for v in area if v < INK) >= GREY_MARK_PIXELS
        else:
            marks[caption] = sum(1 for v in area if v < MARK_INK) >= MARK_PIXELS
        text_ends[caption] = max(c for row in rows[top:bottom + 1]
                                 for c in range(TEXT_START, width - TEXT_MARGIN)
                                 if _brightness(row[c]) < INK)
    return marks, text_ends


# --- the monitor window ----------------------------------------------------------------------

MONITOR_CAPTION = "通讯观测"
# "清空" on the monitor's tool bar: 23 x 22 at left 48, near the top, in window coordinates.
MONITOR_CLEAR_BUTTON = (59, 16)


def clear_monitor(session, pid):
    """Opens the monitor window from the menu, presses "清空" and closes the window again."""
    choose(session, pid, "通讯观测>>")
    found = session.wait_until(lambda: boxes(session, pid, MONITOR_CAPTION), MENU_TIMEOUT_S)
    check(found, "the monitor window did not open")
    window = found[0]
    x, y, _, _ = window["geometry"]
    session.x("xdotool", "mousemove", str(x + MONITOR_CLEAR_BUTTON[0]),
              str(y + MONITOR_CLEAR_BUTTON[1]))
    time.sleep(POINTER_SETTLE_S)
    session.x("xdotool", "click", "1")
    time.sleep(POINTER_SETTLE_S)
    check(dismiss_with(session, window["id"], "Escape"), "the monitor window does not close")


def dismiss_with(session, window_id, key):
    session.focus(window_id)
    session.keys(key)
    return bool(session.wait_until(lambda: window_info(session, window_id) is None or
                                   window_id not in session.visible_windows(),
                                   BOX_GONE_TIMEOUT_S))
