#!/usr/bin/env python3
"""The status record, its metrics file and the "status" option of
orvel-bridge-console, end to end, across network namespaces, against the
simulated printers and WVT server of orvel-bridge-lab.

Usage: test_status_netns.py [TestClass[.test_method] ...]

The programs come from the environment: ORVEL_BRIDGE_CONSOLE (the bridge)
and ORVEL_BRIDGE_LAB (orvel-bridge-lab). Each class makes its own namespaces
(`ip netns`, names carry this process's id) on private subnets
(10.231.20.0/24 to 10.231.23.0/24). The bridge keeps its record in its home
folder (~/.local/state/orvel-bridge), where "status" run with the same home
folder finds it.
- Follows: the record and the metrics appear at start and follow a static
  printer and a discovered one (registered, backed up, removed when its lab
  ends) and the server going away, while a reader loop never sees a partial
  file; "status" answers 0 with everything up, 2 without the server, 3 once
  the bridge has stopped and removed its files;
- Problems: a printer whose status port refuses and one whose backup is cut
  give 1; the record of a killed bridge made old, or cut short, gives 3.
Needs root and iproute2; without them every test is skipped.

Exit status: 0 when the tests ran and passed, 1 on a failure, 77 when every
test was skipped (CTest's SKIP_RETURN_CODE).
"""

import json
import math
import os
import re
import signal
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "e2e"))
from bridgeharness import START_TIMEOUT, STARTED, Bridge, Lab, main, stop_and_measure  # noqa: E402
from netns import NetnsCase, require_namespaces  # noqa: E402

RECORD = "status.json"
METRICS = "orvel-bridge.prom"
# A change reaches the files within moments; a sanitized build is slower.
CHANGE_TIMEOUT = 10.0
# A static printer's lost session is tried again at its next poll (10 s).
POLL_SECONDS = 10.0


def setUpModule():
    require_namespaces()


def state_folder(home):
    return os.path.join(home, ".local", "state", "orvel-bridge")


def status_environment(home):
    """The environment of a "status" run by the user whose home folder this is."""
    environment = {key: value for key, value in os.environ.items()
                   if key not in ("STATE_DIRECTORY", "XDG_STATE_HOME")}
    environment["HOME"] = home
    return environment


def run_status(home):
    """(exit status, output lines) of `orvel-bridge-console --status`."""
    result = subprocess.run([os.environ["ORVEL_BRIDGE_CONSOLE"], "--status"], env=status_environment(home),
                            cwd=home, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=30)
    return result.returncode, result.stdout.splitlines() + result.stderr.splitlines()


# --- The Prometheus text exposition format (0.0.4), checked strictly. ---

METRIC_NAME = re.compile(r"[a-zA-Z_:][a-zA-Z0-9_:]*")
LABEL_NAME = re.compile(r"[a-zA-Z_][a-zA-Z0-9_]*")
TYPES = ("counter", "gauge", "histogram", "summary", "untyped")


class FormatError(Exception):
    pass


def parse_float(text):
    if text in ("NaN", "+Inf", "-Inf", "Inf"):
        return float(text.replace("Inf", "inf"))
    if not re.fullmatch(r"[+-]?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?", text):
        raise FormatError("bad value %r" % text)
    return float(text)


def parse_labels(text, position, line):
    """Parses `name="value",...}` from text[position:]; returns (labels, position after '}')."""
    labels = {}
    while True:
        if text.startswith("}", position):
            return labels, position + 1
        match = LABEL_NAME.match(text, position)
        if not match:
            raise FormatError("bad label name in %r" % line)
        name = match.group(0)
        position = match.end()
        if not text.startswith('="', position):
            raise FormatError("'=\"' expected after label %s in %r" % (name, line))
        position += 2
        value = []
        while True:
            if position >= len(text):
                raise FormatError("unterminated label value in %r" % line)
            char = text[position]
            if char == '"':
                position += 1
                break
            if char == "\\":
                escape = text[position + 1:position + 2]
                if escape not in ("\\", '"', "n"):
                    raise FormatError("bad escape \\%s in a label value of %r" % (escape, line))
                value.append("\n" if escape == "n" else escape)
                position += 2
                continue
            if char == "\n":
                raise FormatError("line end inside a label value")
            value.append(char)
            position += 1
        if name in labels:
            raise FormatError("label %s twice in %r" % (name, line))
        labels[name] = "".join(value)
        if text.startswith(",", position):
            position += 1
        elif not text.startswith("}", position):
            raise FormatError("',' or '}' expected in %r" % line)


