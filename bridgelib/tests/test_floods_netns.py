#!/usr/bin/env python3
"""Floods of connections and datagrams against orvel-bridge-console, end to
end, across network namespaces; three scenarios at once, each with its own
namespaces, lab and bridge, on a thread of its own:
- ConnectionFloods: 3000 connections opened (a few at a time, as the bridge
  serves them: its listening backlog holds 5) on the gateway port and left
  idle (see IDLE_FLOOD), then 3000 on the printer-tunnel port, then 5000 on
  each opened and closed at once. Every idle connection is served (the
  gateway's relays hold six descriptors each; every tunnel connection is
  ended towards the client once the printer gave it up); the printer's
  session goes on throughout; and afterwards the bridge's threads and
  descriptors come back to their count before the floods and its resident
  memory to near its level.
- DescriptorLimit: a bridge whose open-files limit is 96 gets 300 idle
  connections on its printer-tunnel port. Whether that alone leaves a
  connection waiting at the very moment no descriptor is free depends on
  how the bridge's threads are scheduled; so the test then lowers the
  running bridge's soft limit below the descriptors it holds and opens a
  few more connections. The listener pauses while no descriptor is left
  ("accept() failed temporarily") and never ends; once the limit is back
  and the flood is gone a new connection is served, and the printer's
  session goes on. (The gateway port is left out: there a connection that finds no
  descriptor for its server connection counts as a failed server test, and
  the bridge closes its gateway on purpose.)
- DatagramFlood: 100 000 datagrams of random bytes (some with the vendor
  tag and the request kind) on the discovery responder's UDP port 9102: the
  responder answers valid requests during the flood and every one after it.
Addresses lie in 10.231.60.0/24 to 10.231.63.0/24, inside the namespaces.

Usage: test_floods_netns.py [TestClass[.test_method] ...]
The programs come from the environment: ORVEL_BRIDGE_CONSOLE and
ORVEL_BRIDGE_LAB. Needs root and iproute2; without them every test is
skipped. Exit status: 0 passed, 1 failed, 77 all skipped.
"""

import errno
import os
import random
import resource
import select
import signal
import socket
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools", "e2e"))
from bridgeharness import START_TIMEOUT, STARTED, Bridge, main, parse_http_reply, stop_and_measure  # noqa: E402
import netns  # noqa: E402
from netns import NetnsCase, play_at_once, require_namespaces  # noqa: E402
from nssocket import connect_in, receive_to_end, run_in_namespace, socket_in  # noqa: E402

FLOOD = 5000
# Idle connections held at once on the gateway port, and on the printer-tunnel
# port (whose relays hold the client's side until it closes, even after the
# printer ended its own). Each relayed connection
# holds six descriptors (its two sockets and two wake-up pipes of its relay),
# so 5000 would need 30000, above a common hard limit of 20000 that a
# container's root may not raise; and a bridge out of descriptors takes the
# failed server connection for an unreachable server and closes its gateway
# on purpose.
DESCRIPTORS_PER_RELAY = 6
IDLE_FLOOD = 3000
OPEN_FILES_NEEDED = DESCRIPTORS_PER_RELAY * IDLE_FLOOD + 256
IO_TIMEOUT = 20.0
# Threads and descriptors must be back to their count before a flood within this.
SETTLE_SECONDS = 30.0
# Resident memory the bridge may keep after the floods (freed memory that
# glibc's allocator holds for reuse), above its level before them.
RSS_GROWTH_BOUND_KIB = 24 << 10
# The first discovery sweep ends about 13 s after the start; the next one
# begins 60 s after it.
FIRST_SWEEP_SECONDS = 14.0
VENDOR_TAG = b"Kestova\x00"
PRINTERS_REQUEST = VENDOR_TAG + b"WhoRU\x00\x00\x00" + bytes(48)
BRIDGE_RESPONSE = VENDOR_TAG + b"Bridge\x00\x00"
RESPONDER_PORT = 9102


