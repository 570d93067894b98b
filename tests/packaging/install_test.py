"""The installed tree: exactly the files a desktop installation needs, where the program and the
desktop look for them, with icons of the sizes their folders promise; and the installed program's
answers to --help and --version."""
import os
import pathlib
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import zlib

BUILD_DIR, SOURCE_DIR, VERSION = (sys.argv.pop(1) for _ in range(3))
APP_ID = "org.horivo.Zrq"
ICON_SIZES = (16, 32, 48, 64, 128, 256)

PROGRAMS = ("zrq", "zrq-clockdev", "zrq-launch", "zrq-offsets", "zrqd", "zrqctl")
# What each installation component holds, under the prefix; each is the Debian package of the
# same name, whose debian/<package>.install lists the same files.
COMPONENTS = {
    "zrqd": {"bin/zrqd", "bin/zrqctl", "lib/systemd/system/zrqd.service",
             "share/dbus-1/system.d/org.horivo.Zrq1.conf", "share/man/man8/zrqd.8",
             "share/man/man1/zrqctl.1"},
    "zrq": {"bin/zrq", "bin/zrq-launch", "bin/zrq-offsets", "share/zrq/ZEQU.html",
            f"share/applications/{APP_ID}.desktop", f"share/applications/{APP_ID}.Offsets.desktop",
            f"share/metainfo/{APP_ID}.metainfo.xml", "share/icons/hicolor/scalable/apps/zrq.svg"}
           | {f"share/icons/hicolor/{n}x{n}/apps/zrq.png" for n in ICON_SIZES}
           | {f"share/man/man1/{name}.1" for name in ("zrq", "zrq-launch", "zrq-offsets")},
    "zrq-common": {"bin/zrq-clockdev", "lib/tmpfiles.d/zrq.conf",
                   "share/man/man1/zrq-clockdev.1"},
}
EXPECTED_FILES = set().union(*COMPONENTS.values())


def installed_files(prefix):
    return {str(p.relative_to(prefix)) for p in prefix.rglob("*") if not p.is_dir()}


def png_size_and_corner_alpha(path):
    """Width, height and the alpha of the top-left pixel of an 8-bit RGBA PNG. The first pixel
    of the first row is stored unpredicted whatever the row's filter, so no unfiltering is
    needed."""
    data = path.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n", f"{path} is not a PNG"
    width, height, depth, colour = struct.unpack(">IIBB", data[16:26])
    assert (depth, colour) == (8, 6), f"{path} is not 8-bit RGBA"
    idat, pos = b"", 8
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        if kind == b"IDAT":
            idat += data[pos + 8:pos + 8 + length]
        pos += 12 + length
    first_row = zlib.decompressobj().decompress(idat, 1 + 4)
    return width, height, first_row[4]


def desktop_entry(path):
    entry, group = {}, None
    for line in path.read_text(encoding="utf-8").splitlines():
        if line.startswith("["):
            group = line.strip("[]")
        elif "=" in line and group == "Desktop Entry":
            key, value = line.split("=", 1)
            entry[key] = value
    return entry


class InstalledTreeTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = pathlib.Path(tempfile.mkdtemp(prefix="zrq-install-"))
        cls.prefix = cls.tmp / "usr"
        subprocess.run(["cmake", "--install", BUILD_DIR, "--prefix", str(cls.prefix)],
                       check=True, capture_output=True, timeout=120)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp)

    def test_exactly_the_expected_files(self):
        self.assertEqual(installed_files(self.prefix), EXPECTED_FILES)

    def test_each_component_is_what_its_package_lists(self):
        """A component installed alone holds its files, and its package's list in debian/
        names each of them (itself or a folder above it) and nothing else: a file put in the
        wrong component, or listed in the wrong package, fails here before any package build."""
        for component, expected in COMPONENTS.items():
            with self.subTest(component):
                prefix = self.tmp / "components" / component / "usr"
                subprocess.run(["cmake", "--install", BUILD_DIR, "--prefix", str(prefix),
                                "--component", component],
                               check=True, capture_output=True, timeout=120)
                self.assertEqual(installed_files(prefix), expected)
                listed = (pathlib.Path(SOURCE_DIR) / f"debian/{component}.install").read_text()
                # Debian's package build puts the unit in /lib/systemd/system.
                entries = [line.removeprefix("usr/") for line in listed.split()]
                package_files = expected
                for path in package_files:
                    self.assertTrue(any(path == entry or path.startswith(entry + "/")
                                        for entry in entries), f"{path} is not listed")
                for entry in entries:
                    self.assertTrue(any(path == entry or path.startswith(entry + "/")
                                        for path in package_files), f"{entry} installs nothing")

    def test_programs_are_executable(self):
        for name in PROGRAMS:
            with self.subTest(name):
                self.assertTrue(os.access(self.prefix / "bin" / name, os.X_OK))

    def test_help_and_version_answer_at_once_without_a_display(self):
        env = {k: v for k, v in os.environ.items()
               if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
        work = self.tmp / "work"
        work.mkdir()
        cases = [
            # program, arguments, expected start of the answer
            ("zrq", ["--version"], f"zrq {VERSION}\n"),
            ("zrq", ["--help"], "Usage: zrq"),
            ("zrq", ["-h"], "Usage: zrq"),
            ("zrq", ["-platform", "xcb", "--version"], f"zrq {VERSION}\n"),
            ("zrqd", ["--version"], f"zrqd {VERSION}\n"),
            ("zrqd", ["--help"], "Usage: zrqd"),
            ("zrqctl", ["--version"], f"zrqctl {VERSION}\n"),
        ]
        for program, args, answer in cases:
            with self.subTest(program=program, args=args):
                result = subprocess.run([str(self.prefix / "bin" / program), *args], cwd=work,
                                        env=env, capture_output=True, text=True, timeout=10)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertTrue(result.stdout.startswith(answer), result.stdout)
                self.assertEqual(result.stderr, "")
                self.assertEqual(list(work.iterdir()), [])  # no settings, no logs
        # An answer that cannot be written is a failure.
        for program in ("zrq", "zrq-offsets", "zrqd"):
            with self.subTest(program), open("/dev/full", "w") as full:
                result = subprocess.run([str(self.prefix / "bin" / program), "--version"],
                                        cwd=work, env=env, stdout=full, timeout=10)
                self.assertEqual(result.returncode, 1)

    def test_offsets_answer_without_a_display(self):
        # No display and no platform: a toolkit application made for any of these would end the
        # program with the toolkit's complaint instead of the answer.
        env = {k: v for k, v in os.environ.items()
               if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_DATA_HOME")}
        home = self.tmp / "home"
        data = home / ".local/share/zrq"
        data.mkdir(parents=True)
        env["HOME"] = str(home)
        record = ("time,received,offset_ms,step_ms,result\n"
                  "2026-12-07 00:00:31.010,2026-12-07 00:00:31.000,0.0,0.0,ok\n"
                  "2026-12-07 00:01:31.010,2026-12-07 00:01:31.000,1.2,-1.2,ok\n"
                  "2026-12-07 00:02:31.010,2026-12-07 00:02:31.000,1.6,0.0,refused:Operation not permitted\n"
                  "2026-12-07 00:03:31.010,2026-12-07 00:03:31.000,2.4,-2.4,ok\n"
                  "cut sho")
        (data / "261207O.csv").write_text(record, encoding="utf-8")
        other = self.tmp / "other"
        other.mkdir()
        (other / "261207O.csv").write_text("\n".join(record.split("\n")[:2]) + "\n",
                                           encoding="utf-8")  # the header and one attempt
        summary = ("corrections: 3 made, 1 refused\noffset: median 1.4 ms, max 2.4 ms\n"
                   "drift: +20.0 ppm (+1.73 s/day)\n")
        cases = [
            # arguments, status, expected output, start of the expected message
            (["--version"], 0, f"zrq-offsets {VERSION}\n", ""),
            (["--help"], 0, None, ""),
            (["--summary", "261207"], 0, summary, "zrq-offsets: 1 line(s)"),
            (["--summary", str(data), "261207"], 0, summary, "zrq-offsets: 1 line(s)"),
            (["--summary", str(other), "261207"], 0,
             "corrections: 1 made, 0 refused\noffset: median 0.0 ms, max 0.0 ms\ndrift: none\n",
             ""),
            (["--summary", "261206"], 1, "", f"zrq-offsets: no offset record {data}/261206O.csv"),
            (["--summary", str(other)], 1, "", "zrq-offsets: no offset record"),  # today's
            (["--summary", "261332"], 1, "", "zrq-offsets: no offset record"),  # a folder
            (["--summary", ".", "261332"], 2, "", "zrq-offsets: 261332 is no day"),
            (["--summary", "a", "b", "c"], 2, "", "usage: zrq-offsets"),
        ]
        for args, status, out, err in cases:
            with self.subTest(args=args):
                result = subprocess.run([str(self.prefix / "bin/zrq-offsets"), *args], env=env,
                                        capture_output=True, text=True, timeout=10)
                self.assertEqual(result.returncode, status, result.stderr)
                if out is None:
                    self.assertTrue(result.stdout.startswith("Usage: zrq-offsets"), result.stdout)
                else:
                    self.assertEqual(result.stdout, out)
                self.assertTrue(result.stderr.startswith(err), result.stderr)
                self.assertEqual(bool(result.stderr), bool(err), result.stderr)

    def test_help_document_where_the_program_looks(self):
        # The program looks beside itself, then in ../share/zrq relative to its folder.
        beside_program = self.prefix / "bin" / "../share/zrq/ZEQU.html"
        self.assertEqual(beside_program.read_bytes(),
                         (pathlib.Path(SOURCE_DIR) / "app/help/ZEQU.html").read_bytes())

    def test_icons_match_their_folders_and_have_a_clear_background(self):
        for n in ICON_SIZES:
            with self.subTest(size=n):
                path = self.prefix / f"share/icons/hicolor/{n}x{n}/apps/zrq.png"
                width, height, corner_alpha = png_size_and_corner_alpha(path)
                self.assertEqual((width, height), (n, n))
                self.assertEqual(corner_alpha, 0)

    def test_desktop_entries_start_installed_programs_with_the_installed_icon(self):
        for file, name, program in [(f"{APP_ID}.desktop", "ZRQ 时钟同步", "zrq-launch"),
                                    (f"{APP_ID}.Offsets.desktop", "ZRQ 校时记录", "zrq-offsets")]:
            with self.subTest(file):
                path = self.prefix / "share/applications" / file
                if shutil.which("desktop-file-validate"):
                    result = subprocess.run(["desktop-file-validate", str(path)],
                                            capture_output=True, text=True)
                    self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
                entry = desktop_entry(path)
                self.assertEqual(entry["Type"], "Application")
                self.assertEqual(entry["Exec"], program)
                self.assertTrue((self.prefix / "bin" / entry["Exec"]).is_file())
                self.assertTrue(
                    (self.prefix / f"share/icons/hicolor/scalable/apps/{entry['Icon']}.svg")
                    .is_file())
                self.assertEqual(entry["Name"], name)
                for key in ("Name[zh_CN]", "Name[en]", "Comment", "Comment[zh_CN]",
                            "Comment[en]"):
                    self.assertTrue(entry.get(key), key)
                self.assertIn("Utility", entry["Categories"].split(";"))

    def test_metainfo_names_this_release_and_the_desktop_entry(self):
        path = self.prefix / f"share/metainfo/{APP_ID}.metainfo.xml"
        text = path.read_text(encoding="utf-8")
        self.assertIn(f'<release version="{VERSION}"', text)
        self.assertIn(f"<launchable type=\"desktop-id\">{APP_ID}.desktop</launchable>", text)
        self.assertIsNone(re.search(r"@[A-Z_]+@", text), "a placeholder was left unfilled")
        if shutil.which("appstreamcli"):
            result = subprocess.run(["appstreamcli", "validate", "--no-net", "--pedantic",
                                     str(path)], capture_output=True, text=True)
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)


if __name__ == "__main__":
    unittest.main()
