"""The Debian package: its control fields, its contents under /usr, and what its postinst does
with the clock capability (run against a stand-in setcap, never the real one)."""
import pathlib
import shutil
import stat
import subprocess
import sys
import tempfile
import unittest

BUILD_DIR, VERSION = (sys.argv.pop(1) for _ in range(2))

# Stands in for setcap: records its arguments and exits with the status in SETCAP_STATUS.
FAKE_SETCAP = """#!/bin/sh
echo "$@" >> "{log}"
exit ${{SETCAP_STATUS:-0}}
"""


def run(*args, **kwargs):
    return subprocess.run(args, check=True, capture_output=True, text=True, timeout=300,
                          **kwargs).stdout


class DebianPackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = pathlib.Path(tempfile.mkdtemp(prefix="zrq-deb-"))
        run("cpack", "-G", "DEB", "-B", str(cls.tmp / "out"),
            "--config", str(pathlib.Path(BUILD_DIR) / "CPackConfig.cmake"))
        debs = list((cls.tmp / "out").glob("*.deb"))
        assert len(debs) == 1, f"expected one package, found {debs}"
        cls.deb = debs[0]
        cls.control = cls.tmp / "control"
        run("dpkg-deb", "-e", str(cls.deb), str(cls.control))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp)

    def field(self, name):
        return run("dpkg-deb", "-f", str(self.deb), name).strip()

    def test_file_name_and_fields(self):
        arch = run("dpkg", "--print-architecture").strip()
        self.assertEqual(self.deb.name, f"zrq_{VERSION}_{arch}.deb")
        for name, expected in [("Package", "zrq"), ("Version", VERSION), ("Section", "utils"),
                               ("Architecture", arch)]:
            with self.subTest(name):
                self.assertEqual(self.field(name), expected)
        self.assertRegex(self.field("Maintainer"), r".+ <[^@>]+@[^>]+>")

    def test_depends_on_the_qt_runtime_and_setcap(self):
        depends = {d.split()[0] for d in self.field("Depends").split(", ")}
        for package in ("libqt6widgets6", "libqt6gui6", "libqt6core6", "qt6-qpa-plugins",
                        "libcap2-bin"):
            with self.subTest(package):
                self.assertIn(package, depends)

    def test_contents_lie_under_usr_and_are_owned_by_root(self):
        listing = run("dpkg-deb", "-c", str(self.deb)).splitlines()
        entries = {line.split()[-1]: line.split()[:2] for line in listing}
        for path in ("./usr/bin/zrq", "./usr/bin/zrq-launch", "./usr/bin/clockdev"):
            with self.subTest(path):
                self.assertEqual(entries[path], ["-rwxr-xr-x", "root/root"])
        self.assertIn("./usr/share/zrq/ZEQU.html", entries)
        self.assertIn("./usr/share/applications/org.horivo.Zrq.desktop", entries)
        self.assertTrue(all(p == "./" or p.startswith("./usr/") for p in entries))

    def test_postinst_is_an_executable_maintainer_script(self):
        postinst = self.control / "postinst"
        self.assertTrue(postinst.stat().st_mode & stat.S_IXUSR)
        run("sh", "-n", str(postinst))

    def run_postinst(self, action, setcap_status=0):
        fake_bin = self.tmp / "fake-bin"
        fake_bin.mkdir(exist_ok=True)
        log = self.tmp / "setcap.log"
        log.unlink(missing_ok=True)
        setcap = fake_bin / "setcap"
        setcap.write_text(FAKE_SETCAP.format(log=log))
        setcap.chmod(0o755)
        env = {"PATH": f"{fake_bin}:/usr/bin:/bin", "SETCAP_STATUS": str(setcap_status)}
        result = subprocess.run(["sh", str(self.control / "postinst"), action], env=env,
                                capture_output=True, text=True, timeout=30)
        calls = log.read_text().splitlines() if log.exists() else []
        return result, calls

    def test_postinst_gives_the_program_the_clock_capability(self):
        cases = [
            # action, setcap status, expected setcap calls, warning expected
            ("configure", 0, ["cap_sys_time+ep /usr/bin/zrq"], False),
            ("configure", 1, ["cap_sys_time+ep /usr/bin/zrq"], True),
            ("abort-upgrade", 0, [], False),
            ("abort-remove", 0, [], False),
        ]
        for action, status, expected_calls, warns in cases:
            with self.subTest(action=action, setcap_status=status):
                result, calls = self.run_postinst(action, status)
                # A refused capability leaves a working program, so the installation goes on.
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(calls, expected_calls)
                self.assertEqual("refused" in result.stderr, warns)


if __name__ == "__main__":
    unittest.main()
