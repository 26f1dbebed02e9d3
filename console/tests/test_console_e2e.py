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
import threading
import time
import unittest

SKIP_STATUS = 77

# Start-up of a sanitized build can take a few seconds.
START_TIMEOUT = 30.0
# How soon a stop signal must end the service and the program.
STOP_BOUND = 3.0
# Tolerance of the 10-second polling and retry period.
PERIOD_TOLERANCE = 2.0

LOG_LINE = re.compile(r"^\[([A-Z]*)\] - (\d{4}-[A-Z][a-z]{2}-\d{2} \d{2}:\d{2}:\d{2}): (.*)$")
STARTING = "Bridge service starting..."
STARTED = "Bridge service started"
STOPPING = "Bridge service stopping..."
STOPPED = "Bridge service stopped"
# The last line of the first discovery pass in a namespace that has no
# broadcast interface: the request cannot be sent, the pass ends at once and
# the service enters its 60-second wait.
NO_ROUTE_SEND = re.compile(r"^Printers discovery request sendto\(\) failed on address ")

# Every process started by a test, by the test class that started it, so that
# a failure can show their output.
PROCESSES = {}


class Process:
    """A started program; its output lines are recorded with their arrival time."""

    def __init__(self, owner, label, argv, **popen):
        self.label = label
        self.argv = list(argv)
        self.lines = []  # (monotonic seconds, "out" or "err", text)
        self.condition = threading.Condition()
        self.started = time.monotonic()
        self.process = subprocess.Popen(self.argv, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        text=True, errors="backslashreplace", **popen)
        PROCESSES.setdefault(owner, []).append(self)
        self.readers = [threading.Thread(target=self._read, args=(stream, name), daemon=True)
                        for stream, name in ((self.process.stdout, "out"),
                                             (self.process.stderr, "err"))]
        for reader in self.readers:
            reader.start()

    def _read(self, stream, name):
        for line in stream:
            with self.condition:
                self.lines.append((time.monotonic(), name, line.rstrip("\n")))
                self.condition.notify_all()

    def snapshot(self, stream=None):
        with self.condition:
            return [entry for entry in self.lines if stream is None or entry[1] == stream]

    def wait_until(self, predicate, timeout):
        """Waits until predicate(lines) is true; returns whether it became true."""
        with self.condition:
            return self.condition.wait_for(lambda: predicate(self.lines), timeout)

    def signal(self, number):
        if self.process.poll() is None:
            self.process.send_signal(number)

    def wait_exit(self, timeout):
        """The exit status, or None when the program is still running."""
        try:
            return self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            return None

    def finish(self):
        """Kills the program if it still runs and collects the rest of its output."""
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()
        for reader in self.readers:
            reader.join(timeout=5)

    def transcript(self):
        text = ["--- %s: %s (exit status %s)" % (self.label, " ".join(self.argv),
                                                  self.process.poll())]
        for when, stream, line in self.snapshot():
            text.append("%8.3f %s %s" % (when - self.started, stream, line))
        return "\n".join(text)


class Bridge(Process):
    """orvel-bridge-console with a private home folder."""

    def __init__(self, owner, home, args):
        environment = {key: value for key, value in os.environ.items()
                       if key not in ("XDG_DOCUMENTS_DIR", "XDG_CONFIG_HOME")}
        environment["HOME"] = home
        super().__init__(owner, "bridge", [os.environ["ORVEL_BRIDGE_CONSOLE"]] + list(args),
                         env=environment, cwd=home)

    def log(self, stream="out"):
        """(arrival time, level, text) of each console log line of the stream."""
        result = []
        for when, _, line in self.snapshot(stream):
            match = LOG_LINE.match(line)
            if match:
                result.append((when, match.group(1), match.group(3)))
        return result

    def texts(self, stream="out"):
        return [text for _, _, text in self.log(stream)]

    def times_of(self, text):
        return [when for when, _, line in self.log() if line == text]

    def wait_for_texts(self, predicate, timeout):
        """Waits until predicate(list of log texts of stdout) holds; returns whether it did."""
        return self.wait_until(lambda _: predicate(self.texts()), timeout)

    def wait_for_text(self, text, timeout, count=1):
        """Arrival time of the count-th log line with exactly this text, or None."""
        if not self.wait_for_texts(lambda texts: texts.count(text) >= count, timeout):
            return None
        return self.times_of(text)[count - 1]

    def wait_for_pattern(self, pattern, timeout):
        return self.wait_for_texts(lambda texts: any(pattern.match(t) for t in texts), timeout)


def parse_report(line):
    """'1.234 event words key=value ...' -> (seconds, 'event words', {key: value})."""
    tokens = line.split()
    words, fields = [], {}
    for token in tokens[1:]:
        if "=" in token:
            key, value = token.split("=", 1)
            fields[key] = value
        elif not fields:
            words.append(token)
    return float(tokens[0]), " ".join(words), fields


