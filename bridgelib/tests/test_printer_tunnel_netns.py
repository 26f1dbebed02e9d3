#!/usr/bin/env python3
"""The printer tunnel of orvel-bridge-console, end to end, across network namespaces.

Usage: test_printer_tunnel_netns.py [TestClass[.test_method] ...]

The programs come from the environment: ORVEL_BRIDGE_CONSOLE (the bridge)
and ORVEL_BRIDGE_LAB (orvel-bridge-lab). The simulated printer
(10.231.3.10, web pages on port 80) runs in one namespace, the bridge in
another (10.231.3.1), joined by a veth pair; the bridge discovers the
printer and opens its tunnel. Then:
- headless Chromium, started inside the bridge's namespace, loads the
  printer's page through the tunnel (the page, its stylesheet and its
  images, each over its own connection);
- a socket client asks through the tunnel for a large answer and shuts down
  its writing half at once; the whole answer must still arrive;
- the printer is stopped, the bridge removes it and closes the tunnel; with
  the printer back on port 80, a new connection to the tunnel port is still
  closed at once and never reaches the printer.
Needs root and iproute2 (else every test is skipped); the browser test is
skipped when Chromium (Debian package `chromium`) is missing.

Exit status: 0 when the tests ran and passed, 1 on a failure, 77 when every
test was skipped (CTest's SKIP_RETURN_CODE).
"""

import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "e2e"))
from bridgeharness import START_TIMEOUT, Lab, main, parse_http_reply, stop_and_measure  # noqa: E402
from netns import NetnsCase, require_namespaces  # noqa: E402
from nssocket import connect_in, first_difference  # noqa: E402

BRIDGE_ADDRESS = "10.231.3.1"
PRINTER_ADDRESS = "10.231.3.10"
PRINTER_NAME = "Tunnel Desk"

OPENED = re.compile(r"^Printer's tunnel opened on port (\d+)$")
CLOSED = "Printer's tunnel closed"
ADDED = "Printer '%s' added" % PRINTER_ADDRESS
REMOVED = "Printer '%s' removed" % PRINTER_ADDRESS

# What the printer's status page loads, and what its script writes when all of
# it arrived (the lab's page has four images).
PAGE_RESOURCES = ["/", "/style.css", "/img/1.svg", "/img/2.svg", "/img/3.svg", "/img/4.svg"]
PAGE_CHECK = 'data-check="images=4/4 css=ok"'

# Size of the large answers: more than any socket buffer on the way.
LARGE_BYTES = 3 * 1048576 + 7
# A printer that waits for the rest of a request head gives up after 10 s;
# an answer well before that shows that the client's shutdown reached it.
HEAD_WAIT_BOUND = 4.0
# A printer link polls every 10 s; a printer that stopped is removed at the next poll.
REMOVAL_TIMEOUT = 25.0
# How soon a connection to a closed tunnel port must end.
CLOSE_BOUND = 1.0

NO_CHROMIUM = "chromium is not installed (Debian package chromium; tools/install-deps.sh)"


def setUpModule():
    require_namespaces()


def large_pattern(size):
    """The lab's large body: 16-byte lines, each its own offset in 15 digits and LF."""
    return b"".join(b"%015d\n" % offset for offset in range(0, size + 15, 16))[:size]


def exchange(namespace, address, port, request, timeout=20.0):
    """Connects from the namespace, sends request, shuts down the writing half at once
    and reads until the end. Returns (status, headers, body, seconds from the shutdown
    to the first answer byte)."""
    with connect_in(namespace, (address, port), timeout) as sock:
        sock.sendall(request)
        sock.shutdown(socket.SHUT_WR)
        shut = time.monotonic()
        first = None
        chunks = []
        while True:
            chunk = sock.recv(262144)
            if not chunk:
                break
            if first is None:
                first = time.monotonic() - shut
            chunks.append(chunk)
    reply = b"".join(chunks)
    status, headers, body = parse_http_reply(reply)
    return status, headers, body, first


def host_of(endpoint):
    return endpoint.rsplit(":", 1)[0]


