"""The Debian packages that scripts/package built (their paths are the arguments): what lintian says
of them, their control fields and dependencies, each package's files, what systemd-analyze says
of the service's unit (offline), and what their maintainer scripts do with the group, the
service's user, the owner, the clock capability and the unit (run against stand-ins for every
command that changes the system, never the real ones)."""
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

DEBS = [pathlib.Path(p) for p in sys.argv[1:]]
del sys.argv[1:]
PACKAGES = ("zrq-common", "zrqd", "zrq")
UNIT = "lib/systemd/system/zrqd.service"
APP_ID = "org.horivo.Zrq"
# Each package's files; the documents every package has are added below.
FILES = {
    "zrq-common": {"usr/bin/zrq-clockdev", "usr/lib/tmpfiles.d/zrq.conf",
                   "usr/share/man/man1/zrq-clockdev.1.gz"},
    "zrqd": {"usr/bin/zrqd", "usr/bin/zrqctl", UNIT, "usr/share/man/man8/zrqd.8.gz",
             "usr/share/man/man1/zrqctl.1.gz", "usr/share/dbus-1/system.d/org.horivo.Zrq1.conf",
             "usr/share/lintian/overrides/zrqd"},
    "zrq": {"usr/bin/zrq", "usr/bin/zrq-launch", "usr/bin/zrq-offsets",
            "usr/share/lintian/overrides/zrq",
            "usr/share/zrq/ZEQU.html", f"usr/share/metainfo/{APP_ID}.metainfo.xml",
            f"usr/share/applications/{APP_ID}.desktop",
            f"usr/share/applications/{APP_ID}.Offsets.desktop",
            "usr/share/icons/hicolor/scalable/apps/zrq.svg"}
           | {f"usr/share/icons/hicolor/{n}x{n}/apps/zrq.png" for n in (16, 32, 48, 64, 128, 256)}
           | {f"usr/share/man/man1/{name}.1.gz" for name in ("zrq", "zrq-launch", "zrq-offsets")},
}
PROGRAMS = {path for files in FILES.values() for path in files if path.startswith("usr/bin/")}
# No toolkit, no X, no GL: what a server without a display should not have to install.
DESKTOP_LIBRARY = re.compile(r"qt|libx|xcb|x11|libgl|libegl|opengl|mesa|wayland|drm|fontconfig")

# Stands in for the commands the maintainer scripts run: records each call; the group exists
# when FAKE_GROUP is set, the service's user when FAKE_USER is, FAKE_OVERRIDE is the program's
# dpkg-statoverride entry (none when empty), setcap exits with the status in SETCAP_STATUS, and
# the unit was enabled before when FAKE_ENABLED is set.
FAKE_COMMAND = """#!/bin/sh
echo "${{0##*/}} $*" >> "{log}"
case "${{0##*/}} $1" in
    "getent group") [ -n "$FAKE_GROUP" ] ;;
    "getent passwd") [ -n "$FAKE_USER" ] ;;
    "dpkg-statoverride --list") [ -n "$FAKE_OVERRIDE" ] && echo "$FAKE_OVERRIDE" ;;
    "deb-systemd-helper --quiet") [ -n "$FAKE_ENABLED" ] ;;
    setcap*) exit "$SETCAP_STATUS" ;;
esac
"""
FAKED = ("getent", "addgroup", "adduser", "dpkg-statoverride", "setcap", "systemd-tmpfiles",
         "systemctl", "deb-systemd-helper", "deb-systemd-invoke", "rm", "rmdir")
QUERIES = ("getent ", "dpkg-statoverride --list", "deb-systemd-helper debian-installed",
           "deb-systemd-helper --quiet was-enabled", "deb-systemd-helper unmask")
OURS = "root zrq 750 /usr/bin/zrq"
ADMINS = "root staff 750 /usr/bin/zrq"
ADD_GROUP = "addgroup --system --quiet zrq"
LOCK_FOLDER = "systemd-tmpfiles --create zrq.conf"
ADD_OVERRIDE = "dpkg-statoverride --update --add root zrq 0750 /usr/bin/zrq"
SETCAP = "setcap cap_sys_time+ep /usr/bin/zrq"
REMOVE_OVERRIDE = "dpkg-statoverride --remove /usr/bin/zrq"
ADD_USER = "adduser --system --quiet --group --no-create-home --home /nonexistent _zrq"
JOIN_GROUPS = ["adduser --quiet _zrq dialout", "adduser --quiet _zrq zrq"]
ENABLE_AGAIN = "deb-systemd-helper enable zrqd.service"
UPDATE_STATE = "deb-systemd-helper update-state zrqd.service"
PURGE_UNIT = "deb-systemd-helper purge zrqd.service"
RELOAD = "systemctl --system daemon-reload"
# The generated parts that talk to systemd run only where it runs.
SYSTEMD_RUNS = os.path.isdir("/run/systemd/system")
# What systemd-analyze security may rate the service at most (Debian's chrony.service: 3.7).
MAX_EXPOSURE = 2.0