class Lab(Process):
    """orvel-bridge-lab with the given printer specifications."""

    def __init__(self, owner, printers):
        argv = [os.environ["ORVEL_BRIDGE_LAB"], "--web-port", "0"]
        for spec in printers:
            argv += ["--printer", spec]
        super().__init__(owner, "lab", argv)

    def events(self, event=None, **fields):
        """(arrival time, lab seconds, fields) of the report lines of this event with these fields."""
        result = []
        for when, _, line in self.snapshot("out"):
            try:
                seconds, name, values = parse_report(line)
            except (ValueError, IndexError):
                continue
            if (event is None or name == event) and \
                    all(values.get(key) == value for key, value in fields.items()):
                result.append((when, seconds, values))
        return result

    def wait_for_events(self, event, count, timeout, **fields):
        """Waits for count such lines; returns those seen by then."""
        self.wait_until(lambda _: len(self.events(event, **fields)) >= count, timeout)
        return self.events(event, **fields)

    def wait_ready(self, printers):
        ready = self.wait_for_events("ready", 1, START_TIMEOUT)
        return bool(ready) and ready[0][2].get("printers") == str(printers)


def status_polls(lab, printer):
    """Lab seconds of every TQ_PRINTERINFO_CMD that reached this printer."""
    return [seconds for _, seconds, _ in lab.events("status-command", printer=printer, code="4")]


def stop_and_measure(bridge, number):
    """Sends the signal; returns (seconds to the stopped line or None, seconds to exit, status)."""
    sent = time.monotonic()
    bridge.signal(number)
    stopped = bridge.wait_for_text(STOPPED, timeout=STOP_BOUND + 10)
    status = bridge.wait_exit(STOP_BOUND + 10)
    exited = time.monotonic()
    return (None if stopped is None else stopped - sent), exited - sent, status


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

    def run_to_end(self, args):
        bridge = Bridge(type(self).__name__, self.home, args)
        self.addCleanup(bridge.finish)
        status = bridge.wait_exit(START_TIMEOUT)
        bridge.finish()
        self.assertEqual(status, 0, "exit status")
        all_text = [line for _, _, line in bridge.snapshot()]
        self.assertFalse([line for line in all_text if "Bridge service" in line],
                         "the service logs nothing")
        self.assertFalse(os.path.exists(self.backup_folder()), "no backup folder is created")
        return bridge

    def test_help(self):
        bridge = self.run_to_end(["--help"])
        out = "\n".join(line for _, _, line in bridge.snapshot("out"))
        for option in ("--help", "--static-printers", "--log-level", "--server-port",
                       "--config-file", "--gateway"):
            self.assertIn(option, out)

    def test_malformed_option_value(self):
        for args in (["--server-port", "abc"], ["--log-level", "high"],
                     ["--static-printers", "127.0.0.2", "--server-port", "70000"]):
            with self.subTest(args=args):
                bridge = self.run_to_end(args)
                errors = [line for _, _, line in bridge.snapshot("err")]
                reports = [line for line in errors if line.startswith("Unhandled exception: ")]
                self.assertEqual(len(reports), 1, "one exception report: %r" % errors)
                self.assertGreater(len(reports[0]), len("Unhandled exception: "),
                                   "the report carries the exception's text")


class DiagnosingResult(unittest.TextTestResult):
    """Prints the output of the programs of a test class when one of its tests fails."""

    shown = set()

    def _show(self, test):
        owner = type(test).__name__
        match = re.search(r"\((?:__main__\.)?(\w+)\)", str(test))
        if isinstance(test, unittest.case._SubTest):
            owner = type(test.test_case).__name__
        elif match and owner not in PROCESSES:
            owner = match.group(1)
        if owner in self.shown:
            return
        self.shown.add(owner)
        for process in PROCESSES.get(owner, []):
            self.stream.writeln(process.transcript())

    def addFailure(self, test, err):
        super().addFailure(test, err)
        self._show(test)

    def addError(self, test, err):
        super().addError(test, err)
        self._show(test)

    def addSubTest(self, test, subtest, err):
        super().addSubTest(test, subtest, err)
        if err is not None:
            self._show(test)


def main(names):
    module = sys.modules[__name__]
    loader = unittest.TestLoader()
    suite = loader.loadTestsFromNames(names, module) if names else loader.loadTestsFromModule(module)
    runner = unittest.TextTestRunner(stream=sys.stdout, verbosity=2, resultclass=DiagnosingResult)
    started = time.monotonic()
    result = runner.run(suite)
    print("run time %.1f s" % (time.monotonic() - started))
    if not result.wasSuccessful():
        return 1
    if result.testsRun == 0 or len(result.skipped) == result.testsRun:
        for test, reason in result.skipped:
            print("SKIPPED %s: %s" % (test, reason))
        return SKIP_STATUS
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
