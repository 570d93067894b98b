"""The Debian package: what lintian says of it, its control fields, its contents under /usr, what
systemd-analyze says of the service's unit (offline), and what its maintainer scripts do with the
group, the service's user, the owner and the clock capability (run against stand-ins for the
commands that change the system, never the real ones)."""
import gzip
import os
import pathlib
import re
import shutil
import stat
import subprocess
import sys
import tempfile
import unittest

BUILD_DIR, VERSION = (sys.argv.pop(1) for _ in range(2))

# Stands in for the commands the maintainer scripts run: records each call; the group exists
# when FAKE_GROUP is set, the service's user when FAKE_USER is, FAKE_OVERRIDE is the program's
# dpkg-statoverride entry (none when empty), and setcap exits with the status in SETCAP_STATUS.
FAKE_COMMAND = """#!/bin/sh
echo "${{0##*/}} $*" >> "{log}"
case "${{0##*/}} $1" in
    "getent group") [ -n "$FAKE_GROUP" ] ;;
    "getent passwd") [ -n "$FAKE_USER" ] ;;
    "dpkg-statoverride --list") [ -n "$FAKE_OVERRIDE" ] && echo "$FAKE_OVERRIDE" ;;
    setcap*) exit "$SETCAP_STATUS" ;;
esac
"""
FAKED = ("getent", "addgroup", "adduser", "dpkg-statoverride", "setcap", "systemd-tmpfiles")
OURS = "root zrq 750 /usr/bin/zrq"
ADMINS = "root staff 750 /usr/bin/zrq"
ADD_GROUP = "addgroup --system --quiet zrq"
ADD_OVERRIDE = "dpkg-statoverride --update --add root zrq 0750 /usr/bin/zrq"
SETCAP = "setcap cap_sys_time+ep /usr/bin/zrq"
LOCK_FOLDER = "systemd-tmpfiles --create zrq.conf"
REMOVE_OVERRIDE = "dpkg-statoverride --remove /usr/bin/zrq"
ADD_USER = "adduser --system --quiet --group --no-create-home --home /nonexistent _zrq"
JOIN_GROUPS = ["adduser --quiet _zrq dialout", "adduser --quiet _zrq zrq"]
UNIT = "usr/lib/systemd/system/zrqd.service"
# What systemd-analyze security may rate the service at most (Debian's chrony.service: 3.7).
MAX_EXPOSURE = 2.0


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

    def test_lintian_finds_no_error_and_no_warning(self):
        result = subprocess.run(["lintian", "--tag-display-limit", "0", str(self.deb)],
                                capture_output=True, text=True, timeout=600)
        found = [line for line in result.stdout.splitlines() if line[:2] in ("E:", "W:")]
        self.assertEqual(found, [], result.stdout + result.stderr)

    def test_depends_on_the_qt_runtime_setcap_and_adduser(self):
        depends = {d.split()[0] for d in self.field("Depends").split(", ")}
        for package in ("libqt6charts6", "libqt6widgets6", "libqt6gui6", "libqt6core6",
                        "qt6-qpa-plugins", "libcap2-bin", "adduser", "libsystemd0"):
            with self.subTest(package):
                self.assertIn(package, depends)

    def test_contents_lie_under_usr_and_are_owned_by_root(self):
        listing = run("dpkg-deb", "-c", str(self.deb)).splitlines()
        entries = {line.split()[-1]: line.split()[:2] for line in listing}
        # The group and mode of /usr/bin/zrq come from the postinst's override.
        for path, section in (("./usr/bin/zrq", 1), ("./usr/bin/zrq-launch", 1),
                              ("./usr/bin/zrq-clockdev", 1), ("./usr/bin/zrq-offsets", 1),
                              ("./usr/bin/zrqd", 8)):
            with self.subTest(path):
                self.assertEqual(entries[path], ["-rwxr-xr-x", "root/root"])
                name = path.rsplit("/", 1)[1]
                self.assertIn(f"./usr/share/man/man{section}/{name}.{section}.gz", entries)
        self.assertEqual(entries["./" + UNIT], ["-rw-r--r--", "root/root"])
        self.assertIn("./usr/share/zrq/ZEQU.html", entries)
        self.assertIn("./usr/share/applications/org.horivo.Zrq.desktop", entries)
        self.assertIn("./usr/share/applications/org.horivo.Zrq.Offsets.desktop", entries)
        self.assertTrue(all(p == "./" or p.startswith("./usr/") for p in entries))

    def test_copyright_and_changelog_of_this_version(self):
        doc = self.unpacked() / "usr/share/doc/zrq"
        self.assertIn("Files: *", (doc / "copyright").read_text())
        with gzip.open(doc / "changelog.gz", "rt") as changelog:
            self.assertEqual(changelog.readline().split()[:2], ["zrq", f"({VERSION})"])

    def unpacked(self):
        data = self.tmp / "data"
        if not data.exists():
            run("dpkg-deb", "-x", str(self.deb), str(data))
        return data

    def test_lock_folder_is_made_at_boot_for_root_and_the_group(self):
        data = self.unpacked()
        lines = [line.split() for line in
                 (data / "usr/lib/tmpfiles.d/zrq.conf").read_text().splitlines()
                 if line and not line.startswith("#")]
        self.assertEqual(lines, [["d", "/run/zrq", "0770", "root", "zrq", "-"]])

    def test_service_unit_passes_systemd_analyze_offline(self):
        """verify finds nothing in the unit as installed (its programs and manual page inside
        the unpacked package), and security rates its exposure at most 2.0."""
        root = self.tmp / "analyze-root"
        shutil.copytree(self.unpacked(), root, symlinks=True)
        # The units it depends on, and ExecReload's /bin/kill, from this machine, laid out as a
        # merged /usr has them.
        shutil.copytree("/usr/lib/systemd/system", root / "usr/lib/systemd/system",
                        symlinks=True, dirs_exist_ok=True)
        shutil.copy2("/usr/bin/kill", root / "usr/bin/kill")
        (root / "bin").symlink_to("usr/bin")
        env = dict(os.environ, MANPATH=str(root / "usr/share/man"), SYSTEMD_LOG_LEVEL="notice")
        verify = subprocess.run(["systemd-analyze", "verify", f"--root={root}", "/" + UNIT],
                                capture_output=True, text=True, timeout=60, env=env)
        self.assertEqual((verify.returncode, verify.stdout + verify.stderr), (0, ""))
        security = subprocess.run(["systemd-analyze", "security", "--offline=yes",
                                   str(root / UNIT)], capture_output=True, text=True, timeout=60)
        rating = re.search(r"Overall exposure level for zrqd\.service: (\d+\.\d+)",
                           security.stdout)
        self.assertIsNotNone(rating, security.stdout + security.stderr)
        self.assertLessEqual(float(rating.group(1)), MAX_EXPOSURE, security.stdout)

    def test_service_unit_runs_the_service_as_its_user_with_only_the_clock_right(self):
        unit = (self.unpacked() / UNIT).read_text()
        settings = {}
        for line in unit.splitlines():
            if "=" in line and not line.startswith("#"):
                key, value = line.split("=", 1)
                settings.setdefault(key, []).append(value)
        for key, value in (("Type", "notify"), ("ExecStart", "/usr/bin/zrqd"),
                           ("ExecReload", "/bin/kill -HUP $MAINPID"), ("Restart", "on-failure"),
                           ("User", "_zrq"), ("StateDirectory", "zrq"),
                           ("WorkingDirectory", "/var/lib/zrq"),
                           ("AmbientCapabilities", "CAP_SYS_TIME"),
                           ("CapabilityBoundingSet", "CAP_SYS_TIME"),
                           ("RestrictAddressFamilies", "AF_UNIX"), ("DevicePolicy", "closed"),
                           ("ProtectSystem", "strict")):
            with self.subTest(key):
                self.assertEqual(settings.get(key), [value])
        self.assertIn("WatchdogSec", settings)
        # Nothing enables or starts it on installation.
        listing = run("dpkg-deb", "-c", str(self.deb))
        self.assertNotIn("./etc/systemd", listing)
        for name in ("postinst", "postrm"):
            with self.subTest(name):
                script = (self.control / name).read_text()
                self.assertIsNone(re.search(r"systemctl|deb-systemd|invoke-rc\.d", script))

    def test_maintainer_scripts_are_executable(self):
        for name in ("postinst", "postrm"):
            with self.subTest(name):
                script = self.control / name
                self.assertTrue(script.stat().st_mode & stat.S_IXUSR)
                run("sh", "-n", str(script))

    def run_script(self, name, action, group=True, override=OURS, setcap_status=0, user=True):
        """Runs a maintainer script; returns its result and the calls that change the system."""
        fake_bin = self.tmp / "fake-bin"
        fake_bin.mkdir(exist_ok=True)
        log = self.tmp / "calls.log"
        log.unlink(missing_ok=True)
        for command in FAKED:
            (fake_bin / command).write_text(FAKE_COMMAND.format(log=log))
            (fake_bin / command).chmod(0o755)
        env = {"PATH": f"{fake_bin}:/usr/bin:/bin", "SETCAP_STATUS": str(setcap_status),
               "FAKE_GROUP": "yes" if group else "", "FAKE_USER": "yes" if user else "",
               "FAKE_OVERRIDE": override}
        result = subprocess.run(["sh", str(self.control / name), action], env=env,
                                capture_output=True, text=True, timeout=30)
        calls = log.read_text().splitlines() if log.exists() else []
        queries = ("getent ", "dpkg-statoverride --list")
        return result, [c for c in calls if not c.startswith(queries)]

    def test_postinst_keeps_the_clock_capability_to_the_group(self):
        cases = [
            # legend, action, group and user exist, override, setcap status, changes, warning
            ("first installation", "configure", False, "", 0,
             [ADD_GROUP, LOCK_FOLDER, ADD_OVERRIDE, SETCAP, ADD_USER, *JOIN_GROUPS], False),
            ("upgrade", "configure", True, OURS, 0, [LOCK_FOLDER, SETCAP, *JOIN_GROUPS], False),
            ("the administrator's own override", "configure", True, ADMINS, 0,
             [LOCK_FOLDER, SETCAP, *JOIN_GROUPS], False),
            ("group left by an earlier purge", "configure", True, "", 0,
             [LOCK_FOLDER, ADD_OVERRIDE, SETCAP, *JOIN_GROUPS], False),
            ("setcap refused", "configure", True, OURS, 1, [LOCK_FOLDER, SETCAP, *JOIN_GROUPS],
             True),
            ("abort-upgrade", "abort-upgrade", True, OURS, 0, [], False),
            ("abort-remove", "abort-remove", True, OURS, 0, [], False),
        ]
        for legend, action, exists, override, status, changes, warns in cases:
            with self.subTest(legend):
                result, calls = self.run_script("postinst", action, exists, override, status,
                                                user=exists)
                # A refused capability leaves a working program, so the installation goes on.
                self.assertEqual(result.returncode, 0, result.stderr)
                # The owner first: changing it clears a capability set before.
                self.assertEqual(calls, changes)
                self.assertEqual("refused" in result.stderr, warns)

    def test_postrm_takes_back_only_its_own_override(self):
        cases = [
            # action, override, changes
            ("remove", OURS, [REMOVE_OVERRIDE]),
            ("purge", OURS, [REMOVE_OVERRIDE]),
            ("purge", "", []),
            ("remove", ADMINS, []),
            ("upgrade", OURS, []),
        ]
        for action, override, changes in cases:
            with self.subTest(action=action, override=override):
                result, calls = self.run_script("postrm", action, override=override)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(calls, changes)


if __name__ == "__main__":
    unittest.main()
