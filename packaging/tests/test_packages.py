#!/usr/bin/env python3
"""Builds the Debian packages, installs them on this machine, runs the
installed service program with its sample configuration against the
simulator, and removes the packages again.

The environment names the build: ORVEL_CPACK_CONFIG (the build folder's
CPackConfig.cmake) and ORVEL_BRIDGE_LAB (the simulator). Needs root and dpkg,
and a private network namespace with only lo (CTest runs it under
`unshare -n`). Exit status 77 when it cannot run here (CTest's skip code).
"""

import glob
import os
import pwd
import re
import shutil
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "e2e"))
from bridgeharness import START_TIMEOUT, STARTED, STOP_BOUND, Bridge, Lab, main  # noqa: E402

SERVICE_PACKAGE = "orvel-bridge"
UI_PACKAGE = "orvel-bridge-ui"
USER = "orvel-bridge"
CONFIG = "/etc/orvel-bridge/orvel-bridge.ini"
AUTOSTART = "/etc/xdg/autostart/orvel-bridge-ui.desktop"
# Configuration files stay after a removal, until a purge.
CONFFILES = (CONFIG, AUTOSTART)
UNIT = "/lib/systemd/system/orvel-bridge.service"
SERVICE_FILES = ["/usr/bin/orvel-bridge-console", UNIT, "/usr/lib/sysusers.d/orvel-bridge.conf", CONFIG,
                 "/usr/share/doc/orvel-bridge/copyright", "/usr/share/doc/orvel-bridge/changelog.gz",
                 "/usr/share/doc/orvel-bridge/orvel-bridge-console-help.txt"]
UI_FILES = ["/usr/bin/orvel-bridge-ui", "/usr/share/applications/orvel-bridge-ui.desktop",
            AUTOSTART,
            "/usr/share/icons/hicolor/scalable/apps/orvel-bridge-ui.svg",
            "/usr/share/doc/orvel-bridge-ui/copyright"]
# The exposure systemd-analyze may give the unit at most ("OK").
EXPOSURE_BOUND = 2.0


def run(argv, **kwargs):
    return subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, **kwargs)


def installed(package):
    status = run(["dpkg-query", "-W", "-f=${Status}", package])
    return status.returncode == 0 and "install ok installed" in status.stdout


def package_files(deb):
    """The regular files and links a package carries, as absolute paths."""
    files = []
    for line in run(["dpkg-deb", "-c", deb]).stdout.splitlines():
        fields = line.split(None, 5)
        if len(fields) == 6 and fields[0][0] in "-l":
            files.append(fields[5].split(" -> ")[0].lstrip("."))
    return files


