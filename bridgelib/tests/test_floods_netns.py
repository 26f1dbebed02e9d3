#!/usr/bin/env python3
"""Floods of connections and datagrams against orvel-bridge-console, end to
end, across network namespaces; three scenarios at once, each with its own
namespaces, lab and bridge, on a thread of its own:
- ConnectionFloods: 1000 connections opened (a few at a time: the bridge's
  listening backlog holds 5) on the gateway port and held, then 1000 on the
  printer-tunnel port, far above each listener's limit of connections
  served at once. While they are held the bridge's threads and descriptors
  stay within what the limit allows (two threads and six descriptors per
  relayed connection); a connection beyond the limit is closed at once; one
  warning per burst is logged; then 5000 on each opened and closed at once
  are all served. The printer's session goes on throughout, a new
  connection is served after each flood, and the bridge's threads and
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
# The bridge's limits of connections served at once: BridgeGateway::MaxConnections
# and RemotePrinterTunnel::MaxConnections.
GATEWAY_LIMIT = 128
TUNNEL_LIMIT = 32
# Connections held at once on each port, far above both limits.
HELD_FLOOD = 1000
# Each relayed connection holds two threads (the connection's, waiting for its
# relay, and the relay's) and six descriptors (its two sockets and the two
# pipes of its relay).
THREADS_PER_RELAY = 2
DESCRIPTORS_PER_RELAY = 6
# What the bridge may hold besides its relays while a flood runs: a discovery
# sweep (a thread and a socket per interface), the server test of a gateway
# connection, the accepted connection that is being closed, the printer's
# status and control connections.
THREAD_SLACK = 8
DESCRIPTOR_SLACK = 16
# Relays the quick floods leave running before they open more, well below
# both limits, so that every one of their connections is served.
QUICK_IN_FLIGHT = 12
# Without the limits a flood would need a descriptor for every relay; the
# test needs that many to show that the bridge does not use them.
OPEN_FILES_NEEDED = DESCRIPTORS_PER_RELAY * HELD_FLOOD + 256
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


def wait_census(pid, predicate, timeout, interval=0.25):
    """The first census that satisfies predicate within the time-out, else the last one."""
    deadline = time.monotonic() + timeout
    while True:
        figures = census(pid)
        if predicate(figures) or time.monotonic() > deadline:
            return figures
        time.sleep(interval)


class CensusPeak:
    """Samples a process's threads and descriptors on a thread of its own, as
    often as it can, while the `with` block runs; keeps the highest of each."""

    def __init__(self, pid):
        self.pid = pid
        self.threads = self.descriptors = 0
        self.samples = 0
        self._done = threading.Event()
        self._sampler = threading.Thread(target=self._sample)

    def _sample(self):
        while not self._done.is_set():
            threads, descriptors, _ = census(self.pid)
            self.threads = max(self.threads, threads)
            self.descriptors = max(self.descriptors, descriptors)
            self.samples += 1
            time.sleep(0.01)

    def __enter__(self):
        self._sampler.start()
        return self

    def __exit__(self, *exception):
        self._done.set()
        self._sampler.join()

    def __repr__(self):
        return "(%d, %d) in %d samples" % (self.threads, self.descriptors, self.samples)


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


def paced_flood(bridge, kind, namespace, address, count, drain):
    """Opens `count` connections to the bridge's listener a few at a time and
    closes each at once, each few once the bridge served the ones before (its
    listening backlog holds 5; a burst beyond it would wait for the kernel's
    retries) and drain() allows more. Returns how many the bridge served."""
    start = bridge.served[kind]
    for first in range(0, count, 5):
        batch = open_connections(namespace, address, min(5, count - first))
        close_all(batch)
        if bridge.wait_served(kind, start + first + len(batch), IO_TIMEOUT) < start + first + len(batch):
            break  # the bridge stopped serving: the caller's checks fail
        drain()
    return bridge.served[kind] - start


def held_flood(bridge, kind, namespace, address, count):
    """Opens `count` connections to the bridge's listener a few at a time and
    holds them; each few once the bridge has either served or closed each of
    the ones before. Returns the connections still open and how many the
    bridge closed at once, without serving them."""
    held, closed = [], 0
    for first in range(0, count, 5):
        served = bridge.served[kind]
        batch = open_connections(namespace, address, min(5, count - first))
        open_ones, ended = [], 0
        deadline = time.monotonic() + IO_TIMEOUT
        while True:
            ended_now = ended_connections(batch, 0.05)
            if bridge.served[kind] - served + len(ended_now) >= len(batch) or time.monotonic() > deadline:
                break
        closed += len(ended_now)
        for connection in batch:
            if connection in ended_now:
                connection.close()
            else:
                open_ones.append(connection)
        held += open_ones
    return held, closed


def ended_connections(connections, timeout):
    """The connections among these that the far side ended (end of stream or
    reset) within the time-out; bytes that came are read."""
    ended = []
    poller = select.poll()
    for connection in connections:
        poller.register(connection, select.POLLIN)
    for descriptor, _ in poller.poll(int(timeout * 1000)):
        connection = next(c for c in connections if c.fileno() == descriptor)
        try:
            while connection.recv(65536):
                pass
        except BlockingIOError:
            continue  # bytes, not yet the end
        except OSError:
            pass
        ended.append(connection)
    return ended


def close_all(connections):
    for connection in connections:
        connection.close()


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

        # Held connections on each port, far more than the listener's limit.
        # Those within it are relayed and held (the gateway's until the
        # server gives up on a silent connection after 30 s, the tunnel's
        # until the printer does after 10 s); the others are closed at once.
        self.floods = {}
        for kind, address, limit in (("gateway", gateway, GATEWAY_LIMIT), ("tunnel", tunnel, TUNNEL_LIMIT)):
            with CensusPeak(pid) as peak:
                held, closed = held_flood(self.bridge, kind, self.clients_ns, address, HELD_FLOOD)
            close_all(held)
            settled = wait_census(pid, lambda f: f[:2] == self.before[:2], SETTLE_SECONDS)
            served_before = self.bridge.served[kind]
            with connect_in(self.clients_ns, address, IO_TIMEOUT):
                served_after = self.bridge.wait_served(kind, served_before + 1, IO_TIMEOUT) - served_before
            self.floods[kind] = {"limit": limit, "held": len(held), "closed": closed, "peak": peak,
                                 "settled": settled, "served after": served_after}
        self.after_held = wait_census(pid, lambda f: f[:2] == self.before[:2], SETTLE_SECONDS)

        # Opened and closed at once: every connection is served, as long as
        # the relays in progress stay well below the limits.
        def drain():
            wait_census(pid, lambda f: f[0] <= self.before[0] + THREADS_PER_RELAY * QUICK_IN_FLIGHT + THREAD_SLACK,
                        IO_TIMEOUT, 0.01)

        self.gateway_quick = paced_flood(self.bridge, "gateway", self.clients_ns, gateway, FLOOD, drain)
        self.tunnel_quick = paced_flood(self.bridge, "tunnel", self.clients_ns, tunnel, FLOOD, drain)
        self.after = wait_census(pid, lambda f: f[:2] == self.before[:2], SETTLE_SECONDS)
        self.page_status = http_get(self.clients_ns, tunnel)
        self.until = time.monotonic()
        self.crashed = self.bridge.process.poll()
        self.stopped = stop_and_measure(self.bridge, signal.SIGINT)

    def check(self, test):
        test.assertIsNone(self.error, self.error)
        test.assertIsNone(self.crashed, "the bridge ran to the end")
        print("\nflood census (threads, descriptors, VmRSS KiB): before %r, held floods %r, after them %r, "
              "after the quick floods %r" % (self.before, self.floods, self.after_held, self.after))
        texts = [t for when, _, t in self.bridge.log() if when < self.until]
        ports = {"gateway": ("Gateway", self.GATEWAY_PORT), "tunnel": ("Printer's tunnel", self.TUNNEL_PORT)}
        for kind, flood in self.floods.items():
            limit, peak = flood["limit"], flood["peak"]
            served = HELD_FLOOD - flood["closed"]  # relayed, for a while at least
            with test.subTest(kind):
                test.assertEqual(flood["held"] + flood["closed"], HELD_FLOOD, "every connection opened")
                test.assertGreater(peak.samples, 10)
                test.assertLessEqual(peak.threads, self.before[0] + THREADS_PER_RELAY * limit + THREAD_SLACK,
                                     "threads within the limit of %d connections" % limit)
                test.assertLessEqual(peak.descriptors,
                                     self.before[1] + DESCRIPTORS_PER_RELAY * limit + DESCRIPTOR_SLACK,
                                     "descriptors within the limit of %d connections" % limit)
                test.assertGreaterEqual(peak.threads, self.before[0] + THREADS_PER_RELAY * limit,
                                        "connections relayed up to the limit")
                test.assertGreaterEqual(served, limit)
                test.assertGreater(flood["closed"], 0, "connections beyond the limit closed at once")
                # A new burst needs a place freed and filled again.
                warning = "%s on port %d reached its limit of %d connections, further connections are closed" % (
                    ports[kind] + (limit,))
                test.assertGreaterEqual(texts.count(warning), 1)
                test.assertLessEqual(texts.count(warning), 1 + served - limit, "one warning per burst")
                test.assertEqual(flood["settled"][:2], self.before[:2], "threads and descriptors after the flood")
                test.assertGreaterEqual(flood["served after"], 1, "a new connection served after the flood")
        test.assertNotIn("Gateway closed", texts)
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
