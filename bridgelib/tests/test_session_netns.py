#!/usr/bin/env python3
"""Printer sessions and backups of orvel-bridge-console, end to end, across
network namespaces, against the simulated printers and WVT server of
orvel-bridge-lab.

Usage: test_session_netns.py [TestClass[.test_method] ...]

The programs come from the environment: ORVEL_BRIDGE_CONSOLE (the bridge)
and ORVEL_BRIDGE_LAB (orvel-bridge-lab). Each test class makes its own
namespaces (`ip netns`, names carry this process's id): the bridge in one,
the lab (printers and server) in another, joined by a veth pair on a
private subnet (10.231.6.0/24 to 10.231.10.0/24) that exists only inside
them. The bridge polls its printers as static printers and reaches the
server by its address on that subnet. Each class runs one bridge, gathers
what it needs, stops the bridge, and its tests then check the record:
- SessionExchange: the registration's bytes, keep-alive replies and the
  password file, a declined "copyfile", a password length of 0, a status
  that changes, a tunnel to the printer's web port, a hostile password length;
- SilentServer: one silent 20-s period survived, two ending the session;
- Backups: backup files with the printer's bytes and names, a 256-MiB backup
  in little memory, a cut backup, a backup folder that cannot be written.
Needs root and iproute2; without them every test is skipped.

Exit status: 0 when the tests ran and passed, 1 on a failure, 77 when every
test was skipped (CTest's SKIP_RETURN_CODE).
"""

import datetime
import os
import re
import signal
import struct
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "e2e"))
from bridgeharness import (PERIOD_TOLERANCE, START_TIMEOUT, Bridge, Lab, main, stop_and_measure,  # noqa: E402
                          lab_escaped as escaped)
from netns import NetnsCase, require_namespaces  # noqa: E402

# The printer thread polls every 10 s; a session that ended restarts at the next poll.
POLL_SECONDS = 10.0
# The bridge's receive time-out on the session, and how far from it a
# time-out may be seen (up to 2 s late have been seen under load).
SESSION_TIMEOUT = 20.0
TIMEOUT_TOLERANCE = 3.0
# A keep-alive sent this long after the printer reported a new status must carry it.
STATUS_MARGIN = 0.5
PLATFORM = "%s (%s)" % (os.uname().sysname, os.uname().machine)
PASSWORD_SIZE = 3000


def setUpModule():
    require_namespaces()


def fnv1a(data):
    """32-bit FNV-1a, as the lab reports it (8 lower-case hex digits)."""
    value = 0x811C9DC5
    for byte in data:
        value = ((value ^ byte) * 0x01000193) & 0xFFFFFFFF
    return "%08x" % value


def splitmix64(x):
    z = (x + 0x9E3779B97F4A7C15) & 0xFFFFFFFFFFFFFFFF
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & 0xFFFFFFFFFFFFFFFF
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & 0xFFFFFFFFFFFFFFFF
    return z ^ (z >> 31)


def random_content(seed, size):
    """The lab's random backup content: byte i is byte i%8 of splitmix64(seed + i/8)."""
    words = (size + 7) // 8
    return b"".join(splitmix64(seed + w).to_bytes(8, "little") for w in range(words))[:size]