def parse_metrics(text):
    """Checks a metrics text; returns {(name, ((label, value), ...)): value} and {name: type}."""
    if not text.endswith("\n"):
        raise FormatError("the text does not end with a line end")
    samples, types, helps = {}, {}, set()
    finished, current = set(), None
    for line in text[:-1].split("\n"):
        if not line:
            raise FormatError("empty line")
        if line.startswith("#"):
            parts = line.split(" ", 3)
            if len(parts) >= 3 and parts[1] in ("HELP", "TYPE"):
                name = parts[2]
                if not METRIC_NAME.fullmatch(name):
                    raise FormatError("bad metric name in %r" % line)
                if parts[1] == "HELP":
                    if name in helps:
                        raise FormatError("second HELP for %s" % name)
                    if re.search(r"\\[^\\n]", parts[3] if len(parts) > 3 else ""):
                        raise FormatError("bad escape in %r" % line)
                    helps.add(name)
                else:
                    if name in types or len(parts) != 4 or parts[3] not in TYPES:
                        raise FormatError("bad or second TYPE line %r" % line)
                    if any(key[0] == name for key in samples):
                        raise FormatError("TYPE of %s after its samples" % name)
                    types[name] = parts[3]
            continue
        match = METRIC_NAME.match(line)
        if not match:
            raise FormatError("bad sample line %r" % line)
        name, position = match.group(0), match.end()
        labels = {}
        if line.startswith("{", position):
            labels, position = parse_labels(line, position + 1, line)
        fields = line[position:].split(" ")
        if len(fields) not in (2, 3) or fields[0] != "":
            raise FormatError("one blank, the value and maybe a time stamp expected in %r" % line)
        value = parse_float(fields[1])
        if len(fields) == 3 and not re.fullmatch(r"-?\d+", fields[2]):
            raise FormatError("bad time stamp in %r" % line)
        if name != current:
            if name in finished:
                raise FormatError("samples of %s are not together" % name)
            if current is not None:
                finished.add(current)
            current = name
        key = (name, tuple(sorted(labels.items())))
        if key in samples:
            raise FormatError("series %r twice" % (key,))
        if types.get(name) == "counter" and (not name.endswith("_total") or value < 0 or math.isnan(value)):
            raise FormatError("bad counter %r" % line)
        samples[key] = value
    return samples, types


class FileWatcher(threading.Thread):
    """Reads both files over and over while the bridge rewrites them; every
    read must give a whole record and a whole metrics text."""

    def __init__(self, folder):
        super().__init__(daemon=True)
        self.folder = folder
        self.stopping = threading.Event()
        self.reads = 0
        self.versions = set()
        self.failures = []

    def run(self):
        while not self.stopping.is_set():
            for name in (RECORD, METRICS):
                try:
                    with open(os.path.join(self.folder, name), "rb") as stream:
                        data = stream.read()
                except FileNotFoundError:
                    continue
                self.reads += 1
                try:
                    if name == RECORD:
                        record = json.loads(data.decode("utf-8"))
                        self.versions.add((record["written"], data))
                    else:
                        parse_metrics(data.decode("utf-8"))
                except (ValueError, KeyError, FormatError) as error:
                    self.failures.append("%s: %s: %r" % (name, error, data[-200:]))
            time.sleep(0.001)