class PrinterTunnel(NetnsCase):
    """A browser and a half-closing client through the tunnel; the tunnel closes with its printer."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.bridge_ns = cls.network.namespace("bridge")
        printer_ns = cls.network.namespace("printer")
        cls.network.link(cls.bridge_ns, BRIDGE_ADDRESS + "/24", printer_ns, [PRINTER_ADDRESS + "/24"])
        cls.network.check_private(printer_ns)
        prefix = ["ip", "netns", "exec", printer_ns]
        cls.lab = Lab(cls.__name__, ["%s,name=%s" % (PRINTER_ADDRESS, PRINTER_NAME)],
                      prefix=prefix, label="lab in " + printer_ns, web_port=80)
        if not cls.lab.wait_ready(1):
            raise AssertionError("the lab did not get ready")
        cls.bridge, _ = cls.start_bridge(cls.bridge_ns)
        if not cls.bridge.wait_for_pattern(OPENED, START_TIMEOUT):
            raise AssertionError("the bridge opened no printer tunnel")
        cls.port = int(next(OPENED.match(t).group(1) for t in cls.bridge.texts() if OPENED.match(t)))

        # The browser; its DOM dump, or why it could not run.
        before = {event: len(cls.lab.events(event)) for event in ("web-request", "web-answer")}
        cls.dom, cls.browser_problem = cls.run_browser()
        # The browser is done; the printer's last report lines may still be on their way.
        cls.lab.wait_for_events("web-answer", before["web-answer"] + len(PAGE_RESOURCES), 2)
        cls.browser_requests = [f for _, _, f in cls.lab.events("web-request")[before["web-request"]:]]
        cls.browser_answers = [f for _, _, f in cls.lab.events("web-answer")[before["web-answer"]:]]

        # Half-closing clients: a whole head, then a head that only the
        # shutdown ends.
        cls.half_close = {}
        for label, request in (
                ("whole head", b"GET /large?bytes=%d HTTP/1.1\r\nHost: printer\r\n\r\n" % LARGE_BYTES),
                ("head ended by the shutdown", b"GET /large?bytes=%d HTTP/1.1\r\nHost: printer\r\n"
                 % (LARGE_BYTES + 1))):
            try:
                cls.half_close[label] = exchange(cls.bridge_ns, "127.0.0.1", cls.port, request)
            except OSError as error:
                cls.half_close[label] = error

        # The printer stops: the bridge removes it and closes the tunnel. The
        # printer then comes back (without answering discovery, so that it is
        # not found again) to show that the tunnel, not the printer, refuses.
        cls.lab.signal(signal.SIGINT)
        cls.lab_status = cls.lab.wait_exit(10)
        cls.bridge.wait_for_texts(lambda texts: REMOVED in texts and CLOSED in texts, REMOVAL_TIMEOUT)
        cls.lab_again = Lab(cls.__name__, ["%s,name=%s,discovery=none" % (PRINTER_ADDRESS, PRINTER_NAME)],
                            prefix=prefix, label="lab again in " + printer_ns, web_port=80)
        if not cls.lab_again.wait_ready(1):
            raise AssertionError("the lab did not get ready again")
        cls.direct = exchange(cls.bridge_ns, PRINTER_ADDRESS, 80, b"GET / HTTP/1.1\r\nHost: printer\r\n\r\n")
        cls.after_close = cls.connect_after_close()
        time.sleep(0.5)  # a request that got through would be reported by now

        cls.stop = stop_and_measure(cls.bridge, signal.SIGINT)

    @classmethod
    def run_browser(cls):
        """(DOM dump, None), or (None, why the browser did not run)."""
        chromium = shutil.which("chromium")
        if chromium is None:
            return None, NO_CHROMIUM
        profile = tempfile.TemporaryDirectory(prefix="orvel-e2e-chromium-")
        try:
            result = subprocess.run(
                ["ip", "netns", "exec", cls.bridge_ns, chromium, "--headless", "--no-sandbox",
                 "--disable-gpu", "--disable-quic", "--no-first-run", "--disable-background-networking",
                 "--disable-component-update", "--disable-sync", "--user-data-dir=" + profile.name,
                 "--dump-dom", "http://127.0.0.1:%d/" % cls.port],
                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                text=True, errors="backslashreplace", timeout=60)
        except subprocess.TimeoutExpired:
            return None, "chromium did not finish within 60 s"
        finally:
            profile.cleanup()
        if result.returncode != 0 or not result.stdout:
            return None, "chromium failed (status %d): %s" % (result.returncode, result.stderr[-2000:])
        return result.stdout, None

    @classmethod
    def connect_after_close(cls):
        """'refused', 'closed' (EOF or reset within CLOSE_BOUND), or what happened instead."""
        try:
            sock = connect_in(cls.bridge_ns, ("127.0.0.1", cls.port), CLOSE_BOUND)
        except ConnectionRefusedError:
            return "refused"
        with sock:
            started = time.monotonic()
            try:
                sock.sendall(b"GET / HTTP/1.1\r\nHost: printer\r\n\r\n")
                data = sock.recv(4096)
            except ConnectionResetError:
                return "closed"
            except socket.timeout:
                return "still open after %.1f s" % CLOSE_BOUND
            if data:
                return "answered %r" % data[:60]
            return "closed" if time.monotonic() - started <= CLOSE_BOUND else "closed late"

    def test_tunnel_opened_on_port_80_after_the_printer_was_found(self):
        texts = self.bridge.texts()
        self.assertIn(ADDED, texts)
        opened = [t for t in texts if OPENED.match(t)]
        self.assertEqual(opened, ["Printer's tunnel opened on port 80"],
                         "port 80 is free in the bridge's namespace")
        self.assertLess(texts.index(ADDED), texts.index(opened[0]))

    def test_browser_loads_the_page_through_the_tunnel(self):
        if self.browser_problem == NO_CHROMIUM:
            self.skipTest(self.browser_problem)
        self.assertIsNone(self.browser_problem)
        self.assertIn("<h1>%s</h1>" % PRINTER_NAME, self.dom, "the printer's page")
        self.assertIn("Address: %s" % PRINTER_ADDRESS, self.dom)
        self.assertIn(PAGE_CHECK, self.dom, "every image loaded and the stylesheet applied")

        paths = [f.get("path") for f in self.browser_requests]
        for path in PAGE_RESOURCES:
            self.assertIn(path, paths, "the printer was asked for " + path)
        sources = [f.get("from", "") for f in self.browser_requests]
        self.assertEqual({host_of(s) for s in sources}, {BRIDGE_ADDRESS},
                         "every request came through the bridge")
        self.assertEqual(len(set(sources)), len(sources), "one printer connection per request")
        answered = [(f.get("path"), f.get("status"), f.get("sent")) for f in self.browser_answers]
        for path in PAGE_RESOURCES:
            self.assertIn((path, "200", "all"), answered, "the printer answered " + path)

    def test_half_closed_client_still_gets_the_whole_answer(self):
        for label, size in (("whole head", LARGE_BYTES), ("head ended by the shutdown", LARGE_BYTES + 1)):
            with self.subTest(label):
                result = self.half_close[label]
                self.assertNotIsInstance(result, OSError, "the exchange through the tunnel")
                status, headers, body, first = result
                self.assertEqual(status, 200)
                self.assertEqual(headers.get("content-length"), str(size))
                self.assertEqual(len(body), size, "bytes of the answer")
                difference = first_difference(large_pattern(size), body)
                self.assertIsNone(difference, "every byte as the printer sent it")
                self.assertIsNotNone(first)
                self.assertLess(first, HEAD_WAIT_BOUND, "the shutdown reached the printer at once")
                answers = self.lab.events("web-answer", path="/large?bytes=%d" % size)
                self.assertEqual(len(answers), 1, "one request reached the printer")
                self.assertEqual(host_of(answers[0][2].get("from", "")), BRIDGE_ADDRESS)
                self.assertEqual(answers[0][2].get("sent"), "all")

    def test_tunnel_closes_when_the_printer_is_removed(self):
        self.assertEqual(self.lab_status, 0, "the lab stopped")
        texts = self.bridge.texts()
        self.assertEqual(texts.count(REMOVED), 1)
        self.assertEqual(texts.count(CLOSED), 1)
        self.assertLess(texts.index(REMOVED), texts.index(CLOSED))
        self.assertEqual(self.direct[0], 200, "the printer answers on port 80 again")
        self.assertIn(self.after_close, ("refused", "closed"), "a new connection to the tunnel port")
        reached = [f for _, _, f in self.lab_again.events("web-request")
                   if host_of(f.get("from", "")) == BRIDGE_ADDRESS]
        self.assertEqual(len(reached), 1, "only the direct request reached the printer")

    def test_stopped(self):
        self.assert_stopped(self.stop)


if __name__ == "__main__":
    sys.exit(main(sys.modules[__name__], sys.argv[1:]))