def setUpModule():
    require_namespaces()
    # The labs and bridges started here inherit this process's limit (the
    # bridge raises its soft limit to the hard one).
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if hard != resource.RLIM_INFINITY and hard < OPEN_FILES_NEEDED:
        import unittest
        raise unittest.SkipTest("the open-files limit %d is below the %d the floods need" % (hard, OPEN_FILES_NEEDED))
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))


class CountingBridge(Bridge):
    """The bridge; counts, as they arrive, the log lines of the connections
    that its gateway and printer tunnel opened for accepted connections (a
    tunnel connection that found no descriptor for the printer's side is
    served too: it is closed with an error line)."""

    SERVED = {"gateway": ("succeeded (Server)",),
              "tunnel": ("succeeded (RemotePrinterTunnel - printer)",
                         "Failed to create printer's tunnel (status port connection failed)")}

    def __init__(self, *args, **kwargs):
        self.served = {kind: 0 for kind in self.SERVED}
        super().__init__(*args, **kwargs)

    def _read(self, stream, name):
        for line in stream:
            with self.condition:
                self.lines.append((time.monotonic(), name, line.rstrip("\n")))
                for kind, texts in self.SERVED.items():
                    if line.rstrip("\n").endswith(texts):
                        self.served[kind] += 1
                self.condition.notify_all()

    def wait_served(self, kind, count, timeout):
        with self.condition:
            self.condition.wait_for(lambda: self.served[kind] >= count, timeout)
            return self.served[kind]


def census(pid):
    """(threads, open descriptors, VmRSS in KiB) of a process."""
    values = {}
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            key, _, rest = line.partition(":")
            if key in ("Threads", "VmRSS"):
                values[key] = int(rest.split()[0])
    return values["Threads"], len(os.listdir("/proc/%d/fd" % pid)), values["VmRSS"]


def wait_census(pid, predicate, timeout):
    """The first census that satisfies predicate within the time-out, else the last one."""
    deadline = time.monotonic() + timeout
    while True:
        figures = census(pid)
        if predicate(figures) or time.monotonic() > deadline:
            return figures
        time.sleep(0.25)


def open_connections(namespace, address, count):
    """`count` TCP connections to address from inside the namespace, opened
    without waiting for each other; returns the connected sockets."""

    def open_all():
        pending, opened = {}, []
        poller = select.poll()
        for _ in range(count):
            connection = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            connection.setblocking(False)
            result = connection.connect_ex(address)
            if result == 0:
                opened.append(connection)
            elif result == errno.EINPROGRESS:
                pending[connection.fileno()] = connection
                poller.register(connection, select.POLLOUT)
            else:
                connection.close()
        deadline = time.monotonic() + IO_TIMEOUT
        while pending and time.monotonic() < deadline:
            for descriptor, _ in poller.poll(200):
                connection = pending.pop(descriptor)
                poller.unregister(descriptor)
                if connection.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR) == 0:
                    opened.append(connection)
                else:
                    connection.close()
        for connection in pending.values():
            connection.close()
        return opened

    return run_in_namespace(namespace, open_all)


def paced_flood(bridge, kind, namespace, address, count, keep):
    """Opens `count` connections to the bridge's listener a few at a time,
    each few once the bridge served the ones before (its listening backlog
    holds 5; a burst beyond it would wait for the kernel's retries); keeps
    them open or closes each at once. Returns the open connections and how
    many the bridge served."""
    kept = []
    start = bridge.served[kind]
    for first in range(0, count, 5):
        batch = open_connections(namespace, address, min(5, count - first))
        if keep:
            kept += batch
        else:
            close_all(batch)
        if bridge.wait_served(kind, start + first + len(batch), IO_TIMEOUT) < start + first + len(batch):
            break  # the bridge stopped serving: the caller's checks fail
    return kept, bridge.served[kind] - start


def close_all(connections):
    for connection in connections:
        connection.close()