class StatusCase(NetnsCase):
    """A bridge whose record is read from its home folder."""

    @classmethod
    def start_status_bridge(cls, namespace, args):
        # Neither variable may choose another folder than the home folder's.
        prefix = ["ip", "netns", "exec", namespace, "env", "-u", "STATE_DIRECTORY", "-u", "XDG_STATE_HOME"]
        cls.network.check_private(namespace)
        bridge = Bridge(cls.__name__, cls.home, ["--log-level", "0"] + list(args), prefix=prefix,
                        label="bridge in " + namespace)
        if bridge.wait_for_text(STARTED, START_TIMEOUT) is None:
            raise AssertionError("the bridge did not start")
        return bridge

    @classmethod
    def record(cls):
        """The record as it is now, or None."""
        try:
            with open(os.path.join(state_folder(cls.home), RECORD), "rb") as stream:
                return json.loads(stream.read().decode("utf-8"))
        except FileNotFoundError:
            return None

    @classmethod
    def metrics(cls):
        with open(os.path.join(state_folder(cls.home), METRICS), encoding="utf-8") as stream:
            return stream.read()

    @classmethod
    def wait_record(cls, predicate, timeout=CHANGE_TIMEOUT):
        """The first record that satisfies the predicate, or None."""
        deadline = time.monotonic() + timeout
        while True:
            record = cls.record()
            if record is not None and predicate(record):
                return record
            if time.monotonic() > deadline:
                return None
            time.sleep(0.05)


def printers_of(record):
    return {printer["address"]: printer for printer in record["printers"]}


