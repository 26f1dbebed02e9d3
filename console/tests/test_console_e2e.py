#!/usr/bin/env python3
"""End-to-end tests of orvel-bridge-console against the printer simulator.

Usage: test_console_e2e.py [TestClass[.test_method] ...]

The programs come from the environment: ORVEL_BRIDGE_CONSOLE (the bridge)
and ORVEL_BRIDGE_LAB (orvel-bridge-lab). The script must run in a private
network namespace whose only interface is lo (CTest runs it under
`unshare -n`); it brings lo up itself and skips everything anywhere else,
because the bridge broadcasts. The simulated printers live on 127.0.0.x.

Exit status: 0 when the tests ran and passed, 1 on a failure, 77 when every
test was skipped (CTest's SKIP_RETURN_CODE).
"""

import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "e2e"))
from bridgeharness import (PERIOD_TOLERANCE, PROCESSES, START_TIMEOUT, STARTED, STOP_BOUND,  # noqa: E402
                           STOPPED, STOPPING, Bridge, Lab, lab_escaped, main, stop_and_measure)

# The last line of the first discovery pass in a namespace that has no
# broadcast interface: the request cannot be sent, the pass ends at once and
# the service enters its 60-second wait.
NO_ROUTE_SEND = re.compile(r"^Printers discovery request sendto\(\) failed on address ")


def status_polls(lab, printer):
    """Lab seconds of every TQ_PRINTERINFO_CMD that reached this printer."""
    return [seconds for _, seconds, _ in lab.events("status-command", printer=printer, code="4")]



def notify_socket(case):
    """A service manager's notification socket of the test's own, in its home
    folder: (its path, the bound socket, which the test closes at its end)."""
    path = os.path.join(case.home, "notify")
    notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    case.addCleanup(notify.close)
    notify.bind(path)
    notify.settimeout(START_TIMEOUT)
    return path, notify

class ConsoleCase(unittest.TestCase):
    """Gives each test class a home folder; its programs are always ended."""

    @classmethod
    def setUpClass(cls):
        for name in ("ORVEL_BRIDGE_CONSOLE", "ORVEL_BRIDGE_LAB"):
            if not os.path.isfile(os.environ.get(name, "")):
                raise unittest.SkipTest("%s does not name a program" % name)
        names = [name for _, name in socket.if_nameindex()]
        if names != ["lo"]:
            raise unittest.SkipTest("needs a private network namespace with only lo "
                                    "(run it under `unshare -n`); interfaces here: %s"
                                    % ", ".join(names))
        subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
        home_folder = tempfile.TemporaryDirectory(prefix="orvel-e2e-home-")
        cls.addClassCleanup(home_folder.cleanup)
        # Class cleanups run even when setUpClass fails; last added runs first.
        cls.addClassCleanup(cls.finish_processes)
        cls.home = home_folder.name

    @classmethod
    def finish_processes(cls):
        for process in PROCESSES.get(cls.__name__, []):
            process.finish()

    def backup_folder(self):
        return os.path.join(self.home, "Documents", "Orvel-Bridge")