def count_ended(connections, timeout):
    """How many connections the far side ended (end of stream or reset) within the time-out."""
    ended = 0
    pending = {c.fileno(): c for c in connections}
    poller = select.poll()
    for connection in connections:
        poller.register(connection, select.POLLIN)
    deadline = time.monotonic() + timeout
    while pending and time.monotonic() < deadline:
        for descriptor, _ in poller.poll(200):
            connection = pending.pop(descriptor)
            poller.unregister(descriptor)
            try:
                while connection.recv(65536):
                    pass
            except BlockingIOError:
                pending[descriptor] = connection  # bytes, not yet the end
                poller.register(connection, select.POLLIN)
                continue
            except OSError:
                pass
            ended += 1
    return ended


def http_get(namespace, address):
    with connect_in(namespace, address, IO_TIMEOUT) as connection:
        connection.sendall(b"GET / HTTP/1.1\r\nHost: printer\r\nConnection: close\r\n\r\n")
        return parse_http_reply(receive_to_end(connection, 1 << 20))[0]


class Scenario(netns.Scenario):
    """A scenario that also checks the session of a printer kept through it."""

    def replies(self, lab, name, since, until):
        return [when for when, _, f in lab.events("server-reply", name=name)
                if since <= when <= until and f["echo"] == "ok"]

    def check_session(self, test, lab, name, since, until):
        """The printer's one session answered keep-alives all along."""
        test.assertEqual(len(lab.events("server-register", name=name)), 1, "one session of %s" % name)
        test.assertEqual([f for when, _, f in lab.events("server-session-end", name=name) if when < until], [])
        replies = self.replies(lab, name, since, until)
        gaps = [b - a for a, b in zip([since] + replies, replies + [until])]
        test.assertLess(max(gaps), 10.0, "keep-alives of %s answered throughout" % name)