class Packages(unittest.TestCase):
    """Both packages: built, installed, used, removed."""

    @classmethod
    def setUpClass(cls):
        if os.geteuid() != 0:
            raise unittest.SkipTest("installing packages needs root")
        for tool in ("dpkg", "dpkg-deb", "cpack", "setpriv"):
            if not shutil.which(tool):
                raise unittest.SkipTest("%s is missing" % tool)
        for name in ("ORVEL_CPACK_CONFIG", "ORVEL_BRIDGE_LAB"):
            if not os.path.isfile(os.environ.get(name, "")):
                raise unittest.SkipTest("%s does not name a file" % name)
        if [name for _, name in socket.if_nameindex()] != ["lo"]:
            raise unittest.SkipTest("needs a private network namespace with only lo")
        for package in (SERVICE_PACKAGE, UI_PACKAGE):
            if installed(package):
                raise unittest.SkipTest("%s is installed on this machine already; left alone" % package)
        subprocess.run(["ip", "link", "set", "lo", "up"], check=True)

        work = tempfile.TemporaryDirectory(prefix="orvel-packages-")
        cls.addClassCleanup(work.cleanup)
        cls.work = work.name
        built = run(["cpack", "-G", "DEB", "--config", os.environ["ORVEL_CPACK_CONFIG"], "-B", cls.work])
        if built.returncode != 0:
            raise AssertionError("cpack failed:\n" + built.stdout)
        cls.debs = {re.sub(r"_.*", "", os.path.basename(deb)): deb
                    for deb in glob.glob(os.path.join(cls.work, "*.deb"))}
        if SERVICE_PACKAGE not in cls.debs:
            raise AssertionError("no %s package: %s" % (SERVICE_PACKAGE, sorted(cls.debs)))
        cls.addClassCleanup(cls.purge)
        result = run(["dpkg", "-i"] + sorted(cls.debs.values()))
        if result.returncode != 0:
            raise AssertionError("dpkg -i failed:\n" + result.stdout)

    @classmethod
    def purge(cls):
        run(["dpkg", "-P"] + sorted(cls.debs))

    def test_1_files_in_place_with_their_owners(self):
        expected = SERVICE_FILES + (UI_FILES if UI_PACKAGE in self.debs else [])
        for path in expected:
            with self.subTest(path=path):
                status = os.lstat(path)
                self.assertEqual((status.st_uid, status.st_gid), (0, 0), "owned by root")
                self.assertFalse(status.st_mode & (stat.S_IWGRP | stat.S_IWOTH), "writable by root only")
        self.assertTrue(os.stat("/usr/bin/orvel-bridge-console").st_mode & stat.S_IXOTH)
        user = pwd.getpwnam(USER)
        self.assertLess(user.pw_uid, 1000, "a system user")
        self.assertEqual(user.pw_dir, "/var/lib/orvel-bridge")
        self.assertTrue(user.pw_shell.endswith("nologin"))
        depends = run(["dpkg-deb", "-f", self.debs[SERVICE_PACKAGE], "Depends"]).stdout
        for library in ("libboost-program-options", "libsystemd0", "libstdc++6", "libssl3"):
            self.assertIn(library, depends, "dependencies come from the program's libraries")
        with open(CONFIG) as sample:
            options = re.findall(r"^#([a-z-]+) =", sample.read(), re.M)
        for option in ("server-address", "server-port", "static-printers", "gateway", "gateway-port", "slave",
                       "discovery-responder", "printer-tunnel", "printer-tunnel-port", "quiet", "log-level",
                       "log-file", "server-tls", "server-tls-ca", "server-tls-name"):
            self.assertIn(option, options, "the sample shows every option, commented")

    def test_2_unit_verifies_and_is_hardened(self):
        if not shutil.which("systemd-analyze"):
            self.skipTest("systemd-analyze is missing")
        verify = run(["systemd-analyze", "verify", UNIT])
        self.assertEqual(verify.returncode, 0, verify.stdout)
        security = run(["systemd-analyze", "security", "--offline=true", UNIT])
        match = re.search(r"Overall exposure level for \S+: (\d+\.\d+) (\S+)", security.stdout)
        self.assertIsNotNone(match, security.stdout)
        self.assertLessEqual(float(match.group(1)), EXPOSURE_BOUND, security.stdout)

    def test_3_installed_program_runs_as_its_user_with_the_sample_configuration(self):
        home = tempfile.mkdtemp(prefix="home-", dir=self.work)
        user = pwd.getpwnam(USER)
        os.chmod(self.work, 0o755)
        os.chown(home, user.pw_uid, user.pw_gid)
        lab = Lab("Packages", ["127.0.0.2"], server="127.0.0.1:0")
        self.addCleanup(lab.finish)
        self.assertTrue(lab.wait_ready(1), "lab ready")
        # The sample configuration, with the lines an administrator would
        # uncomment and change.
        with open(CONFIG) as sample:
            text = sample.read()
        for option, value in (("server-address", "127.0.0.1"), ("server-port", str(lab.server_port())),
                              ("static-printers", "127.0.0.2")):
            text, count = re.subn(r"^#%s =.*$" % option, "%s = %s" % (option, value), text, flags=re.M)
            self.assertEqual(count, 1, option)
        config = os.path.join(home, "orvel-bridge.ini")
        with open(config, "w") as changed:
            changed.write(text)
        os.environ["ORVEL_BRIDGE_CONSOLE"] = "/usr/bin/orvel-bridge-console"
        bridge = Bridge("Packages", home, ["--config-file", config],
                        prefix=["setpriv", "--reuid", USER, "--regid", USER, "--init-groups",
                                "env", "XDG_DOCUMENTS_DIR=" + home])
        self.addCleanup(bridge.finish)
        self.assertIsNotNone(bridge.wait_for_text(STARTED, START_TIMEOUT), "started")
        self.assertEqual(len(lab.wait_for_events("server-register", 1, 20)), 1, "registered at the server")
        backups = os.path.join(home, "Orvel-Bridge")
        deadline = time.monotonic() + 20
        while not glob.glob(os.path.join(backups, "*.wvtb")) and time.monotonic() < deadline:
            time.sleep(0.2)
        stored = glob.glob(os.path.join(backups, "*.wvtb"))
        self.assertEqual(len(stored), 1, "one backup")
        self.assertEqual(os.stat(stored[0]).st_uid, user.pw_uid, "written by the service's user")
        bridge.signal(signal.SIGTERM)
        self.assertEqual(bridge.wait_exit(STOP_BOUND + 5), 0, "SIGTERM stops it with status 0")

    def test_4_removal_leaves_only_the_configuration(self):
        files = {package: package_files(deb) for package, deb in self.debs.items()}
        result = run(["dpkg", "-r"] + sorted(self.debs))
        self.assertEqual(result.returncode, 0, result.stdout)
        for package, paths in files.items():
            self.assertFalse(installed(package))
            for path in paths:
                with self.subTest(path=path):
                    self.assertEqual(os.path.lexists(path), path in CONFFILES, "only the configuration stays")
        self.assertTrue(os.path.exists(CONFIG))
        result = run(["dpkg", "-P"] + sorted(self.debs))
        self.assertEqual(result.returncode, 0, result.stdout)
        for path in CONFFILES:
            self.assertFalse(os.path.exists(path), "a purge takes the configuration too")


if __name__ == "__main__":
    sys.exit(main(sys.modules[__name__], sys.argv[1:]))