def run(*args, **kwargs):
    return subprocess.run(args, check=True, capture_output=True, text=True, timeout=300,
                          **kwargs).stdout


def when_systemd_runs(*calls):
    return list(calls) if SYSTEMD_RUNS else []


class DebianPackagesTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = pathlib.Path(tempfile.mkdtemp(prefix="zrq-deb-"))
        cls.arch = run("dpkg", "--print-architecture").strip()
        cls.version = run("dpkg-parsechangelog", "-l",
                          str(pathlib.Path(__file__).parents[2] / "debian/changelog"),
                          "-S", "Version").strip()
        cls.debs = {run("dpkg-deb", "-f", str(deb), "Package").strip(): deb for deb in DEBS}

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp)

    def field(self, package, name):
        return run("dpkg-deb", "-f", str(self.debs[package]), name).strip()

    def depends(self, package):
        return {d.split()[0] for d in self.field(package, "Depends").split(", ")}

    def unpacked(self, package, part="data"):
        folder = self.tmp / part / package
        if not folder.exists():
            folder.parent.mkdir(exist_ok=True)
            run("dpkg-deb", "-x" if part == "data" else "-e", str(self.debs[package]),
                str(folder))
        return folder

    def test_each_package_and_its_debug_symbols_are_made(self):
        self.assertEqual(set(self.debs),
                         {*PACKAGES, *(f"{p}-dbgsym" for p in PACKAGES)})
        for package, deb in self.debs.items():
            with self.subTest(package):
                self.assertEqual(deb.name, f"{package}_{self.version}_{self.arch}.deb")
                for name, expected in [("Version", self.version), ("Architecture", self.arch)]:
                    self.assertEqual(self.field(package, name), expected)
                if not package.endswith("-dbgsym"):
                    self.assertEqual(self.field(package, "Section"), "utils")
                    self.assertRegex(self.field(package, "Maintainer"), r".+ <[^@>]+@[^>]+>")

    def test_lintian_finds_nothing_that_is_not_overridden(self):
        result = subprocess.run(["lintian", "--display-info", "--tag-display-limit", "0",
                                 *map(str, DEBS)], capture_output=True, text=True, timeout=600)
        found = [line for line in result.stdout.splitlines() if line[:2] in ("E:", "W:", "I:")]
        self.assertEqual(found, [], result.stdout + result.stderr)

    def test_dependencies_by_use(self):
        desktop = {"libqt6charts6", "libqt6widgets6", "libqt6gui6", "libqt6core6",
                   "qt6-qpa-plugins", "libcap2-bin"}
        cases = [
            # package, needed, left out
            ("zrq-common", {"adduser"}, {"zrq", "zrqd"}),
            ("zrqd", {"zrq-common", "adduser", "libsystemd0"}, {"zrq", "libcap2-bin"}),
            ("zrq", {"zrq-common"} | desktop, {"zrqd"}),
        ]
        for package, needed, left_out in cases:
            with self.subTest(package):
                depends = self.depends(package)
                self.assertLessEqual(needed, depends)
                self.assertFalse(left_out & depends)
                if package != "zrq":
                    self.assertEqual([d for d in depends if DESKTOP_LIBRARY.search(d)], [])
        # The service steps onto the system bus where there is one; it runs without.
        self.assertRegex(self.field("zrqd", "Recommends"), r"\bdbus\b")
        for package in ("zrqd", "zrq"):
            with self.subTest(f"{package} needs its own zrq-common"):
                self.assertIn(f"zrq-common (= {self.version})", self.field(package, "Depends"))

    def test_each_package_holds_its_files_owned_by_root(self):
        for package in PACKAGES:
            with self.subTest(package):
                listing = run("dpkg-deb", "-c", str(self.debs[package])).splitlines()
                entries = {line.split()[-1].removeprefix("./"): line.split()[:2]
                           for line in listing if not line.endswith("/")}
                documents = {f"usr/share/doc/{package}/copyright",
                             f"usr/share/doc/{package}/changelog.gz"}
                self.assertEqual(set(entries), FILES[package] | documents)
                # The group and mode of /usr/bin/zrq come from the postinst's override.
                for path, (mode, owner) in entries.items():
                    self.assertEqual(owner, "root/root", path)
                    self.assertEqual(mode, "-rwxr-xr-x" if path in PROGRAMS else "-rw-r--r--",
                                     path)

    def test_programs_are_stripped_into_the_debug_symbol_packages(self):
        for package in PACKAGES:
            programs = [p for p in FILES[package] if p in PROGRAMS and p != "usr/bin/zrq-launch"]
            for path in programs:
                with self.subTest(path):
                    sections = run("readelf", "-S", "-W", str(self.unpacked(package) / path))
                    self.assertIn(".gnu_debuglink", sections)
                    self.assertNotIn(".debug_info", sections)
                    self.assertNotIn(".comment", sections)
            with self.subTest(f"{package}-dbgsym"):
                listing = run("dpkg-deb", "-c", str(self.debs[f"{package}-dbgsym"]))
                self.assertEqual(len(re.findall(r"/usr/lib/debug/\.build-id/.+\.debug$",
                                                listing, re.M)), len(programs))

    def test_copyright_and_changelog_of_this_version(self):
        for package in PACKAGES:
            with self.subTest(package):
                doc = self.unpacked(package) / f"usr/share/doc/{package}"
                self.assertIn("Files: *", (doc / "copyright").read_text())
                with gzip.open(doc / "changelog.gz", "rt") as changelog:
                    self.assertEqual(changelog.readline().split()[:2],
                                     ["zrq", f"({self.version})"])

    def test_lock_folder_is_made_at_boot_for_root_and_the_group(self):
        conf = self.unpacked("zrq-common") / "usr/lib/tmpfiles.d/zrq.conf"
        lines = [line.split() for line in conf.read_text().splitlines()
                 if line and not line.startswith("#")]
        self.assertEqual(lines, [["d", "/run/zrq", "3770", "root", "zrq", "-"],
                                 ["f", "/run/zrq/zrq.lock", "0660", "root", "zrq", "-"]])

    def test_service_unit_passes_systemd_analyze_offline(self):
        """verify finds nothing in the unit as installed (its programs and manual page inside
        the unpacked package), and security rates its exposure at most 2.0."""
        root = self.tmp / "analyze-root"
        shutil.copytree(self.unpacked("zrqd"), root, symlinks=True)
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
        unit = (self.unpacked("zrqd") / UNIT).read_text()
        settings = {}
        for line in unit.splitlines():
            if "=" in line and not line.startswith("#"):
                key, value = line.split("=", 1)
                settings.setdefault(key, []).append(value)
        for key, value in (("Type", "notify"), ("ExecStart", "/usr/bin/zrqd"),
                           ("ExecReload", "/bin/kill -HUP $MAINPID"), ("Restart", "on-failure"),
                           ("User", "_zrq"), ("Group", "zrq"), ("StateDirectory", "zrq"),
                           ("StateDirectoryMode", "0750"), ("UMask", "0027"),
                           ("WorkingDirectory", "/var/lib/zrq"),
                           ("AmbientCapabilities", "CAP_SYS_TIME"),
                           ("CapabilityBoundingSet", "CAP_SYS_TIME"),
                           ("RestrictAddressFamilies", "AF_UNIX"), ("DevicePolicy", "closed"),
                           ("ProtectSystem", "strict")):
            with self.subTest(key):
                self.assertEqual(settings.get(key), [value])
        self.assertIn("WatchdogSec", settings)

    def test_package_manager_looks_after_the_unit(self):
        """The parts debhelper generates: never enabled (only enabled again where the
        administrator had it enabled), started on installation only when enabled (the start
        goes through deb-systemd-invoke, which skips a disabled unit), restarted on upgrade,
        stopped before removal, units reloaded, the unit's state purged."""
        control = self.unpacked("zrqd", "control")
        postinst = (control / "postinst").read_text()
        self.assertRegex(postinst, r"was-enabled 'zrqd\.service'; then\s+#[^\n]*\n\s+"
                                   r"deb-systemd-helper enable 'zrqd\.service'")
        self.assertEqual(postinst.count("deb-systemd-helper enable"), 1)
        self.assertIn("_dh_action=restart", postinst)
        self.assertIn("deb-systemd-invoke $_dh_action 'zrqd.service'", postinst)
        self.assertIn(RELOAD, postinst)
        self.assertRegex((control / "prerm").read_text(),
                         r'"\$1" = remove .*\n\s+deb-systemd-invoke stop \'zrqd\.service\'')
        postrm = (control / "postrm").read_text()
        self.assertIn("deb-systemd-helper purge 'zrqd.service'", postrm)
        self.assertIn(RELOAD, postrm)
        # Nothing enables it on installation.
        self.assertNotIn("./etc/systemd", run("dpkg-deb", "-c", str(self.debs["zrqd"])))
        for package in ("zrq-common", "zrq"):
            with self.subTest(package):
                for script in self.unpacked(package, "control").iterdir():
                    self.assertNotRegex(script.read_text(), r"systemctl|deb-systemd|invoke-rc")

    def test_maintainer_scripts_are_executable_shell(self):
        for package in PACKAGES:
            for script in self.unpacked(package, "control").iterdir():
                if script.name in ("preinst", "postinst", "prerm", "postrm"):
                    with self.subTest(f"{package} {script.name}"):
                        self.assertTrue(script.stat().st_mode & stat.S_IXUSR)
                        run("sh", "-n", str(script))

    def run_script(self, package, name, action, *args, group=True, user=True, override=OURS,
                   setcap_status=0, enabled=False):
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
               "FAKE_OVERRIDE": override, "FAKE_ENABLED": "yes" if enabled else ""}
        script = self.unpacked(package, "control") / name
        result = subprocess.run(["sh", str(script), action, *args], env=env,
                                capture_output=True, text=True, timeout=30)
        calls = log.read_text().splitlines() if log.exists() else []
        return result, [c.replace("'", "") for c in calls if not c.startswith(QUERIES)]

    def test_group_and_lock_folder_before_the_programs(self):
        cases = [
            # legend, action, group exists, changes
            ("first installation", "configure", False, [ADD_GROUP, LOCK_FOLDER]),
            ("group left by an earlier purge", "configure", True, [LOCK_FOLDER]),
            ("abort-upgrade", "abort-upgrade", True, [LOCK_FOLDER]),
        ]
        for legend, action, exists, changes in cases:
            with self.subTest(legend):
                result, calls = self.run_script("zrq-common", "postinst", action, group=exists)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(calls, changes)
        for action, changes in [("purge", ["rm -f /run/zrq/zrq.lock", "rmdir /run/zrq"]),
                                ("remove", [])]:
            with self.subTest(f"postrm {action}"):
                result, calls = self.run_script("zrq-common", "postrm", action)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(calls, changes)

    def test_service_user_and_unit_across_the_life_of_the_package(self):
        start, restart = (when_systemd_runs(RELOAD, f"deb-systemd-invoke {a} zrqd.service")
                          for a in ("start", "restart"))
        cases = [
            # legend, script, arguments, user exists, enabled before, changes
            ("first installation", "postinst", ["configure"], False, False,
             [ADD_USER, *JOIN_GROUPS, UPDATE_STATE, *start]),
            ("upgrade", "postinst", ["configure", "0.9"], True, False,
             [*JOIN_GROUPS, UPDATE_STATE, *restart]),
            ("reinstalled where it was enabled", "postinst", ["configure"], True, True,
             [*JOIN_GROUPS, ENABLE_AGAIN, UPDATE_STATE, *start]),
            ("removal", "prerm", ["remove"], True, True,
             when_systemd_runs("deb-systemd-invoke stop zrqd.service")),
            ("upgrade, old prerm", "prerm", ["upgrade", "1.0.1"], True, True, []),
            ("removal, postrm", "postrm", ["remove"], True, True, when_systemd_runs(RELOAD)),
            ("purge", "postrm", ["purge"], True, False,
             [PURGE_UNIT] if os.access("/usr/bin/deb-systemd-helper", os.X_OK) else []),
        ]
        for legend, name, args, exists, enabled, changes in cases:
            with self.subTest(legend):
                result, calls = self.run_script("zrqd", name, *args, user=exists,
                                                enabled=enabled)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(calls, changes)

    def test_postinst_keeps_the_clock_capability_to_the_group(self):
        cases = [
            # legend, action, override, setcap status, changes, warning
            ("first installation", "configure", "", 0, [ADD_OVERRIDE, SETCAP], False),
            ("upgrade", "configure", OURS, 0, [SETCAP], False),
            ("the administrator's own override", "configure", ADMINS, 0, [SETCAP], False),
            ("setcap refused", "configure", OURS, 1, [SETCAP], True),
            ("abort-upgrade", "abort-upgrade", OURS, 0, [], False),
            ("abort-remove", "abort-remove", OURS, 0, [], False),
        ]
        for legend, action, override, status, changes, warns in cases:
            with self.subTest(legend):
                result, calls = self.run_script("zrq", "postinst", action, override=override,
                                                setcap_status=status)
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
                result, calls = self.run_script("zrq", "postrm", action, override=override)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(calls, changes)


if __name__ == "__main__":
    unittest.main()