class ConnectionFloods(Scenario):
    PRINTER = "10.231.60.10"
    SERVER = "10.231.60.2"
    BRIDGE = "10.231.61.1"
    GATEWAY_PORT = 52712
    TUNNEL_PORT = 8081

    def prepare(self):
        network = self.case.network
        bridge_ns, lab_ns = network.namespace("flood-bridge"), network.namespace("flood-lab")
        self.clients_ns = network.namespace("flood-clients")
        network.link(bridge_ns, "10.231.60.1/24", lab_ns, [self.PRINTER + "/24", self.SERVER + "/24"])
        network.link(self.clients_ns, "10.231.61.2/24", bridge_ns, [self.BRIDGE + "/24"])
        self.lab = self.case.start_lab(lab_ns, ["%s,discovery=none,name=Steady" % self.PRINTER],
                                       server="%s:0,keepalive=2,password-version=-1" % self.SERVER, web_port=80)
        self.case.network.check_private(bridge_ns)
        self.bridge = CountingBridge(self.case.__name__, self.home("flood"),
                                     ["--log-level", "0", "--static-printers", self.PRINTER,
                                      "--server-address", self.SERVER, "--server-port", str(self.lab.server_port()),
                                      "--gateway-port", str(self.GATEWAY_PORT),
                                      "--printer-tunnel-port", str(self.TUNNEL_PORT)],
                                     prefix=["ip", "netns", "exec", bridge_ns], label="flood bridge")
        self.started = self.bridge.wait_for_text(STARTED, START_TIMEOUT)
        if self.started is None:
            raise AssertionError("the flood bridge did not start")

    def run(self):
        pid = self.bridge.process.pid
        for text in ("Gateway started on port %d" % self.GATEWAY_PORT,
                     "Printer's tunnel opened on port %d" % self.TUNNEL_PORT):
            if self.bridge.wait_for_text(text, 20) is None:
                raise AssertionError("no line %r" % text)
        if len(self.lab.wait_for_events("server-reply", 2, 30, name="Steady")) < 2:
            raise AssertionError("no session of Steady")
        time.sleep(max(0.0, self.started + FIRST_SWEEP_SECONDS - time.monotonic()))
        self.before = wait_census(pid, lambda f: False, 1.0)
        self.since = time.monotonic()
        gateway = (self.BRIDGE, self.GATEWAY_PORT)
        tunnel = (self.BRIDGE, self.TUNNEL_PORT)

        # Idle connections on the gateway port: each is relayed to the server
        # and holds a client and a server socket until the client closes.
        idle, self.gateway_served = paced_flood(self.bridge, "gateway", self.clients_ns, gateway, IDLE_FLOOD, True)
        self.gateway_opened = len(idle)
        self.gateway_peak = wait_census(pid, lambda f: f[1] >= self.before[1] + DESCRIPTORS_PER_RELAY * IDLE_FLOOD, 5)
        close_all(idle)
        self.after_gateway = wait_census(pid, lambda f: f[:2] == self.before[:2], SETTLE_SECONDS)

        # Idle connections on the printer-tunnel port: the printer gives up
        # waiting for a request after 10 s, and the bridge then ends each.
        idle, self.tunnel_served = paced_flood(self.bridge, "tunnel", self.clients_ns, tunnel, IDLE_FLOOD, True)
        self.tunnel_opened = len(idle)
        self.tunnel_peak = census(pid)
        self.tunnel_ended = count_ended(idle, 10 + IO_TIMEOUT)
        close_all(idle)
        self.after_tunnel = wait_census(pid, lambda f: f[:2] == self.before[:2], SETTLE_SECONDS)

        _, self.gateway_quick = paced_flood(self.bridge, "gateway", self.clients_ns, gateway, FLOOD, False)
        _, self.tunnel_quick = paced_flood(self.bridge, "tunnel", self.clients_ns, tunnel, FLOOD, False)
        self.after = wait_census(pid, lambda f: f[:2] == self.before[:2], SETTLE_SECONDS)
        self.page_status = http_get(self.clients_ns, tunnel)
        self.until = time.monotonic()
        self.crashed = self.bridge.process.poll()
        self.stopped = stop_and_measure(self.bridge, signal.SIGINT)

    def check(self, test):
        test.assertIsNone(self.error, self.error)
        test.assertIsNone(self.crashed, "the bridge ran to the end")
        print("\nflood census (threads, descriptors, VmRSS KiB): before %r, gateway peak %r, after it %r, "
              "tunnel %r, after it %r, after the quick floods %r" % (self.before, self.gateway_peak,
                                                                    self.after_gateway, self.tunnel_peak,
                                                                    self.after_tunnel, self.after))
        test.assertEqual(self.gateway_opened, IDLE_FLOOD)
        test.assertGreaterEqual(self.gateway_served, IDLE_FLOOD, "every idle gateway connection relayed to the server")
        test.assertGreaterEqual(self.gateway_peak[1], self.before[1] + 2 * IDLE_FLOOD,
                                "every idle gateway connection held (its two sockets at least)")
        test.assertNotIn("Gateway closed", [t for when, _, t in self.bridge.log() if when < self.until])
        test.assertEqual(self.after_gateway[:2], self.before[:2], "threads and descriptors after the gateway flood")
        test.assertEqual(self.tunnel_opened, IDLE_FLOOD)
        test.assertGreaterEqual(self.tunnel_served, IDLE_FLOOD, "every idle tunnel connection led to the printer")
        test.assertEqual(self.tunnel_ended, IDLE_FLOOD, "every idle tunnel connection served and ended by the bridge")
        test.assertEqual(self.after_tunnel[:2], self.before[:2], "threads and descriptors after the tunnel flood")
        test.assertGreaterEqual(min(self.gateway_quick, self.tunnel_quick), FLOOD,
                                "every connection of the quick floods served")
        test.assertEqual(self.after[:2], self.before[:2], "threads and descriptors after every flood")
        test.assertLessEqual(self.after[2] - self.before[2], RSS_GROWTH_BOUND_KIB, "resident memory after the floods")
        test.assertEqual(self.page_status, 200, "the tunnel still leads to the printer's page")
        self.check_session(test, self.lab, "Steady", self.since, self.until)
        test.assertEqual(self.stopped[2], 0)