class StaticPrinters(ConsoleCase):
    """Static printers: registered once each, polled and named; unreachable ones retried."""

    PRINTERS = ["127.0.0.2,name=Alpha,model=AlphaJet 5",
                "127.0.0.3,name=Back Office,model=LabJet 2000",
                "127.0.0.4,refuse-status=1"]
    STATIC = "127.0.0.2;127.0.0.3;127.0.0.2;127.0.0.4;127.0.0.9"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        name = cls.__name__
        cls.lab = Lab(name, cls.PRINTERS)
        if not cls.lab.wait_ready(len(cls.PRINTERS)):
            raise AssertionError("the lab did not get ready")
        cls.bridge = Bridge(name, cls.home, ["--static-printers", cls.STATIC, "--log-level", "0"])
        cls.started = cls.bridge.wait_for_text(STARTED, START_TIMEOUT)
        if cls.started is None:
            raise AssertionError("the bridge did not start")
        # Two polls of each reachable printer, three failed attempts on each
        # refusing one (at about 0, 10 and 20 s).
        cls.lab.wait_for_events("status-command", 2, 25, printer="127.0.0.2", code="4")
        cls.lab.wait_for_events("status-command", 2, 5, printer="127.0.0.3", code="4")
        for address in ("127.0.0.4", "127.0.0.9"):
            cls.bridge.wait_for_text(
                "Connect to %s:9101 failed with error 111 (PrinterStatusPort)" % address, 35, 3)
        cls.stop = stop_and_measure(cls.bridge, signal.SIGINT)

    def test_each_static_printer_added_once_in_order(self):
        added = [text for text in self.bridge.texts() if text.startswith("Static printer '")]
        self.assertEqual(added, ["Static printer '%s' added" % address
                                 for address in ("127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.9")],
                         "each address once, in the order of the list")
        others = [text for text in self.bridge.texts() if re.match(r"^Printer '.*' (added|removed)$", text)]
        self.assertEqual(others, [], "static printers are neither discovered nor removed")

    def test_reachable_printers_polled_every_10_s(self):
        for address in ("127.0.0.2", "127.0.0.3"):
            polls = status_polls(self.lab, address)
            self.assertGreaterEqual(len(polls), 2, "two polls of %s" % address)
            self.assertAlmostEqual(polls[1] - polls[0], 10.0, delta=PERIOD_TOLERANCE,
                                   msg="polling period of %s" % address)
            connects = self.lab.events("status-connect", printer=address)
            self.assertEqual(len(connects), 1, "one status connection to %s serves every poll" % address)

    def test_second_poll_within_15_s_of_start(self):
        for address in ("127.0.0.2", "127.0.0.3"):
            polls = self.lab.events("status-command", printer=address, code="4")
            self.assertGreaterEqual(len(polls), 2, "two polls of %s" % address)
            self.assertLessEqual(polls[1][0] - self.started, 15.0,
                                 "second poll of %s after the start" % address)

    def test_printers_named_once_with_name_and_model(self):
        texts = self.bridge.texts()
        for address, name, model in (("127.0.0.2", "Alpha", "AlphaJet 5"),
                                     ("127.0.0.3", "Back Office", "LabJet 2000")):
            named = [text for text in texts if text.startswith("Printer '%s' is named " % address)]
            self.assertEqual(named, ["Printer '%s' is named '%s' (%s)" % (address, name, model)],
                             "named once, although polled again with the same name")
            self.assertGreaterEqual(len(status_polls(self.lab, address)), 2)

    def test_refused_static_printers_retried_every_10_s(self):
        for address in ("127.0.0.4", "127.0.0.9"):
            failures = self.bridge.times_of(
                "Connect to %s:9101 failed with error 111 (PrinterStatusPort)" % address)
            self.assertGreaterEqual(len(failures), 3, "three attempts on %s" % address)
            for earlier, later in zip(failures, failures[1:]):
                self.assertAlmostEqual(later - earlier, 10.0, delta=PERIOD_TOLERANCE,
                                       msg="retry period of %s" % address)
        self.assertEqual(self.lab.events("status-connect", printer="127.0.0.4"), [],
                         "refuse-status printer has no status listener")

    def test_sigint_stops_promptly(self):
        to_stopped, to_exit, status = self.stop
        texts = self.bridge.texts()
        self.assertIn(STOPPING, texts)
        self.assertIn(STOPPED, texts)
        self.assertLess(texts.index(STOPPING), texts.index(STOPPED))
        self.assertIsNotNone(to_stopped, "stopped line")
        self.assertLessEqual(to_stopped, STOP_BOUND)
        self.assertLessEqual(to_exit, STOP_BOUND)
        self.assertEqual(status, 0)
        # The status connections are closed on the way out.
        for address in ("127.0.0.2", "127.0.0.3"):
            self.assertEqual(len(self.lab.wait_for_events("status-close", 1, 2, printer=address)), 1,
                             "status connection to %s closed" % address)


class StopSignals(ConsoleCase):
    """SIGINT and SIGTERM during the 60-s wait stop the service promptly."""

    def run_until_waiting(self, label):
        lab = Lab(type(self).__name__, ["127.0.0.2"])
        self.addCleanup(lab.finish)
        self.assertTrue(lab.wait_ready(1), "lab ready")
        bridge = Bridge(type(self).__name__, self.home,
                        ["--static-printers", "127.0.0.2", "--log-level", "0"])
        self.addCleanup(bridge.finish)
        started = bridge.wait_for_text(STARTED, START_TIMEOUT)
        self.assertIsNotNone(started, "bridge started (%s)" % label)
        self.assertEqual(len(lab.wait_for_events("status-command", 1, 15, printer="127.0.0.2",
                                                 code="4")), 1, "first poll")
        # The discovery pass is over once its send failed (no broadcast route
        # here) or, at the latest, 13 s after the start.
        if not bridge.wait_for_pattern(NO_ROUTE_SEND, 3):
            time.sleep(max(0.0, started + 13.0 - time.monotonic()))
        # Well inside the wait, away from the start-up.
        time.sleep(2.0)
        self.assertIsNone(bridge.process.poll(), "the bridge still runs")
        return lab, bridge

    def check_stop(self, number):
        lab, bridge = self.run_until_waiting(signal.Signals(number).name)
        to_stopped, to_exit, status = stop_and_measure(bridge, number)
        texts = bridge.texts()
        self.assertEqual(texts.count(STOPPING), 1)
        self.assertEqual(texts.count(STOPPED), 1)
        self.assertLess(texts.index(STOPPING), texts.index(STOPPED))
        self.assertIsNotNone(to_stopped)
        self.assertLessEqual(to_stopped, STOP_BOUND)
        self.assertLessEqual(to_exit, STOP_BOUND)
        if number == signal.SIGTERM:
            # What systemd sends: the unit's stop must not wait on the program.
            self.assertLessEqual(to_exit, 1.0, "SIGTERM ends the program within 1 s")
        self.assertEqual(status, 0)
        self.assertEqual(len(lab.wait_for_events("status-close", 1, 2, printer="127.0.0.2")), 1,
                         "status connection closed on the way out")
        lab.signal(signal.SIGTERM)
        self.assertEqual(lab.wait_exit(10), 0)

    def test_sigint(self):
        self.check_stop(signal.SIGINT)

    def test_sigterm(self):
        self.check_stop(signal.SIGTERM)


