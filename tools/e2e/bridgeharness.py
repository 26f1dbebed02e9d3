"""Shared harness of the end-to-end tests: runs orvel-bridge-console and
orvel-bridge-lab as child processes, records their output lines with their
arrival times, and reads the bridge's console log and the lab's report.

The programs come from the environment: ORVEL_BRIDGE_CONSOLE (the bridge)
and ORVEL_BRIDGE_LAB (orvel-bridge-lab). A `prefix` runs a program inside
something else, for example ["ip", "netns", "exec", NAME].
"""

import os
import re
import subprocess
import sys
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

    def __init__(self, owner, home, args, prefix=(), label="bridge"):
        environment = {key: value for key, value in os.environ.items()
                       if key not in ("XDG_DOCUMENTS_DIR", "XDG_CONFIG_HOME")}
        environment["HOME"] = home
        super().__init__(owner, label, list(prefix) + [os.environ["ORVEL_BRIDGE_CONSOLE"]] + list(args),
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


def lab_escaped(value):
    """A value (text or bytes) as the lab's report writes it: bytes outside
    printable ASCII, blank and backslash as \\xNN."""
    data = value.encode("utf-8", "surrogateescape") if isinstance(value, str) else value
    return "".join(chr(b) if 0x21 <= b <= 0x7E and b != 0x5C else "\\x%02x" % b for b in data)


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


def parse_http_reply(reply):
    """An HTTP/1.1 answer's bytes -> (status code or 0, {lower-case header: value}, body)."""
    head, _, body = reply.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    status = int(lines[0].split()[1]) if lines[0].startswith("HTTP/1.1 ") else 0
    headers = {}
    for line in lines[1:]:
        key, _, value = line.partition(":")
        headers[key.strip().lower()] = value.strip()
    return status, headers, body


class Lab(Process):
    """orvel-bridge-lab with the given printers (its --printer values); web_port 0 means
    no web pages; server, when given, is the simulated WVT server's --server value."""

    def __init__(self, owner, printers, prefix=(), label="lab", web_port=0, server=None):
        argv = list(prefix) + [os.environ["ORVEL_BRIDGE_LAB"], "--web-port", str(web_port)]
        for printer in printers:
            argv += ["--printer", printer]
        if server is not None:
            argv += ["--server", server]
        super().__init__(owner, label, argv)

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

    def server_port(self):
        """The port the simulated server listens on, or None when it reported none."""
        listening = self.wait_for_events("server-listen", 1, START_TIMEOUT)
        return int(listening[0][2]["port"]) if listening else None

    def wait_ready(self, printers):
        ready = self.wait_for_events("ready", 1, START_TIMEOUT)
        return bool(ready) and ready[0][2].get("printers") == str(printers)


def stop_and_measure(bridge, number):
    """Sends the signal; returns (seconds to the stopped line or None, seconds to exit, status)."""
    sent = time.monotonic()
    bridge.signal(number)
    stopped = bridge.wait_for_text(STOPPED, timeout=STOP_BOUND + 10)
    status = bridge.wait_exit(STOP_BOUND + 10)
    exited = time.monotonic()
    return (None if stopped is None else stopped - sent), exited - sent, status


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


def main(module, names):
    """Runs the named tests of `module` (all without names); returns the exit status."""
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