class DescriptorLimit(Scenario):
    PRINTER = "10.231.62.10"
    SERVER = "10.231.62.2"
    BRIDGE = "10.231.62.1"
    TUNNEL_PORT = 8082
    LIMIT = 96
    CONNECTIONS = 300

    def prepare(self):
        network = self.case.network
        bridge_ns, self.lab_ns = network.namespace("emfile-bridge"), network.namespace("emfile-lab")
        network.link(bridge_ns, self.BRIDGE + "/24", self.lab_ns, [self.PRINTER + "/24", self.SERVER + "/24"])
        self.lab = self.case.start_lab(self.lab_ns, ["%s,discovery=none,name=Tight" % self.PRINTER],
                                       server="%s:0,keepalive=2,password-version=-1" % self.SERVER, web_port=80)
        # Soft and hard limit both: the bridge raises its soft limit to the hard one.
        self.bridge = Bridge(self.case.__name__, self.home("emfile"),
                             ["--log-level", "0", "--static-printers", self.PRINTER, "--server-address", self.SERVER,
                              "--server-port", str(self.lab.server_port()),
                              "--printer-tunnel-port", str(self.TUNNEL_PORT)],
                             prefix=["ip", "netns", "exec", bridge_ns, "prlimit", "--nofile=%d:%d" % (self.LIMIT,
                                                                                                      self.LIMIT)],
                             label="bridge with %d descriptors" % self.LIMIT)
        if self.bridge.wait_for_text(STARTED, START_TIMEOUT) is None:
            raise AssertionError("the bridge with few descriptors did not start")

    def run(self):
        pid = self.bridge.process.pid
        if len(self.lab.wait_for_events("server-reply", 2, 30, name="Tight")) < 2:
            raise AssertionError("no session of Tight")
        self.limit = resource.prlimit(pid, resource.RLIMIT_NOFILE)
        self.since = time.monotonic()
        flood = open_connections(self.lab_ns, (self.BRIDGE, self.TUNNEL_PORT), self.CONNECTIONS)
        self.opened = len(flood)
        # No descriptor number is free below 3: every accept now finds none
        # while the few connections below wait in the backlog.
        resource.prlimit(pid, resource.RLIMIT_NOFILE, (3, self.LIMIT))
        waiting = open_connections(self.lab_ns, (self.BRIDGE, self.TUNNEL_PORT), 3)
        self.paused = self.bridge.wait_for_texts(
            lambda texts: any(t.startswith("accept() failed temporarily: ") for t in texts), IO_TIMEOUT)
        time.sleep(1.0)
        resource.prlimit(pid, resource.RLIMIT_NOFILE, (self.LIMIT, self.LIMIT))
        time.sleep(2.0)
        close_all(flood + waiting)
        self.settled = wait_census(pid, lambda f: f[1] < self.LIMIT - 10, IO_TIMEOUT)
        self.page_status = http_get(self.lab_ns, (self.BRIDGE, self.TUNNEL_PORT))
        self.lab.wait_for_events("server-reply", len(self.lab.events("server-reply", name="Tight")) + 2, 10,
                                 name="Tight")
        self.until = time.monotonic()
        self.crashed = self.bridge.process.poll()
        self.stopped = stop_and_measure(self.bridge, signal.SIGINT)

    def check(self, test):
        test.assertIsNone(self.error, self.error)
        test.assertEqual(self.limit, (self.LIMIT, self.LIMIT))
        test.assertIsNone(self.crashed, "the bridge ran to the end")
        test.assertTrue(self.paused, "the descriptors ran out and a listener paused")
        # The stop closes the listener too: only the lines before it count.
        texts = [text for stream in ("out", "err") for when, _, text in self.bridge.log(stream) if when < self.until]
        test.assertEqual(self.opened, self.CONNECTIONS)
        test.assertNotIn("accept() failed", texts, "the listener did not give up")
        test.assertLess(self.settled[1], self.LIMIT - 10, "descriptors given back after the flood")
        test.assertEqual(self.page_status, 200, "a new tunnel connection served after the flood")
        replies = self.replies(self.lab, "Tight", self.since, self.until)
        test.assertTrue(replies and replies[-1] > self.until - 10, "Tight's keep-alives answered after the flood")
        test.assertEqual(len(self.lab.events("server-register", name="Tight")), 1, "Tight's one session went on")
        test.assertEqual(self.stopped[2], 0)