class CommandLine(ConsoleCase):
    """--help and a malformed option value start nothing."""

    def run_to_end(self, args, expected_status=0):
        bridge = Bridge(type(self).__name__, self.home, args)
        self.addCleanup(bridge.finish)
        status = bridge.wait_exit(START_TIMEOUT)
        bridge.finish()
        self.assertEqual(status, expected_status, "exit status")
        all_text = [line for _, _, line in bridge.snapshot()]
        self.assertFalse([line for line in all_text if "Bridge service" in line],
                         "the service logs nothing")
        self.assertFalse(os.path.exists(self.backup_folder()), "no backup folder is created")
        return bridge

    def test_help(self):
        bridge = self.run_to_end(["--help"])
        out = "\n".join(line for _, _, line in bridge.snapshot("out"))
        for option in ("--help", "--static-printers", "--log-level", "--server-port",
                       "--config-file", "--gateway", "--server-tls", "--server-tls-ca", "--server-tls-name"):
            self.assertIn(option, out)

    def test_malformed_option_value(self):
        for args in (["--server-port", "abc"], ["--log-level", "high"],
                     ["--static-printers", "127.0.0.2", "--server-port", "70000"],
                     ["--server-tls", "maybe"],
                     # Certificates that cannot be read stop the start too.
                     ["--server-tls", "true", "--server-tls-ca", "/nonexistent/ca.pem"]):
            with self.subTest(args=args):
                # A failed start must not look like a success to a service
                # manager or a script.
                bridge = self.run_to_end(args, expected_status=1)
                errors = [line for _, _, line in bridge.snapshot("err")]
                reports = [line for line in errors if line.startswith("Unhandled exception: ")]
                self.assertEqual(len(reports), 1, "one exception report: %r" % errors)
                self.assertGreater(len(reports[0]), len("Unhandled exception: "),
                                   "the report carries the exception's text")


class ServiceManager(ConsoleCase):
    """Under systemd: readiness and stop reported, journal priority prefixes."""

    # Names the bridge's standard output (a pipe) in JOURNAL_STREAM as the
    # journal would, then runs the bridge. Inside $(...) descriptor 3 is
    # still the pipe.
    JOURNAL_WRAPPER = ["sh", "-c", 'exec 3>&1; JOURNAL_STREAM=$(stat -L -c %d:%i /proc/self/fd/3); '
                       'export JOURNAL_STREAM; exec 3>&-; exec "$@"', "journal"]

    def test_notifies_readiness_and_prefixes_journal_lines(self):
        notify_path, notify = notify_socket(self)
        bridge = Bridge(type(self).__name__, self.home,
                        ["--static-printers", "127.0.0.2", "--log-level", "0"],
                        prefix=["env", "NOTIFY_SOCKET=" + notify_path] + self.JOURNAL_WRAPPER)
        self.addCleanup(bridge.finish)
        self.assertEqual(notify.recv(4096), b"READY=1")
        self.assertTrue(bridge.wait_until(
            lambda lines: any(stream == "out" and line.startswith("<6>[INFO] - ")
                              for _, stream, line in lines),
            START_TIMEOUT), "an INFO line with the info priority")
        bridge.signal(signal.SIGTERM)
        self.assertEqual(notify.recv(4096), b"STOPPING=1")
        self.assertEqual(bridge.wait_exit(STOP_BOUND + 5), 0)
        lines = [line for _, _, line in bridge.snapshot("out")]
        prefixes = {"DEBUG": "<7>", "INFO": "<6>", "NOTICE": "<5>", "WARNING": "<4>"}
        for line in lines:
            match = re.match(r"^(<\d>)\[([A-Z]+)\] - ", line)
            self.assertIsNotNone(match, "every journal line has a prefix: %r" % line)
            self.assertEqual(match.group(1), prefixes[match.group(2)], line)
        self.assertTrue([line for line in lines if line.startswith("<7>[DEBUG]")])

    def test_no_prefix_when_the_journal_is_another_stream(self):
        other = os.path.join(self.home, "other")
        open(other, "w").close()
        stat = os.stat(other)
        bridge = Bridge(type(self).__name__, self.home, ["--static-printers", "127.0.0.2"],
                        prefix=["env", "JOURNAL_STREAM=%d:%d" % (stat.st_dev, stat.st_ino)])
        self.addCleanup(bridge.finish)
        self.assertIsNotNone(bridge.wait_for_text(STARTED, START_TIMEOUT))
        bridge.signal(signal.SIGTERM)
        self.assertEqual(bridge.wait_exit(STOP_BOUND + 5), 0)
        lines = [line for _, _, line in bridge.snapshot("out")]
        self.assertTrue(lines)
        self.assertFalse([line for line in lines if not line.startswith("[")], lines)