class Follows(StatusCase):
    """One bridge: a static printer, a discovered printer in a lab of its own,
    and the server in a third namespace."""

    STATIC = "10.231.20.10"
    # A name with a quotation mark, a backslash and a line end.
    STATIC_NAME = 'Q"uote\\Back\nLine'
    ALPHA = "10.231.21.10"
    SERVER = "10.231.22.2"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        bridge_ns = cls.network.namespace("bridge")
        static_ns = cls.network.namespace("static")
        alpha_ns = cls.network.namespace("alpha")
        server_ns = cls.network.namespace("server")
        cls.network.link(bridge_ns, "10.231.20.1/24", static_ns, [cls.STATIC + "/24"])
        cls.network.link(bridge_ns, "10.231.21.1/24", alpha_ns, [cls.ALPHA + "/24"])
        cls.network.link(bridge_ns, "10.231.22.1/24", server_ns, [cls.SERVER + "/24"])
        cls.server_lab = cls.start_lab(server_ns, [], server=cls.SERVER + ":0,keepalive=1")
        port = cls.server_lab.server_port()
        cls.static_lab = cls.start_lab(static_ns, ["%s,discovery=none,name=%s,backup-size=3000"
                                                   % (cls.STATIC, cls.STATIC_NAME)])
        cls.alpha_lab = cls.start_lab(alpha_ns, [cls.ALPHA + ",name=Alpha,backup-size=2000"])
        cls.watcher = FileWatcher(state_folder(cls.home))
        cls.watcher.start()
        cls.addClassCleanup(cls.watcher.stopping.set)
        cls.bridge = cls.start_status_bridge(bridge_ns, ["--static-printers", cls.STATIC,
                                                         "--server-address", cls.SERVER,
                                                         "--server-port", str(port)])
        cls.first = cls.wait_record(lambda record: True)
        cls.first_metrics = cls.metrics() if cls.first else None

        def all_up(record):
            printers = printers_of(record)
            return (record["server"]["connected"] and len(printers) == 2 and
                    all(p["session_up"] and p["last_backup"] for p in printers.values()))
        cls.up = cls.wait_record(all_up, START_TIMEOUT)
        cls.up_metrics = cls.metrics()
        cls.up_status = run_status(cls.home)

        # Keep-alives answered (one a second for each session), then the
        # discovered printer's lab and the server go at once: the bridge
        # notices each at its next poll of that printer, 10 s at most.
        cls.server_lab.wait_for_events("server-reply", 4, CHANGE_TIMEOUT)
        cls.alpha_lab.signal(signal.SIGTERM)
        cls.server_lab.signal(signal.SIGTERM)
        cls.session_down = cls.wait_record(
            lambda record: not any(p["session_up"] for p in record["printers"]))
        cls.alpha_gone = cls.wait_record(lambda record: cls.ALPHA not in printers_of(record),
                                         POLL_SECONDS + CHANGE_TIMEOUT)
        cls.alpha_gone_metrics = cls.metrics()
        # The session's end shows first; the failed server test of the next
        # route request reaches the record once the service has switched.
        cls.server_gone = cls.wait_record(
            lambda record: not record["server"]["connected"] and record["server"]["reachable"] is False
            and cls.ALPHA not in printers_of(record),
            POLL_SECONDS + CHANGE_TIMEOUT)
        cls.server_gone_metrics = cls.metrics()
        cls.server_gone_status = run_status(cls.home)

        cls.stop = stop_and_measure(cls.bridge, signal.SIGINT)
        cls.watcher.stopping.set()
        cls.watcher.join(5)
        cls.stopped_status = run_status(cls.home)

    def test_record_and_metrics_appear_at_start(self):
        self.assertIsNotNone(self.first, "a record in %s" % state_folder(self.home))
        self.assertEqual(self.first["version"], 1)
        self.assertEqual(self.first["pid"], self.bridge.process.pid)
        self.assertRegex(self.first["guid"], r"^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$")
        self.assertLessEqual(abs(self.first["started"] - time.time()), 120)
        self.assertEqual(self.first["server"]["address"], self.SERVER)
        samples, _ = parse_metrics(self.first_metrics)
        self.assertEqual(samples[("orvel_bridge_info", (("guid", self.first["guid"]),))], 1)

    def test_printers_registered_and_backed_up(self):
        self.assertIsNotNone(self.up, "both printers up and backed up")
        printers = printers_of(self.up)
        static, alpha = printers[self.STATIC], printers[self.ALPHA]
        self.assertEqual(static["name"], 'Q"uote\\Back\\x0ALine', "escaped as in the log")
        self.assertEqual(alpha["name"], "Alpha")
        for printer in (static, alpha):
            self.assertTrue(printer["answered"])
            self.assertEqual(printer["sessions_started"], 1)
            self.assertIsNone(printer["gateway"], "direct to the server")
            self.assertEqual(printer["failed_backups"], 0)
            self.assertFalse(printer["last_backup_failed"])
        # The file names as the record holds them: escaped as in the log.
        folder = os.path.join(self.home, "Documents", "Orvel-Bridge")
        files = {os.path.join(folder, name).replace("\n", "\\x0A") for name in os.listdir(folder)}
        self.assertIn(static["last_backup_file"], files)
        self.assertTrue(os.path.basename(static["last_backup_file"]).startswith("Backup-Q_uote_Back\\x0ALine-"))
        self.assertEqual(os.path.getsize(alpha["last_backup_file"]), 2000)
        self.assertTrue(self.up["server"]["reachable"])
        self.assertIsNotNone(self.up["gateway_port"], "a bridge that reaches the server is a gateway")

    def test_metrics_follow_the_printers(self):
        samples, types = parse_metrics(self.up_metrics)
        static = (("address", self.STATIC), ("name", 'Q"uote\\Back\\x0ALine'))
        alpha = (("address", self.ALPHA), ("name", "Alpha"))
        self.assertEqual(samples[("orvel_bridge_printers", ())], 2)
        self.assertEqual(samples[("orvel_bridge_sessions_up", ())], 2)
        self.assertEqual(samples[("orvel_bridge_server_connected", ())], 1)
        for labels in (static, alpha):
            self.assertEqual(samples[("orvel_bridge_printer_session_up", labels)], 1)
            self.assertEqual(samples[("orvel_bridge_printer_sessions_started_total", labels)], 1)
            self.assertEqual(samples[("orvel_bridge_printer_backup_failures_total", labels)], 0)
            self.assertLessEqual(abs(samples[("orvel_bridge_printer_last_backup_time_seconds", labels)]
                                     - time.time()), 120)
        self.assertEqual(types["orvel_bridge_printer_backup_failures_total"], "counter")
        self.assertEqual(types["orvel_bridge_printer_session_up"], "gauge")

        self.assertIsNotNone(self.alpha_gone, "the discovered printer left the record")
        self.assertEqual(list(printers_of(self.alpha_gone)), [self.STATIC])
        samples, _ = parse_metrics(self.alpha_gone_metrics)
        self.assertEqual(samples[("orvel_bridge_printers", ())], 1)
        self.assertNotIn(("orvel_bridge_printer_session_up", alpha), samples)
        # The server sent a keep-alive every second until it went.
        answered = printers_of(self.alpha_gone)[self.STATIC]["last_keepalive"]
        self.assertIsNotNone(answered)
        self.assertLessEqual(abs(answered - time.time()), 120)
        self.assertEqual(samples[("orvel_bridge_printer_last_keepalive_time_seconds", static)], answered)

        samples, _ = parse_metrics(self.server_gone_metrics)
        self.assertEqual(samples[("orvel_bridge_server_connected", ())], 0)
        self.assertEqual(samples[("orvel_bridge_sessions_up", ())], 0)
        self.assertEqual(samples[("orvel_bridge_printer_session_up", static)], 0)

    def test_server_going_away(self):
        self.assertIsNotNone(self.session_down, "the session ended when the server went")
        self.assertIsNotNone(self.server_gone, "the server is shown not connected")
        static = printers_of(self.server_gone)[self.STATIC]
        self.assertFalse(static["session_up"])
        self.assertTrue(static["answered"], "the printer itself still answers")
        self.assertFalse(self.server_gone["server"]["reachable"])

    def test_status_exit_codes_and_table(self):
        code, lines = self.up_status
        self.assertEqual(code, 0, lines)
        self.assertEqual(lines[0], "ORVEL-BRIDGE OK - server connected, 2 of 2 printer sessions up")
        self.assertEqual(lines[2], "Server: %s:%d connected, reached directly"
                         % (self.SERVER, self.server_lab.server_port()))
        self.assertTrue(lines[3].startswith("Listeners: gateway port "), lines)
        self.assertEqual(lines[5].split(), ["PRINTER", "ADDRESS", "SESSION", "KEEP-ALIVE", "BACKUP"])
        rows = {line.split()[0]: line for line in lines[6:]}
        self.assertEqual(sorted(rows), ["Alpha", 'Q"uote\\Back\\x0ALine'], lines)
        # Keep-alive times reach the record with the next change or refresh.
        self.assertRegex(rows["Alpha"], r"^Alpha +%s +up +(\d+ s|never) +\d+ s$" % re.escape(self.ALPHA))

        code, lines = self.server_gone_status
        self.assertEqual(code, 2, lines)
        self.assertEqual(lines[0], "ORVEL-BRIDGE CRITICAL - server not connected, 0 of 1 printer session up")

        code, lines = self.stopped_status
        self.assertEqual(code, 3, lines)
        self.assertEqual(lines, ["ORVEL-BRIDGE UNKNOWN - no status record '%s': is the bridge running?"
                                 % os.path.join(state_folder(self.home), RECORD)])

    def test_files_removed_at_stop(self):
        self.assert_stopped(self.stop)
        self.assertEqual(os.listdir(state_folder(self.home)), [], "no record, no metrics, no temporary file")

    def test_reader_never_sees_a_partial_file(self):
        self.assertEqual(self.watcher.failures, [])
        self.assertGreater(self.watcher.reads, 100)
        self.assertGreaterEqual(len({data for _, data in self.watcher.versions}), 4,
                                "the reader saw the files rewritten")