class DatagramFlood(Scenario):
    BRIDGE = "10.231.63.1"
    DATAGRAMS = 100000

    def prepare(self):
        network = self.case.network
        bridge_ns, self.clients_ns = network.namespace("udp-bridge"), network.namespace("udp-clients")
        network.link(self.clients_ns, "10.231.63.2/24", bridge_ns, [self.BRIDGE + "/24"])
        # No server: the bridge runs its discovery responder.
        self.bridge, _ = self.case.start_bridge(bridge_ns, ["--server-address", "127.0.0.1", "--server-port", "9"],
                                                label="responder bridge", home=self.home("udp"))

    def ask(self, probe, timeout):
        """Sends one printers request to the responder; whether its answer came within the time-out."""
        probe.sendto(PRINTERS_REQUEST, (self.BRIDGE, RESPONDER_PORT))
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            probe.settimeout(max(0.01, deadline - time.monotonic()))
            try:
                answer = probe.recv(4096)
            except socket.timeout:
                return False
            if answer[:16] == BRIDGE_RESPONSE:
                return True
        return False

    def run(self):
        if self.bridge.wait_for_text("Discovery responder started", 20) is None:
            raise AssertionError("no discovery responder")
        pid = self.bridge.process.pid
        with socket_in(self.clients_ns, socket.SOCK_DGRAM) as probe, \
                socket_in(self.clients_ns, socket.SOCK_DGRAM) as flooder:
            if not self.ask(probe, 5.0):
                raise AssertionError("the responder does not answer before the flood")
            time.sleep(1.0)
            self.before = census(pid)
            generator = random.Random(9102)
            done = threading.Event()
            asked = answered = 0

            def flood():
                for index in range(self.DATAGRAMS):
                    length = generator.randrange(1, 16) if index % 10 == 0 else generator.randrange(16, 1400)
                    datagram = generator.randbytes(length)
                    if index % 3 == 0 and length >= 16:
                        # The tag and the request kind, so that the rest is parsed.
                        datagram = VENDOR_TAG + b"WhoRU" + datagram[13:]
                    try:
                        flooder.sendto(datagram, (self.BRIDGE, RESPONDER_PORT))
                    except OSError:
                        pass
                done.set()

            sender = threading.Thread(target=flood)
            sender.start()
            while not done.is_set():
                asked += 1
                answered += self.ask(probe, 0.2)
            sender.join()
            self.during = (asked, answered)
            self.after_answers = sum(self.ask(probe, 2.0) for _ in range(20))
        self.after = wait_census(pid, lambda f: f[:2] == self.before[:2], 10)
        self.crashed = self.bridge.process.poll()
        self.stopped = stop_and_measure(self.bridge, signal.SIGINT)

    def check(self, test):
        test.assertIsNone(self.error, self.error)
        test.assertIsNone(self.crashed, "the bridge ran to the end")
        print("\ndatagram flood: %d of %d requests answered during it; census before %r, after %r"
              % (self.during[1], self.during[0], self.before, self.after))
        test.assertGreater(self.during[1], 0, "requests answered during the flood")
        test.assertEqual(self.after_answers, 20, "every request answered after the flood")
        test.assertEqual(self.after[:2], self.before[:2], "threads and descriptors")
        test.assertEqual(self.stopped[2], 0)


class Floods(NetnsCase):
    """The three scenarios, prepared one after the other and run at once."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.scenarios = play_at_once(cls, (ConnectionFloods, DescriptorLimit, DatagramFlood))

    def test_connection_floods(self):
        self.scenarios["ConnectionFloods"].check(self)

    def test_descriptor_limit(self):
        self.scenarios["DescriptorLimit"].check(self)

    def test_datagram_flood(self):
        self.scenarios["DatagramFlood"].check(self)


if __name__ == "__main__":
    sys.exit(main(sys.modules[__name__], sys.argv[1:]))