def pattern_content(size):
    """The lab's pattern backup content: byte i = (i*7+13) & 0xff."""
    period = bytes((i * 7 + 13) & 0xFF for i in range(256))
    return (period * (size // 256 + 1))[:size]


def password_file(size):
    """The lab server's generated password file: byte i = (i*31+7) & 0xff."""
    return bytes((i * 31 + 7) & 0xFF for i in range(size))


def large_page(size):
    """The lab's /large body: 16-byte lines, each its own offset in 15 digits and LF."""
    return b"".join(b"%015d\n" % offset for offset in range(0, size + 15, 16))[:size]


def text(value, size):
    return value.encode("latin-1")[:size].ljust(size, b"\0")


def host_of(endpoint):
    return endpoint.rsplit(":", 1)[0]


def vm_hwm_kib(pid):
    """Peak resident memory of a process, from /proc/<pid>/status."""
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    raise AssertionError("no VmHWM for process %d" % pid)


class LabSession(NetnsCase):
    """A bridge in one namespace; the lab's printers and server in another."""

    SUBNET = None  # "10.231.N"

    @classmethod
    def address(cls, host):
        return "%s.%d" % (cls.SUBNET, host)

    @classmethod
    def start_pair(cls, printers, server=None, web_port=0, bridge_args=()):
        """Starts the lab with these printers (host number, spec without the address) and
        the bridge that polls them as static printers."""
        cls.bridge_ns = cls.network.namespace("bridge")
        cls.lab_ns = cls.network.namespace("lab")
        addresses = [cls.address(host) for host, _ in printers]
        cls.network.link(cls.bridge_ns, cls.address(1) + "/24", cls.lab_ns,
                         [cls.address(2) + "/24"] + [a + "/24" for a in addresses])
        cls.network.check_private(cls.lab_ns)
        cls.lab = cls.start_lab(cls.lab_ns, ["%s,discovery=none,%s" % (a, spec)
                                             for a, (_, spec) in zip(addresses, printers)],
                                server=server and server % cls.address(2), web_port=web_port)
        args = ["--static-printers", ";".join(addresses)] + list(bridge_args)
        if server:
            port = cls.lab.server_port()
            if port is None:
                raise AssertionError("the lab's server does not listen")
            args += ["--server-address", cls.address(2), "--server-port", str(port)]
        cls.bridge_wall_start = time.time()
        cls.bridge, cls.started = cls.start_bridge(cls.bridge_ns, args)

    @classmethod
    def stop_bridge(cls):
        cls.stop_sent = time.monotonic()
        cls.stop = stop_and_measure(cls.bridge, signal.SIGINT)

    def events(self, event, **fields):
        """Fields of the lab's report lines that came before the bridge was told to stop."""
        return [f for when, _, f in self.lab.events(event, **fields) if when < self.stop_sent]

    def timed(self, event, **fields):
        """(arrival time, fields) of those lines."""
        return [(when, f) for when, _, f in self.lab.events(event, **fields) if when < self.stop_sent]

    def test_stopped(self):
        self.assert_stopped(self.stop)


class SessionExchange(LabSession):
    """Four printers on one bridge and one server: the main printer's session in
    detail, a printer that declines the password file, one that is sent a length
    of 0, and one that is sent a hostile length."""

    SUBNET = "10.231.6"
    # 32 characters fill the printer's name field without a NUL; 31 are registered.
    MAIN_NAME = "Front desk colour laser floor 2A"
    MAIN = dict(name=MAIN_NAME, model="LabJet 9000 MFP", status="Ready", version="4.2.0-rc1",
                serial="SN0123456789ABCD", order="ORD-2024-0042", installed=1234567890, system_id=-42)
    LATER_STATUS = "Printing"
    # Seconds after the lab's start; the bridge sees it at its next poll.
    STATUS_AFTER = 12
    TUNNEL_BYTES = 200000

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        main = cls.MAIN
        cls.registered = cls.MAIN_NAME[:31]
        printers = [
            (10, "name=%s,model=%s,status=%s,version=%s,serial=%s,order=%s,installed=%d,system-id=%d,"
                 "status-after=%d:%s" % (main["name"], main["model"], main["status"], main["version"],
                                         main["serial"], main["order"], main["installed"],
                                         main["system_id"], cls.STATUS_AFTER, cls.LATER_STATUS)),
            (11, "name=Declines,control-answer=0"),
            (12, "name=ZeroLen"),
            (13, "name=Hostile"),
        ]
        server = ("%%s:0,keepalive=2,password-version=-1:0,password-size=%d,tunnel-path=/large?bytes=%d,"
                  "for=%s,tunnel-port=80,tunnel-after=3,for=ZeroLen,password-length=0,"
                  "for=Hostile,password-length=4294967295" % (PASSWORD_SIZE, cls.TUNNEL_BYTES, cls.registered))
        cls.start_pair(printers, server=server, web_port=80)
        main_name = escaped(cls.registered)
        cls.lab.wait_for_events("server-reply", 2, 3 * POLL_SECONDS + 10, name=main_name,
                                status=cls.LATER_STATUS)
        cls.lab.wait_for_events("server-register", 2, POLL_SECONDS + 5, name="Hostile")
        cls.lab.wait_for_events("server-tunnel-answer", 1, 10)
        cls.stop_bridge()

    def session_of(self, name):
        """Number of the first session of the printer registered under this name."""
        registrations = self.events("server-register", name=escaped(name))
        self.assertTrue(registrations, "no session of %r" % name)
        return registrations[0]["session"]

    def test_registration_bytes(self):
        main = self.MAIN
        expected = (struct.pack("<h", 8) + text(main["name"][:31], 32) + text(main["model"], 32) + b"\0\0" +
                    text(main["status"], 32) + text(main["version"], 16) + text(main["serial"], 16) +
                    text(main["order"], 16) + struct.pack("<ii", main["installed"], main["system_id"]) +
                    text("6.04", 16) + text(PLATFORM, 16))
        registrations = self.events("server-register", name=escaped(self.registered))
        self.assertEqual(len(registrations), 1, "one session of the main printer")
        line = registrations[0]
        self.assertEqual(line["first-bytes"], "188", "bytes before the bridge waited for an answer")
        self.assertEqual(bytes.fromhex(line["hex"]), expected)
        self.assertEqual(line["valid"], "yes")
        for name in ("Declines", "ZeroLen", "Hostile"):
            with self.subTest(printer=name):
                line = self.events("server-register", name=name)[0]
                self.assertEqual((line["first-bytes"], line["valid"], line["platform"]),
                                 ("188", "yes", escaped(PLATFORM)))
        sessions = self.events("server-session")
        self.assertTrue(sessions)
        self.assertEqual({host_of(s["from"]) for s in sessions}, {self.address(1)},
                         "sessions come from the bridge's address")

    def test_keepalive_replies_and_password_file(self):
        session = self.session_of(self.registered)
        replies = self.events("server-reply", session=session)
        self.assertGreaterEqual(len(replies), 3)
        self.assertEqual([(r["version"], r["type"]) for r in replies[:3]],
                         [("-1", "4"), ("0", "6"), ("0", "4")],
                         "version -1 answered with 4, the first 0 with 6, the next 0 with 4")
        self.assertEqual([r["echo"] for r in replies], ["ok"] * len(replies), "bytes after the status echoed")
        self.assertEqual([r["type"] for r in replies], [r["expected"] for r in replies])
        password = password_file(PASSWORD_SIZE)
        sent = self.events("server-passwords", session=session)
        self.assertEqual([(s["size"], s["sent"], s["fnv1a"], s["result"]) for s in sent],
                         [(str(PASSWORD_SIZE), str(PASSWORD_SIZE), fnv1a(password), "ok")],
                         "one transfer, after the type-6 reply only")
        delivered = self.events("control-command", printer=self.address(10), command="copyfile")
        self.assertEqual([(d["file"], d["size"], d["received"], d["fnv1a"], d["result"]) for d in delivered],
                         [("admins.dat", str(PASSWORD_SIZE), str(PASSWORD_SIZE), fnv1a(password), "ok")],
                         "the server's file delivered to the printer once, unchanged")
        self.assertEqual(host_of(delivered[0]["from"]), self.address(1))
        # The log texts name the printer by its whole name.
        self.assertEqual(self.bridge.texts().count("Printer '%s' password file updated" % self.MAIN_NAME), 1)

    def test_declined_password_file(self):
        declined = self.events("control-command", printer=self.address(11), command="copyfile")
        self.assertEqual([(d["result"], d.get("extra")) for d in declined], [("declined", "0")],
                         "after the printer's 0 the bridge sent nothing more")
        session = self.session_of("Declines")
        self.assertEqual([r["type"] for r in self.events("server-reply", session=session)[:3]],
                         ["4", "6", "4"], "the session goes on after the declined file")

    def test_zero_length_finishes_the_exchange(self):
        session = self.session_of("ZeroLen")
        self.assertEqual([(s["size"], s["sent"]) for s in self.events("server-passwords", session=session)],
                         [("0", "0")])
        replies = self.events("server-reply", session=session)
        self.assertGreaterEqual(len(replies), 3)
        self.assertEqual([(r["version"], r["type"]) for r in replies[:2]], [("-1", "4"), ("0", "6")])
        self.assertEqual([(r["type"], r["expected"], r["echo"]) for r in replies[2:]],
                         [("4", "4", "ok")] * (len(replies) - 2),
                         "the keep-alive after the empty file is read whole and answered")
        self.assertEqual(self.events("control-command", printer=self.address(12), command="copyfile"), [],
                         "an empty file is not delivered")
        self.assertEqual(self.events("server-session-end", name="ZeroLen"), [])

    def test_status_follows_the_printer(self):
        answers = self.timed("status-answer", printer=self.address(10), code="4")
        changed = [when for when, f in answers if f.get("status") == self.LATER_STATUS]
        self.assertTrue(changed, "the printer reported the new status")
        changed_at = changed[0]
        self.assertTrue(all(f.get("status") == "Ready" for when, f in answers if when < changed_at))
        session = self.session_of(self.registered)
        replies = [(when - float(f["after-ms"]) / 1000.0, f["status"])
                   for when, f in self.timed("server-reply", session=session)]
        before = [status for sent, status in replies if sent < changed_at - STATUS_MARGIN]
        after = [status for sent, status in replies if sent > changed_at + STATUS_MARGIN]
        self.assertTrue(before and after, "keep-alives on both sides of the change: %r" % replies)
        self.assertEqual(set(before), {"Ready"})
        self.assertEqual(set(after), {self.LATER_STATUS}, "every keep-alive after the poll carries the new status")
        # The status changed at STATUS_AFTER s of the lab's clock; the next poll saw it.
        lab_seconds = [s for when, s, f in self.lab.events("status-answer", printer=self.address(10), code="4")
                       if f.get("status") == self.LATER_STATUS][0]
        self.assertLessEqual(lab_seconds - self.STATUS_AFTER, POLL_SECONDS + PERIOD_TOLERANCE)

    def test_tunnel_to_the_web_port(self):
        requests = self.events("server-tunnel-request")
        self.assertEqual([(r["name"], r["port"], r["result"]) for r in requests],
                         [(escaped(self.registered), "80", "sent")], "one tunnel request, to the main printer")
        tunnel = requests[0]["tunnel"]
        connects = self.events("server-tunnel-connect")
        self.assertEqual([(c["tunnel"], c["match"]) for c in connects], [(tunnel, "yes")],
                         "one new server connection, starting with the 68 request bytes")
        session_from = self.events("server-session", session=requests[0]["session"])[0]["from"]
        self.assertEqual(host_of(connects[0]["from"]), self.address(1))
        self.assertNotEqual(connects[0]["from"], session_from, "a connection of its own")
        body = large_page(self.TUNNEL_BYTES)
        answers = self.events("server-tunnel-answer", tunnel=tunnel)
        self.assertEqual([(a["status"], a["bytes"], a["fnv1a"], a["complete"]) for a in answers],
                         [("200", str(len(body)), fnv1a(body), "yes")], "the printer's page, every byte")
        pages = self.events("web-request", printer=self.address(10))
        self.assertEqual([(host_of(p["from"]), p["path"]) for p in pages],
                         [(self.address(1), "/large?bytes=%d" % self.TUNNEL_BYTES)],
                         "one connection from the bridge to the printer's web port")

    def test_hostile_length_ends_only_that_session(self):
        first = self.session_of("Hostile")
        self.assertEqual([s["size"] for s in self.events("server-passwords", session=first)], ["4294967295"])
        ends = self.timed("server-session-end", name="Hostile")
        self.assertTrue(ends)
        ended_at, end = ends[0]
        self.assertEqual((end["session"], end["reason"]), (first, "closed"), "the bridge closed that session")
        refusals = [t for t in self.bridge.texts() if t.startswith("Printer 'Hostile' get passwords reply")]
        self.assertTrue(refusals and "4294967295" in refusals[0], "the refusal logged: %r" % refusals)
        again = [when for when, f in self.timed("server-register", name="Hostile") if when > ended_at]
        self.assertTrue(again, "a new session of the printer")
        self.assertLessEqual(again[0] - ended_at, POLL_SECONDS + PERIOD_TOLERANCE)
        self.assertEqual(self.events("control-command", printer=self.address(13), command="copyfile"), [])
        for name in (self.registered, "Declines", "ZeroLen"):
            with self.subTest(printer=name):
                self.assertEqual(len(self.events("server-register", name=escaped(name))), 1, "one session only")
                self.assertEqual(self.events("server-session-end", name=escaped(name)), [])
                later = [when for when, _ in self.timed("server-reply", name=escaped(name)) if when > ended_at]
                self.assertTrue(later, "keep-alives still answered after the hostile session ended")


class SilentServer(LabSession):
    """A server that falls silent for good, and one that sends a keep-alive only
    every 25 s: one 20-s time-out is survived, two in a row end the session."""

    SUBNET = "10.231.7"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.start_pair([(10, "name=Gone"), (11, "name=Back")],
                       server="%s:0,keepalive=2,password-version=-1,for=Gone,silent-after=3,"
                              "for=Back,keepalive=25")
        # Back's second keep-alive comes at 50 s; Gone's next session at most 12 s after 42 s.
        cls.lab.wait_for_events("server-register", 2, 70, name="Gone")
        cls.lab.wait_for_events("server-reply", 2, 15, name="Back")
        cls.stop_bridge()

    def log_times(self, text):
        return [when for when, _, line in self.bridge.log() if line == text and when < self.stop_sent]

    def test_two_silent_periods_end_the_session(self):
        replies = self.timed("server-reply", name="Gone")
        self.assertTrue(replies)
        self.assertTrue(self.events("server-silent", name="Gone"))
        last_reply = replies[0][0]
        timeouts = self.log_times("Printer 'Gone' gateway timeout")
        lost = [when for when, _, line in self.bridge.log()
                if line.startswith("Printer 'Gone' connection lost from gateway: ")]
        self.assertTrue(timeouts and lost, "both lines logged")
        self.assertLess(abs(timeouts[0] - last_reply - SESSION_TIMEOUT), TIMEOUT_TOLERANCE)
        self.assertLess(abs(lost[0] - timeouts[0] - SESSION_TIMEOUT), TIMEOUT_TOLERANCE)
        self.assertEqual(len([t for t in timeouts if t < lost[0]]), 1)
        ends = self.timed("server-session-end", name="Gone")
        self.assertEqual([f["reason"] for _, f in ends], ["closed"])
        self.assertLess(abs(ends[0][0] - lost[0]), 1.0)
        again = [when for when, _ in self.timed("server-register", name="Gone")][1:]
        self.assertTrue(again, "a new session")
        self.assertLessEqual(again[0] - ends[0][0], POLL_SECONDS + PERIOD_TOLERANCE)

    def test_one_silent_period_is_survived(self):
        registered = self.timed("server-register", name="Back")
        self.assertEqual(len(registered), 1)
        timeouts = self.log_times("Printer 'Back' gateway timeout")
        replies = [when for when, f in self.timed("server-reply", name="Back") if f["type"] == "4"]
        self.assertEqual(len(replies), 2)
        self.assertEqual(len(timeouts), 2, "a time-out before each keep-alive")
        self.assertLess(abs(timeouts[0] - registered[0][0] - SESSION_TIMEOUT), TIMEOUT_TOLERANCE)
        # Each keep-alive re-arms the tolerance: time-out, answer, time-out, answer.
        self.assertLess(timeouts[0], replies[0])
        self.assertLess(replies[0], timeouts[1])
        self.assertLess(timeouts[1], replies[1])
        self.assertEqual(self.events("server-session-end", name="Back"), [])
        self.assertFalse([when for when, _, t in self.bridge.log()
                          if t.startswith("Printer 'Back' connection lost") and when < self.stop_sent])


BACKUP_NAME = re.compile(r"^(?P<prefix>.+)-(?P<stamp>\d{14})(?:\.(?P<ms>[1-9]\d{0,2}))?\.(?P<ext>wvtb|zjv)$")


class Backups(LabSession):
    """Backups through the real program: files with the printer's bytes and the
    specified names, a 256-MiB backup in little memory, a cut backup that
    leaves nothing and is retried, and a folder that cannot be written."""

    SUBNET = "10.231.8"
    BIG_SUBNET = "10.231.9"
    READ_ONLY_SUBNET = "10.231.10"
    NAMED_SIZE = 150001
    BIG_SIZE = 256 << 20
    BIG_SEED = 99
    # The big backup must not raise the bridge's peak resident memory by more
    # than this (an eighth of its size).
    MEMORY_GROWTH_BOUND_KIB = 32 << 10

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        # The big printer's namespace and the read-only bridge's exist from the start.
        cls.big_ns = cls.network.namespace("big")
        cls.readonly_ns = cls.network.namespace("readonly")
        cls.big = cls.BIG_SUBNET + ".10"
        cls.readonly_printer = cls.READ_ONLY_SUBNET + ".10"
        cls.bridge_ns = cls.network.namespace("bridge")
        cls.lab_ns = cls.network.namespace("lab")
        cls.network.link(cls.bridge_ns, cls.address(1) + "/24", cls.lab_ns,
                         [cls.address(h) + "/24" for h in (10, 11, 12)])
        cls.network.link(cls.bridge_ns, cls.BIG_SUBNET + ".1/24", cls.big_ns, [cls.big + "/24"])
        cls.network.link(cls.readonly_ns, cls.READ_ONLY_SUBNET + ".1/24", cls.lab_ns,
                         [cls.readonly_printer + "/24"])
        cls.lab = cls.start_lab(cls.lab_ns, [
            "%s,discovery=none,name=Lab:A/B,backup-size=%d,backup-content=random,backup-seed=7"
            % (cls.address(10), cls.NAMED_SIZE),
            "%s,discovery=none,name=Zed,model=Office MOZJV 5,backup-size=5000" % cls.address(11),
            "%s,discovery=none,name=Cut,backup-size=100000,backup-cut=50000" % cls.address(12),
            "%s,discovery=none,name=ReadOnly" % cls.readonly_printer])
        no_server = ["--server-address", "127.0.0.1", "--server-port", "9"]
        cls.bridge_wall_start = time.time()
        cls.bridge, cls.started = cls.start_bridge(
            cls.bridge_ns, ["--static-printers", ";".join([cls.address(h) for h in (10, 11, 12)] + [cls.big])]
            + no_server)
        cls.folder = os.path.join(cls.home, "Documents", "Orvel-Bridge")
        cls.readonly = cls.start_readonly_bridge(no_server)

        completed = re.compile(r"^Backup of printer '(Lab:A/B|Zed)' completed: file '.*' saved$")
        cls.bridge.wait_for_texts(lambda texts: len([t for t in texts if completed.match(t)]) >= 2, 30)
        cls.bridge.wait_for_text("Backup of printer 'Cut' is starting...", 10)
        # The peak before the big printer answers; then its lab starts.
        cls.hwm_before = vm_hwm_kib(cls.bridge.process.pid)
        cls.big_lab = Lab(cls.__name__, ["%s,discovery=none,name=Big,backup-size=%d,backup-content=random,"
                                         "backup-seed=%d" % (cls.big, cls.BIG_SIZE, cls.BIG_SEED)],
                          prefix=["ip", "netns", "exec", cls.big_ns], label="big lab")
        if not cls.big_lab.wait_ready(1):
            raise AssertionError("the big printer's lab did not get ready")
        cls.bridge.wait_for_pattern(re.compile(r"^Backup of printer 'Big' (completed|failed)|"
                                               r"^Failed to receive backup .* 'Big'"), POLL_SECONDS + 60)
        cls.hwm_after = vm_hwm_kib(cls.bridge.process.pid)
        cls.bridge.wait_for_text("Backup of printer 'Cut' is starting...", POLL_SECONDS + 10, count=2)
        cls.lab.wait_for_events("status-answer", 2, 10, printer=cls.address(12), code="3")
        cls.readonly.wait_until(lambda _: len([t for t in cls.readonly.texts("err")
                                               if t.startswith("Backup of printer 'ReadOnly' failed")]) >= 2,
                                POLL_SECONDS + 10)
        cls.readonly_stop = stop_and_measure(cls.readonly, signal.SIGINT)
        cls.stop_bridge()

    @classmethod
    def start_readonly_bridge(cls, no_server):
        """A second bridge whose backup folder is mounted read-only in a mount
        namespace of its own (root may write anywhere else)."""
        home = os.path.join(cls.home, "readonly")
        cls.readonly_folder = os.path.join(home, "Documents", "Orvel-Bridge")
        os.makedirs(cls.readonly_folder)
        remount = 'mount --bind "$0" "$0" && mount -o remount,bind,ro "$0" "$0" && exec "$@"'
        bridge = Bridge(cls.__name__, home, ["--log-level", "0", "--static-printers", cls.readonly_printer]
                        + no_server,
                        prefix=["ip", "netns", "exec", cls.readonly_ns, "unshare", "-m", "sh", "-c", remount,
                                cls.readonly_folder], label="read-only bridge")
        if bridge.wait_for_text("Bridge service started", START_TIMEOUT) is None:
            raise AssertionError("the read-only bridge did not start")
        return bridge

    def backup_files(self, prefix):
        return sorted(name for name in os.listdir(self.folder) if name.startswith(prefix + "-"))

    def check_name(self, name, prefix, extension):
        match = BACKUP_NAME.match(name)
        self.assertIsNotNone(match, name)
        self.assertEqual((match.group("prefix"), match.group("ext")), (prefix, extension))
        stamp = datetime.datetime.strptime(match.group("stamp"), "%Y%m%d%H%M%S").replace(
            tzinfo=datetime.timezone.utc).timestamp()
        self.assertTrue(self.bridge_wall_start - 1 <= stamp <= time.time(), "a UTC stamp of the run: %s" % name)

    def test_named_printer_backup(self):
        files = self.backup_files("Backup-Lab_A_B")
        self.assertEqual(len(files), 1, "one backup of Lab:A/B: %r" % os.listdir(self.folder))
        self.check_name(files[0], "Backup-Lab_A_B", "wvtb")
        with open(os.path.join(self.folder, files[0]), "rb") as backup:
            content = backup.read()
        expected = random_content(7, self.NAMED_SIZE)
        self.assertTrue(content == expected, "the printer's bytes (%d of %d bytes)" % (len(content), len(expected)))
        sent = self.events("status-answer", printer=self.address(10), code="3")
        self.assertEqual([(s["result"], s["fnv1a"]) for s in sent], [("complete", fnv1a(content))])
        self.assertIn("Backup of printer 'Lab:A/B' completed: file '%s' saved"
                      % os.path.join(self.folder, files[0]), self.bridge.texts())

    def test_alternate_model_extension(self):
        files = self.backup_files("Backup-Zed")
        self.assertEqual(len(files), 1)
        self.check_name(files[0], "Backup-Zed", "zjv")
        with open(os.path.join(self.folder, files[0]), "rb") as backup:
            self.assertTrue(backup.read() == pattern_content(5000))

    def test_big_backup_in_little_memory(self):
        files = self.backup_files("Backup-Big")
        self.assertEqual(len(files), 1, "the big backup stored: %r" % os.listdir(self.folder))
        path = os.path.join(self.folder, files[0])
        self.assertEqual(os.path.getsize(path), self.BIG_SIZE)
        # Every 64-KiB piece's first and last words and one word in every
        # 4 KiB: a lost, repeated or misplaced piece changes them.
        mismatches = []
        block = 1 << 20
        with open(path, "rb") as backup:
            for base in range(0, self.BIG_SIZE, block):
                data = backup.read(block)
                offsets = set(range(0, block, 4096)) | set(range(65536 - 8, block, 65536))
                for offset in sorted(offsets):
                    word = (base + offset) // 8
                    if data[offset:offset + 8] != splitmix64(self.BIG_SEED + word).to_bytes(8, "little"):
                        mismatches.append(base + offset)
                if len(mismatches) > 5:
                    break
        self.assertEqual(mismatches, [], "content differs at these offsets")
        growth = self.hwm_after - self.hwm_before
        self.assertLess(growth, self.MEMORY_GROWTH_BOUND_KIB,
                        "peak resident memory %d KiB before, %d KiB after" % (self.hwm_before, self.hwm_after))

    def test_cut_backup_leaves_nothing_and_is_retried(self):
        self.assertEqual([n for n in os.listdir(self.folder) if n.startswith("Backup-Cut")], [])
        self.assertEqual([n for n in os.listdir(self.folder) if n.endswith(".tmp")], [])
        cut = self.timed("status-answer", printer=self.address(12), code="3")
        self.assertGreaterEqual(len(cut), 2, "retried")
        self.assertEqual({(f["result"], f["sent"]) for _, f in cut}, {("cut", "50000")})
        self.assertLess(abs(cut[1][0] - cut[0][0] - POLL_SECONDS), PERIOD_TOLERANCE + 1,
                        "the static printer reconnects after 10 s and backs up at once")
        failures = [t for t in self.bridge.texts() if t.startswith("Failed to receive backup content of printer 'Cut': ")]
        self.assertGreaterEqual(len(failures), 2, "a warning per attempt")

    def test_unwritable_folder(self):
        errors = [t for t in self.readonly.texts("err") if t.startswith("Backup of printer 'ReadOnly' failed")]
        text = re.compile(r"^Backup of printer 'ReadOnly' failed: cannot create file '%s\d{14}(\.[1-9]\d{0,2})?\.tmp'$"
                          % re.escape(os.path.join(self.readonly_folder, "Backup-ReadOnly-")))
        self.assertGreaterEqual(len(errors), 2, "an error per attempt")
        self.assertTrue(all(text.match(e) for e in errors), errors)
        self.assertEqual([level for _, level, t in self.readonly.log("err") if t in errors],
                         ["ERROR"] * len(errors))
        self.assertEqual(os.listdir(self.readonly_folder), [])
        self.assertEqual(self.readonly_stop[2], 0, "the read-only bridge ran on and stopped cleanly")


if __name__ == "__main__":
    sys.exit(main(sys.modules[__name__], sys.argv[1:]))
