#!/usr/bin/env python3
"""The Windows console program (orvel-bridge-console.exe) under Wine, end to
end, against the Linux printer and server simulator.

Usage: test_console_wine.py [TestClass[.test_method] ...]

The programs come from the environment: ORVEL_BRIDGE_CONSOLE (the .exe),
ORVEL_BRIDGE_LAB (orvel-bridge-lab of a Linux build) and ORVEL_WINEPREFIX
(the Wine prefix that serves as the template; prepared here when it is not
yet). Each test class runs the program in a copy of that prefix of its own.
- Binary: a PE32+ program that imports Windows' own DLLs only;
- CommandLine: --help and malformed option values;
- Session: the bridge in one network namespace, the lab's printers and
  server in another, joined by a veth pair (10.231.20.0/24): a static
  printer and a discovered one, named and polled; their sessions registered
  (every byte) and kept alive; the password file delivered; a backup stored
  byte for byte in the prefix's documents folder; a server tunnel and the
  local printer tunnel carrying a page; the ini file and the log file in
  the start folder, the status files in the local application data; Ctrl+C
  (SIGINT to wine64, a CTRL_C_EVENT for the program) ending it with status 0.
  Needs root and iproute2.

Exit status: 0 when the tests ran and passed, 1 on a failure, 77 when every
test was skipped (CTest's SKIP_RETURN_CODE).
"""

import json
import ntpath
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools", "e2e"))
sys.path.insert(0, os.path.join(HERE, "..", "..", "bridgelib", "tests"))
from bridgeharness import (PERIOD_TOLERANCE, PROCESSES, START_TIMEOUT, STARTED, STOPPED,  # noqa: E402
                           STOPPING, Bridge, lab_escaped, main, parse_http_reply)
from netns import NetnsCase, ip, require_namespaces  # noqa: E402
from nssocket import connect_in, first_difference, receive_to_end  # noqa: E402
from test_session_netns import fnv1a, large_page, password_file, random_content, text  # noqa: E402
import wine  # noqa: E402

# A Windows program's stop under Wine: the console event's thread, the
# service's stop and Wine's process end.
WINE_STOP_BOUND = 5.0
# The platform text of an x86-64 Windows build.
WINDOWS_PLATFORM = "Win (x64)"
# DLLs that every Windows has; MinGW's own (libstdc++-6.dll,
# libgcc_s_seh-1.dll, libwinpthread-1.dll) must be linked in instead.
WINDOWS_DLLS = {"kernel32.dll", "ws2_32.dll", "msvcrt.dll", "iphlpapi.dll", "shell32.dll", "bcrypt.dll",
                "advapi32.dll", "user32.dll", "ole32.dll", "shlwapi.dll", "psapi.dll", "ntdll.dll"}
OBJDUMP = "x86_64-w64-mingw32-objdump"


def template():
    """The prepared template prefix, or a SkipTest naming what is missing."""
    problem = wine.available()
    if problem:
        raise unittest.SkipTest(problem)
    if not os.path.isfile(os.environ.get("ORVEL_BRIDGE_CONSOLE", "")):
        raise unittest.SkipTest("ORVEL_BRIDGE_CONSOLE does not name the Windows program")
    path = os.environ.get("ORVEL_WINEPREFIX")
    if not path:
        raise unittest.SkipTest("ORVEL_WINEPREFIX names no Wine prefix")
    wine.prepare(path)
    return path