class Problems(StatusCase):
    """A printer that refuses its status port and one whose backups are cut:
    "status" warns; the record of a killed bridge is then made old and cut."""

    SUBNET = "10.231.23"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        bridge_ns = cls.network.namespace("bridge")
        lab_ns = cls.network.namespace("lab")
        good, refused, cut = ("%s.%d" % (cls.SUBNET, host) for host in (10, 11, 12))
        cls.addresses = good, refused, cut
        cls.network.link(bridge_ns, cls.SUBNET + ".1/24", lab_ns,
                         ["%s/24" % a for a in (cls.SUBNET + ".2", good, refused, cut)])
        cls.lab = cls.start_lab(lab_ns, [good + ",discovery=none,name=Good",
                                         refused + ",discovery=none,refuse-status=1",
                                         cut + ",discovery=none,name=Cut,backup-size=50000,backup-cut=100"],
                                server=cls.SUBNET + ".2:0,keepalive=1")
        port = cls.lab.server_port()
        cls.bridge = cls.start_status_bridge(bridge_ns, ["--static-printers", ";".join(cls.addresses),
                                                         "--server-address", cls.SUBNET + ".2",
                                                         "--server-port", str(port)])

        def settled(record):
            printers = printers_of(record)
            return (record["server"]["connected"] and len(printers) == 3 and printers[good]["session_up"]
                    and printers[cut]["session_up"] and printers[cut]["failed_backups"] >= 1)
        cls.settled = cls.wait_record(settled, START_TIMEOUT)
        cls.warning_status = run_status(cls.home)
        # A bridge that dies leaves its record behind.
        cls.bridge.signal(signal.SIGKILL)
        cls.bridge.wait_exit(10)
        cls.path = os.path.join(state_folder(cls.home), RECORD)
        with open(cls.path, encoding="utf-8") as stream:
            cls.left = stream.read()

    def write_record(self, text):
        with open(self.path, "w", encoding="utf-8") as stream:
            stream.write(text)

    def test_refused_session_and_failed_backup_warn(self):
        self.assertIsNotNone(self.settled, "the record shows the three printers")
        good, refused, cut = self.addresses
        printers = printers_of(self.settled)
        self.assertFalse(printers[refused]["answered"])
        self.assertFalse(printers[refused]["session_up"])
        self.assertTrue(printers[cut]["last_backup_failed"])
        self.assertIsNone(printers[cut]["last_backup"])
        code, lines = self.warning_status
        self.assertEqual(code, 1, lines)
        self.assertEqual(lines[0], "ORVEL-BRIDGE WARNING - server connected, 2 of 3 printer sessions up, "
                         "1 last backup failed")
        rows = [line.split() for line in lines[6:]]
        self.assertIn(["?", refused, "down", "never", "never"], rows)
        cut_row = [row for row in rows if row[0] == "Cut"]
        self.assertEqual(len(cut_row), 1, lines)
        self.assertEqual(cut_row[0][1:3], [cut, "up"])
        self.assertIn("last one failed", " ".join(cut_row[0]))

    def test_old_or_damaged_record_is_unknown(self):
        record = json.loads(self.left)
        code, lines = run_status(self.home)
        self.assertIn(code, (1, 2), "the record of a bridge killed moments ago is still fresh: %r" % lines)

        record["written"] = int(time.time()) - 200
        self.write_record(json.dumps(record))
        code, lines = run_status(self.home)
        self.assertEqual(code, 3, lines)
        self.assertRegex(lines[0], r"^ORVEL-BRIDGE UNKNOWN - the status record is (19\d|20\d) s old: "
                                   r"the bridge is not running$")
        self.assertTrue(any(line.startswith("PRINTER ") for line in lines), "the table is shown still")

        self.write_record(self.left[:len(self.left) // 2])
        code, lines = run_status(self.home)
        self.assertEqual(code, 3, lines)
        self.assertTrue(lines[0].startswith("ORVEL-BRIDGE UNKNOWN - the status record '%s' is damaged: " % self.path),
                        lines)
        self.assertEqual(len(lines), 1)


if __name__ == "__main__":
    sys.exit(main(sys.modules[__name__], sys.argv[1:]))
