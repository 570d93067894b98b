"""The desktop launcher: which folder the program runs in, which program it runs, how it fails
when the data folder cannot be made, and the autostart entry it adds and removes."""
import os
import pathlib
import shutil
import stat
import subprocess
import sys
import tempfile
import unittest

LAUNCHER = pathlib.Path(sys.argv.pop(1)) if len(sys.argv) > 1 else None

# Stands in for the program: records where and how it was started.
PROBE = """#!/bin/sh
{{ echo "program=$0"; echo "cwd=$(pwd)"; echo "qpa=${{QT_QPA_PLATFORM:-}}"; }} > "{out}"
"""


class LauncherTest(unittest.TestCase):
    def setUp(self):
        self.tmp = pathlib.Path(tempfile.mkdtemp(prefix="zrq-launch-"))
        self.home = self.tmp / "home"
        self.home.mkdir()
        self.bin = self.tmp / "bin"
        self.bin.mkdir()
        self.out = self.tmp / "probe.txt"
        self.launcher = self.bin / "zrq-launch"
        shutil.copy(LAUNCHER, self.launcher)
        self.put_probe(self.bin / "zrq")

    def tearDown(self):
        shutil.rmtree(self.tmp)

    def put_probe(self, path):
        path.write_text(PROBE.format(out=self.out))
        path.chmod(path.stat().st_mode | stat.S_IXUSR)

    def launch(self, launcher=None, args=(), **env):
        full = {"HOME": str(self.home), "PATH": "/usr/bin:/bin"}
        full.update({k: v for k, v in env.items() if v is not None})
        return subprocess.run([str(launcher or self.launcher), *args], env=full,
                              capture_output=True, text=True, timeout=30)

    def probe(self):
        return dict(line.split("=", 1) for line in self.out.read_text().splitlines())

    def test_data_folder_from_the_environment(self):
        default = self.home / ".local/share/zrq"
        cases = [
            ("unset", None, default),
            ("empty", "", default),
            ("relative, so ignored", "rel/data", default),
            ("absolute", str(self.tmp / "xdg"), self.tmp / "xdg/zrq"),
        ]
        for legend, xdg, expected in cases:
            with self.subTest(legend):
                result = self.launch(XDG_DATA_HOME=xdg)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertTrue(expected.is_dir())
                self.assertEqual(self.probe()["cwd"], str(expected))

    def test_existing_settings_are_kept(self):
        data = self.home / ".local/share/zrq"
        data.mkdir(parents=True)
        (data / "kelvosys.conf").write_bytes(b"\x01" * 224)
        result = self.launch()
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual((data / "kelvosys.conf").read_bytes(), b"\x01" * 224)

    def test_unusable_data_folder_fails_without_starting_the_program(self):
        xdg = self.tmp / "xdg"
        xdg.mkdir()
        cases = [
            # legend, XDG_DATA_HOME, the regular file in the way
            ("a file where the folder belongs", xdg, xdg / "zrq"),
            ("a file where a parent belongs", xdg / "share", xdg / "share"),
        ]
        for legend, data_home, blocker in cases:
            with self.subTest(legend):
                blocker.write_text("not a folder")
                result = self.launch(XDG_DATA_HOME=str(data_home))
                blocker.unlink()
                self.assertEqual(result.returncode, 1)
                self.assertIn("cannot use", result.stderr)
                self.assertFalse(self.out.exists())

    def test_missing_home_is_reported(self):
        result = subprocess.run([str(self.launcher)], env={"PATH": "/usr/bin:/bin"},
                                capture_output=True, text=True, timeout=30)
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("HOME", result.stderr)
        self.assertFalse(self.out.exists())

    def test_platform_is_x11_unless_chosen(self):
        for legend, given, expected in [("unset", None, "xcb"), ("chosen", "offscreen", "offscreen")]:
            with self.subTest(legend):
                self.assertEqual(self.launch(QT_QPA_PLATFORM=given).returncode, 0)
                self.assertEqual(self.probe()["qpa"], expected)

    def test_runs_the_program_beside_the_script_even_through_a_link(self):
        links = self.tmp / "links"
        links.mkdir()
        (links / "zrq-launch").symlink_to(self.launcher)
        self.put_probe(links / "zrq")  # a program beside the link must not be taken
        result = self.launch(launcher=links / "zrq-launch")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(self.probe()["program"], str(self.bin / "zrq"))

    def test_autostart_entry_follows_the_environment_and_runs_this_launcher(self):
        default = self.home / ".config/autostart/org.horivo.Zrq.desktop"
        cases = [
            ("unset", None, default),
            ("relative, so ignored", "rel/config", default),
            ("absolute", str(self.tmp / "cfg"), self.tmp / "cfg/autostart/org.horivo.Zrq.desktop"),
        ]
        for legend, xdg, entry in cases:
            with self.subTest(legend):
                result = self.launch(args=["--autostart", "on"], XDG_CONFIG_HOME=xdg)
                self.assertEqual(result.returncode, 0, result.stderr)
                lines = entry.read_text(encoding="utf-8").splitlines()
                self.assertEqual(lines[0], "[Desktop Entry]")
                self.assertIn(f"Exec={self.launcher}", lines)
                self.assertIn("Type=Application", lines)
                # Twice on is one entry; off removes it, and off again is no error.
                self.assertEqual(self.launch(args=["--autostart", "on"],
                                             XDG_CONFIG_HOME=xdg).returncode, 0)
                self.assertEqual(len(list(entry.parent.iterdir())), 1)
                for _ in range(2):
                    result = self.launch(args=["--autostart", "off"], XDG_CONFIG_HOME=xdg)
                    self.assertEqual(result.returncode, 0, result.stderr)
                    self.assertFalse(entry.exists())
                self.assertFalse(self.out.exists())  # the program was not started

    def test_bad_arguments_and_unwritable_autostart_fail_without_starting_the_program(self):
        blocker = self.tmp / "plain"
        blocker.write_text("not a folder")
        cases = [
            # legend, arguments, XDG_CONFIG_HOME, exit status
            ("unknown option", ["--bogus"], None, 2),
            ("unknown autostart value", ["--autostart", "maybe"], None, 2),
            ("autostart without a value", ["--autostart"], None, 2),
            ("a file where the folder belongs", ["--autostart", "on"], str(blocker), 1),
        ]
        for legend, args, xdg, status in cases:
            with self.subTest(legend):
                result = self.launch(args=args, XDG_CONFIG_HOME=xdg)
                self.assertEqual(result.returncode, status, result.stderr)
                self.assertTrue(result.stderr)
                self.assertFalse(self.out.exists())

    def test_falls_back_to_the_search_path(self):
        (self.bin / "zrq").unlink()
        elsewhere = self.tmp / "elsewhere"
        elsewhere.mkdir()
        self.put_probe(elsewhere / "zrq")
        result = self.launch(PATH=f"{elsewhere}:/usr/bin:/bin")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(self.probe()["program"], str(elsewhere / "zrq"))


if __name__ == "__main__":
    unittest.main()