class Binary(unittest.TestCase):
    """The program file: what Windows needs to load it."""

    def setUp(self):
        self.program = os.environ.get("ORVEL_BRIDGE_CONSOLE", "")
        if not os.path.isfile(self.program):
            self.skipTest("ORVEL_BRIDGE_CONSOLE does not name the Windows program")
        if shutil.which(OBJDUMP) is None:
            self.skipTest("%s is missing (Debian package binutils-mingw-w64-x86-64)" % OBJDUMP)

    def objdump(self, option):
        return subprocess.run([OBJDUMP, option, self.program], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True, check=True).stdout

    def test_pe32_plus_for_x86_64(self):
        with open(self.program, "rb") as program:
            head = program.read(4096)
        self.assertEqual(head[:2], b"MZ")
        offset = int.from_bytes(head[0x3C:0x40], "little")
        self.assertEqual(head[offset:offset + 4], b"PE\0\0")
        self.assertEqual(int.from_bytes(head[offset + 4:offset + 6], "little"), 0x8664, "machine: x86-64")
        self.assertEqual(int.from_bytes(head[offset + 24:offset + 26], "little"), 0x20B, "optional header: PE32+")
        self.assertEqual(int.from_bytes(head[offset + 24 + 68:offset + 24 + 70], "little"), 3,
                         "subsystem: Windows console")

    def test_imports_only_windows_dlls(self):
        names = re.findall(r"^\s*DLL Name: (\S+)$", self.objdump("-p"), re.M)
        self.assertTrue(names, "the program imports DLLs")
        self.assertEqual(sorted(n for n in names if n.lower() not in WINDOWS_DLLS), [],
                         "DLLs that a plain Windows lacks (MinGW's runtime must be linked in): %r" % names)
        for needed in ("ws2_32.dll", "iphlpapi.dll", "shell32.dll"):
            self.assertIn(needed, [n.lower() for n in names])


class WineCase(unittest.TestCase):
    """Gives a test class a home folder (the programs' start folder) and Wine
    prefixes copied from the template; everything is removed at the end."""

    @classmethod
    def setUpClass(cls):
        cls.template = template()
        home_folder = tempfile.TemporaryDirectory(prefix="orvel-wine-home-")
        cls.addClassCleanup(home_folder.cleanup)
        cls.home = home_folder.name
        cls.addClassCleanup(cls.finish_processes)

    @classmethod
    def finish_processes(cls):
        for process in PROCESSES.get(cls.__name__, []):
            process.finish()

    @classmethod
    def make_prefix(cls, name, namespace=None):
        prefix = wine.Prefix(os.path.join(cls.home, name), namespace, template=cls.template)
        # Runs before the programs are collected: the wineserver ends them.
        cls.addClassCleanup(prefix.remove)
        prefix.start()
        return prefix