class Watchdog(ConsoleCase):
    """Under a unit's watchdog: signs of life while the service loop runs."""

    def receive_until(self, notify, wanted):
        """Notifications up to and including `wanted`; fails on any but watchdog pings."""
        messages = []
        while not messages or messages[-1] != wanted:
            messages.append(notify.recv(4096))
        self.assertEqual(set(messages) - {wanted, b"WATCHDOG=1"}, set(), messages)
        return messages

    def test_pings_go_on_through_the_pause_between_cycles(self):
        # START_TIMEOUT bounds a ping that never comes; with the 2-s watchdog
        # below the program pings about every second.
        notify_path, notify = notify_socket(self)
        bridge = Bridge(type(self).__name__, self.home,
                        ["--static-printers", "127.0.0.2", "--log-level", "0"],
                        prefix=["env", "NOTIFY_SOCKET=" + notify_path, "WATCHDOG_USEC=2000000"])
        self.addCleanup(bridge.finish)
        started = time.monotonic()
        self.receive_until(notify, b"READY=1")
        # The first sweep is over once its send failed (no broadcast route
        # here) or, at the latest, 13 s after the start.
        if not bridge.wait_for_pattern(NO_ROUTE_SEND, 15):
            time.sleep(max(0.0, started + 13.0 - time.monotonic()))
        # Of the pings after readiness at most two report the first cycle's
        # steps (the server test, the sweep); the others come from the slices
        # of the 60-s pause that follows.
        for _ in range(4):
            self.assertEqual(notify.recv(4096), b"WATCHDOG=1")
        self.assertLessEqual(len([text for text in bridge.texts() if NO_ROUTE_SEND.match(text)]), 1,
                             "still the first cycle's pause")
        bridge.signal(signal.SIGTERM)
        self.receive_until(notify, b"STOPPING=1")
        self.assertEqual(bridge.wait_exit(STOP_BOUND + 5), 0)


class DeviceTexts(ConsoleCase):
    """A printer name with a line end, an escape sequence and invalid UTF-8."""

    NAME = b"Evil\n[ERROR] - forged\x1b[31m\xff"

    def test_logged_escaped_and_registered_unchanged(self):
        lab = Lab(type(self).__name__, ["127.0.0.2,name=" + os.fsdecode(self.NAME)], server="127.0.0.1:0")
        self.addCleanup(lab.finish)
        self.assertTrue(lab.wait_ready(1), "lab ready")
        bridge = Bridge(type(self).__name__, self.home,
                        ["--static-printers", "127.0.0.2", "--server-address", "127.0.0.1",
                         "--server-port", str(lab.server_port())])
        self.addCleanup(bridge.finish)
        # The server gets the name's bytes exactly as the printer gave them.
        self.assertEqual(len(lab.wait_for_events("server-register", 1, 20, name=lab_escaped(self.NAME))), 1)
        bridge.signal(signal.SIGTERM)
        self.assertEqual(bridge.wait_exit(STOP_BOUND + 5), 0)
        lines = [line for _, _, line in bridge.snapshot()]
        self.assertIn("Backup of printer 'Evil\\x0A[ERROR] - forged\\x1B[31m\\xFF' is starting...",
                      bridge.texts())
        self.assertFalse([line for line in lines if not line.startswith("[")], "no forged line")
        self.assertFalse([line for line in lines if "\x1b" in line or "\\xff" in line], "no raw byte")


if __name__ == "__main__":
    sys.exit(main(sys.modules[__name__], sys.argv[1:]))