class CommandLine(WineCase):
    """--help and a malformed option value start nothing."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.prefix = cls.make_prefix("prefix")
        cls.backups = os.path.join(cls.prefix.documents(), "Orvel-Bridge")

    def run_to_end(self, args):
        bridge = Bridge(type(self).__name__, self.home, args, prefix=self.prefix.command(), label="bridge.exe")
        self.addCleanup(bridge.finish)
        status = bridge.wait_exit(START_TIMEOUT)
        bridge.finish()
        all_text = [line for _, _, line in bridge.snapshot()]
        self.assertFalse([line for line in all_text if "Bridge service" in line], "the service logs nothing")
        self.assertFalse(os.path.exists(self.backups), "no backup folder is created")
        return bridge, status

    def test_help(self):
        bridge, status = self.run_to_end(["--help"])
        self.assertEqual(status, 0, "exit status")
        out = "\n".join(line for _, _, line in bridge.snapshot("out"))
        for option in ("--help", "--gateway", "--gateway-port", "--slave", "--discovery-responder",
                       "--printer-tunnel", "--printer-tunnel-port", "--quiet", "--server-address",
                       "--server-port", "--server-tls", "--server-tls-ca", "--server-tls-name", "--static-printers",
                       "--config-file", "--log-level", "--log-file"):
            self.assertRegex(out, r"(?m)^\s+%s\b" % re.escape(option))
        self.assertIn("Display the help", out)

    def test_malformed_option_value(self):
        for args in (["--server-port", "x"], ["--log-level", "high"],
                     ["--static-printers", "127.0.0.2", "--server-port", "70000"], ["--gateway", "perhaps"],
                     # This build has no TLS: asking for it stops the start.
                     ["--server-tls", "true"]):
            with self.subTest(args=args):
                bridge, status = self.run_to_end(args)
                self.assertEqual(status, 1, "a failed start shows in the exit status")
                errors = [line for _, _, line in bridge.snapshot("err")]
                reports = [line for line in errors if line.startswith("Unhandled exception: ")]
                self.assertEqual(len(reports), 1, "one exception report: %r" % errors)
                self.assertGreater(len(reports[0]), len("Unhandled exception: "),
                                   "the report carries the exception's text")


def host_of(endpoint):
    return endpoint.rsplit(":", 1)[0]


class Session(WineCase, NetnsCase):
    """One Windows bridge, a static and a discovered printer, the simulated
    server; the run is recorded, the bridge stopped with Ctrl+C, and the
    tests check the record."""

    SUBNET = "10.231.20"
    MAIN = dict(name="Front Desk", model="LabJet 9000 MFP", status="Ready", version="4.2.0",
                serial="SN0123456789", order="ORD-42", installed=1234567890, system_id=-42)
    FOUND_NAME = "Found Office"
    BACKUP_SIZE = 150001
    BACKUP_SEED = 7
    TUNNEL_BYTES = 200000
    PAGE_BYTES = 3 * 1048576 + 7

    @classmethod
    def address(cls, host):
        return "%s.%d" % (cls.SUBNET, host)

    @classmethod
    def setUpClass(cls):
        require_namespaces()
        NetnsCase.setUpClass.__func__(cls)
        WineCase.setUpClass.__func__(cls)
        cls.static = cls.address(10)
        cls.found = cls.address(11)
        cls.bridge_ns = cls.network.namespace("bridge")
        cls.lab_ns = cls.network.namespace("lab")
        cls.network.link(cls.bridge_ns, cls.address(1) + "/24", cls.lab_ns,
                         [cls.address(h) + "/24" for h in (2, 10, 11)])
        # Windows' route table holds a limited-broadcast route for each
        # interface, which the bridge takes its broadcast interfaces from;
        # Wine shows the Linux table, which has none of its own.
        ip("-n", cls.bridge_ns, "route", "add", "255.255.255.255/32", "dev", "ob%da" % cls.network.links,
           "src", cls.address(1))
        cls.network.check_private(cls.bridge_ns)
        cls.network.check_private(cls.lab_ns)
        main = cls.MAIN
        cls.lab = cls.start_lab(cls.lab_ns, [
            "%s,discovery=none,name=%s,model=%s,status=%s,version=%s,serial=%s,order=%s,installed=%d,"
            "system-id=%d,backup-size=%d,backup-content=random,backup-seed=%d"
            % (cls.static, main["name"], main["model"], main["status"], main["version"], main["serial"],
               main["order"], main["installed"], main["system_id"], cls.BACKUP_SIZE, cls.BACKUP_SEED),
            "%s,name=%s" % (cls.found, cls.FOUND_NAME)],
            server="%s:0,keepalive=2,password-version=-1:0,password-size=3000,tunnel-path=/large?bytes=%d,"
                   "for=%s,tunnel-port=80,tunnel-after=3" % (cls.address(2), cls.TUNNEL_BYTES, main["name"]),
            web_port=80)
        port = cls.lab.server_port()
        if port is None:
            raise AssertionError("the lab's server does not listen")
        cls.prefix = cls.make_prefix("prefix-bridge", cls.bridge_ns)
        # The ini file of the start folder: the tunnel and the log file come from it.
        with open(os.path.join(cls.home, "orvel-bridge.ini"), "w") as ini:
            ini.write("printer-tunnel = true\nlog-file = orvel-bridge.log\n")
        cls.bridge = Bridge(cls.__name__, cls.home,
                            ["--log-level", "0", "--static-printers", cls.static,
                             "--server-address", cls.address(2), "--server-port", str(port)],
                            prefix=cls.prefix.command(), label="bridge.exe in " + cls.bridge_ns)
        cls.started = cls.bridge.wait_for_text(STARTED, START_TIMEOUT)
        if cls.started is None:
            raise AssertionError("the bridge did not start")
        for name in (main["name"], cls.FOUND_NAME):
            cls.lab.wait_for_events("server-reply", 3, 30, name=lab_escaped(name))
        cls.lab.wait_for_events("server-tunnel-answer", 1, 15)
        cls.lab.wait_for_events("status-command", 2, 25, printer=cls.static, code="4")
        cls.lab.wait_for_events("status-command", 2, 5, printer=cls.found, code="4")
        cls.bridge.wait_for_pattern(re.compile(r"^Backup of printer '%s' (completed|failed)" % main["name"]), 10)
        cls.opened = [int(m.group(1)) for m in map(re.compile(r"^Printer's tunnel opened on port (\d+)$").match,
                                                  cls.bridge.texts()) if m]
        cls.page = cls.fetch_page("/") if cls.opened else None
        cls.large = cls.fetch_page("/large?bytes=%d" % cls.PAGE_BYTES) if cls.opened else None
        cls.status_record = cls.read_status_record()
        cls.stop_sent = time.monotonic()
        cls.bridge.signal(signal.SIGINT)
        stopped = cls.bridge.wait_for_text(STOPPED, WINE_STOP_BOUND + 10)
        cls.status = cls.bridge.wait_exit(WINE_STOP_BOUND + 10)
        cls.to_exit = time.monotonic() - cls.stop_sent
        cls.to_stopped = None if stopped is None else stopped - cls.stop_sent
        print("Ctrl+C: stopped line after %s s, exit after %.2f s" % (
            "-" if cls.to_stopped is None else "%.2f" % cls.to_stopped, cls.to_exit))
        for printer in (cls.static, cls.found):
            cls.lab.wait_for_events("status-close", 1, 2, printer=printer)

    @classmethod
    def fetch_page(cls, path):
        """(status, headers, body) of a page fetched through the local tunnel, or the error."""
        try:
            with connect_in(cls.bridge_ns, ("127.0.0.1", cls.opened[0]), 20) as connection:
                connection.sendall(b"GET %s HTTP/1.1\r\nHost: printer\r\n\r\n" % path.encode())
                return parse_http_reply(receive_to_end(connection, cls.PAGE_BYTES + 65536))
        except OSError as error:
            return error

    @classmethod
    def read_status_record(cls):
        folder = os.path.join(cls.prefix.local_application_data(), "orvel-bridge")
        try:
            with open(os.path.join(folder, "status.json")) as record:
                return json.load(record)
        except (OSError, ValueError) as error:
            return error

    def events(self, event, **fields):
        """Fields of the lab's report lines that came before the bridge was told to stop."""
        return [f for when, _, f in self.lab.events(event, **fields) if when < self.stop_sent]

    def windows_path(self, *parts):
        """A path below the prefix's user folder as the program names it."""
        return ntpath.join("C:\\users", os.path.basename(self.prefix.user_folder()), *parts)

    def test_printers_added_named_and_polled(self):
        texts = self.bridge.texts()
        self.assertEqual([t for t in texts if t.startswith("Static printer '")],
                         ["Static printer '%s' added" % self.static])
        self.assertEqual(texts.count("Printer '%s' added" % self.found), 1, "the discovered printer, once")
        self.assertIn("Printer '%s' is named '%s' (%s)" % (self.static, self.MAIN["name"], self.MAIN["model"]),
                      texts)
        self.assertIn("Printer '%s' is named '%s' (LabJet 1000)" % (self.found, self.FOUND_NAME), texts)
        for printer in (self.static, self.found):
            with self.subTest(printer=printer):
                polls = [s for _, s, f in self.lab.events("status-command", printer=printer, code="4")]
                self.assertGreaterEqual(len(polls), 2)
                self.assertAlmostEqual(polls[1] - polls[0], 10.0, delta=PERIOD_TOLERANCE, msg="polling period")
                self.assertEqual(len(self.events("status-connect", printer=printer)), 1,
                                 "one status connection serves every poll")
                self.assertEqual({host_of(f["from"]) for f in self.events("status-command", printer=printer)},
                                 {self.address(1)})

    def test_discovery_over_the_link(self):
        requests = self.events("discovery-request printer-socket")
        self.assertTrue(requests, "printers requests reached the lab")
        for fields in requests:
            self.assertEqual((fields["to"], fields["bytes"], fields["kind"]), ("255.255.255.255", "64", "WhoRU"))
            self.assertEqual(host_of(fields["from"]), self.address(1), "sent from the interface address")
        self.assertEqual([t for t in self.bridge.texts() if t.startswith("Broadcast via ")],
                         ["Broadcast via '%s'" % self.address(1)])
        self.assertTrue(self.events("discovery-answer", printer=self.found))
        self.assertNotIn("Printer '%s' added" % self.static, self.bridge.texts(),
                         "the static printer does not answer discovery")

    def test_registration_bytes(self):
        main = self.MAIN
        expected = (b"\x08\0" + text(main["name"], 32) + text(main["model"], 32) + b"\0\0" +
                    text(main["status"], 32) + text(main["version"], 16) + text(main["serial"], 16) +
                    text(main["order"], 16) + main["installed"].to_bytes(4, "little") +
                    main["system_id"].to_bytes(4, "little", signed=True) +
                    text("6.04", 16) + text(WINDOWS_PLATFORM, 16))
        registrations = self.events("server-register", name=lab_escaped(main["name"]))
        self.assertEqual(len(registrations), 1, "one session of the static printer")
        line = registrations[0]
        self.assertEqual((line["first-bytes"], line["valid"]), ("188", "yes"), line.get("problems"))
        self.assertEqual(bytes.fromhex(line["hex"]), expected)
        found = self.events("server-register", name=lab_escaped(self.FOUND_NAME))
        self.assertEqual([(f["valid"], f["platform"]) for f in found], [("yes", lab_escaped(WINDOWS_PLATFORM))])
        self.assertEqual({host_of(s["from"]) for s in self.events("server-session")}, {self.address(1)})

    def test_sessions_kept_alive_and_password_file_delivered(self):
        password = password_file(3000)
        for name, printer in ((self.MAIN["name"], self.static), (self.FOUND_NAME, self.found)):
            with self.subTest(printer=name):
                replies = self.events("server-reply", name=lab_escaped(name))
                self.assertGreaterEqual(len(replies), 3)
                self.assertEqual([(r["version"], r["type"]) for r in replies[:3]],
                                 [("-1", "4"), ("0", "6"), ("0", "4")])
                self.assertEqual({(r["echo"], r["type"] == r["expected"]) for r in replies}, {("ok", True)})
                sent = self.events("server-passwords", name=lab_escaped(name))
                self.assertEqual([(s["size"], s["sent"], s["fnv1a"], s["result"]) for s in sent],
                                 [("3000", "3000", fnv1a(password), "ok")])
                delivered = self.events("control-command", printer=printer, command="copyfile")
                self.assertEqual([(d["file"], d["size"], d["received"], d["fnv1a"], d["result"])
                                  for d in delivered], [("admins.dat", "3000", "3000", fnv1a(password), "ok")])
                self.assertEqual(self.events("server-session-end", name=lab_escaped(name)), [])
                self.assertEqual(self.bridge.texts().count("Printer '%s' password file updated" % name), 1)
                dates = self.events("control-command", printer=printer, command="set_date")
                self.assertTrue(dates and all(d["valid"] == "yes" for d in dates), "the clock set: %r" % dates)

    def test_backup_stored_byte_for_byte(self):
        folder = os.path.join(self.prefix.documents(), "Orvel-Bridge")
        self.assertTrue(os.path.isdir(folder), "the backup folder in the prefix's Documents")
        files = sorted(n for n in os.listdir(folder) if n.startswith("Backup-Front Desk-"))
        self.assertEqual(len(files), 1, "one backup: %r" % os.listdir(folder))
        self.assertRegex(files[0], r"^Backup-Front Desk-\d{14}(\.[1-9]\d{0,2})?\.wvtb$")
        with open(os.path.join(folder, files[0]), "rb") as backup:
            content = backup.read()
        self.assertTrue(content == random_content(self.BACKUP_SEED, self.BACKUP_SIZE),
                        "the printer's bytes (%d of %d)" % (len(content), self.BACKUP_SIZE))
        self.assertEqual([(s["result"], s["fnv1a"]) for s in self.events("status-answer", printer=self.static,
                                                                         code="3")],
                         [("complete", fnv1a(content))])
        self.assertIn("Backup of printer 'Front Desk' completed: file '%s' saved"
                      % self.windows_path("Documents", "Orvel-Bridge", files[0]), self.bridge.texts())
        self.assertEqual([n for n in os.listdir(folder) if n.endswith(".tmp")], [])

    def test_server_tunnel(self):
        requests = self.events("server-tunnel-request")
        self.assertEqual([(r["name"], r["port"], r["result"]) for r in requests],
                         [(lab_escaped(self.MAIN["name"]), "80", "sent")])
        tunnel = requests[0]["tunnel"]
        connects = self.events("server-tunnel-connect")
        self.assertEqual([(c["tunnel"], c["match"], host_of(c["from"])) for c in connects],
                         [(tunnel, "yes", self.address(1))])
        body = large_page(self.TUNNEL_BYTES)
        self.assertEqual([(a["status"], a["bytes"], a["fnv1a"], a["complete"])
                          for a in self.events("server-tunnel-answer", tunnel=tunnel)],
                         [("200", str(len(body)), fnv1a(body), "yes")], "the printer's page, every byte")

    def test_local_printer_tunnel(self):
        # The ini file's printer-tunnel: a tunnel with two printers, moved
        # to whichever comes first in the registry once the second is added.
        self.assertTrue(self.opened, "the tunnel of the ini file's printer-tunnel")
        self.assertEqual(set(self.opened), {80}, "port 80 is free in the bridge's namespace")
        self.assertNotIsInstance(self.page, OSError)
        status, _, body = self.page
        self.assertEqual(status, 200)
        names = [n for n in (self.MAIN["name"], self.FOUND_NAME) if b"<h1>%s</h1>" % n.encode() in body]
        self.assertEqual(len(names), 1, "one printer's status page: %r" % body[:300])
        self.assertNotIsInstance(self.large, OSError)
        status, headers, body = self.large
        self.assertEqual((status, headers.get("content-length")), (200, str(self.PAGE_BYTES)))
        self.assertIsNone(first_difference(large_page(self.PAGE_BYTES), body), "every byte as the printer sent it")
        printer = self.static if names[0] == self.MAIN["name"] else self.found
        pages = [(host_of(p["from"]), p["path"]) for p in self.events("web-request", printer=printer)]
        for path in ("/", "/large?bytes=%d" % self.PAGE_BYTES):
            self.assertIn((self.address(1), path), pages)

    def test_log_file_and_status_files(self):
        log = os.path.join(self.home, "orvel-bridge.log")
        self.assertTrue(os.path.isfile(log), "the ini file's log file in the start folder")
        with open(log, "rb") as file:
            lines = file.read().decode("utf-8", "replace").splitlines()
        for expected in (STARTED, STOPPED, "Printer '%s' added" % self.found):
            self.assertTrue([line for line in lines if expected in line], "%r in the log file" % expected)
        self.assertNotIsInstance(self.status_record, Exception, "status.json in the local application data")
        addresses = {p.get("address") for p in self.status_record.get("printers", [])}
        self.assertEqual(addresses, {self.static, self.found})
        folder = self.windows_path("AppData", "Local", "orvel-bridge")
        self.assertIn("Status files kept in '%s'" % folder, self.bridge.texts())
        self.assertFalse(os.path.exists(os.path.join(self.prefix.local_application_data(), "orvel-bridge",
                                                     "status.json")), "removed at the stop")

    def test_ctrl_c_stops(self):
        texts = self.bridge.texts()
        self.assertEqual((texts.count(STOPPING), texts.count(STOPPED)), (1, 1))
        self.assertLess(texts.index(STOPPING), texts.index(STOPPED))
        self.assertIsNotNone(self.to_stopped, "stopped line")
        self.assertLessEqual(self.to_exit, WINE_STOP_BOUND, "seconds to the exit")
        self.assertEqual(self.status, 0, "exit status")
        for printer in (self.static, self.found):
            self.assertEqual(len(self.lab.events("status-close", printer=printer)), 1,
                             "status connection to %s closed on the way out" % printer)
        errors = [line for _, _, line in self.bridge.snapshot("err")]
        # A DLL that Wine cannot load (or find) shows as err:module; Wine's
        # other complaints (its service manager starting late) are its own.
        self.assertFalse([line for line in errors if re.match(r"^[0-9a-f]{4}:err:module:", line)],
                         "Wine loaded every DLL: %r" % errors)


if __name__ == "__main__":
    sys.exit(main(sys.modules[__name__], sys.argv[1:]))
