#!/usr/bin/env python3
"""A gateway bridge and its slave across real network namespaces.

Usage: test_gateway_netns.py [TestClass[.test_method] ...]

The programs come from the environment: ORVEL_BRIDGE_CONSOLE (the bridge)
and ORVEL_BRIDGE_LAB (checked like the other namespace tests, not started).
Each test class makes its own network namespaces (`ip netns`, names carry
this process's id) joined by a veth pair on a private subnet that exists
only inside them (10.231.4.0/24, 10.231.5.0/24). A stand-in for the WVT
server listens on 127.0.0.1 inside the gateway's namespace, where only the
gateway reaches it; the slave looks for the server at the same address in
its own namespace, where nothing listens. The test process makes its
sockets inside the namespaces (tools/e2e/nssocket.py) and checks every byte
that crosses the gateway. The namespaces are deleted at the end of every
class, also after a failure. Needs root and iproute2; without them every
test is skipped.

Exit status: 0 when the tests ran and passed, 1 on a failure, 77 when every
test was skipped (CTest's SKIP_RETURN_CODE).
"""

import os
import re
import signal
import socket
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "e2e"))
from bridgeharness import main  # noqa: E402
from netns import NetnsCase, ip, require_namespaces  # noqa: E402
from nssocket import (connect_in, first_difference, pattern, receive_exactly,  # noqa: E402
                      receive_to_end, socket_in)

GATEWAY_PORT = 52701
BRIDGES_PORT = 9102
# Every socket operation of the test and of the stand-in server ends within this.
IO_TIMEOUT = 20.0
# Start-up lines and the first discovery pass.
LOG_TIMEOUT = 15.0
# A slave connection that the gateway cannot relay is closed within this.
CLOSE_BOUND = 3.0
# A discovery pass ends at most this long after it began (requests at 0, 3, 6, 9, 12 s).
PASS_SECONDS = 13.5

VENDOR_TAG = b"Kestova\x00"
PRINTERS_REQUEST = VENDOR_TAG + b"WhoRU\x00\x00\x00" + bytes(48)
BRIDGE_RESPONSE = VENDOR_TAG + b"Bridge\x00\x00"
GUID = r"[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}"
SLAVE_ADDED = re.compile(r"^Slave '(%s)' added \((.*)\)$" % GUID)
HEADER_LIMIT = 128
TUNNEL_FAILED = "Failed to create gateway's tunnel (server connection failed)"
SLAVE_PRINTER_NAME = "Slave\\x20desk"  # as the lab's report writes it
BLACK_HOLE_NETWORK = "10.231.13.0/24"
IP_TRANSPARENT = 19  # Linux: send from an address that is not the host's (needs CAP_NET_ADMIN)


def setUpModule():
    require_namespaces()


class StandInServer:
    """Stands in for the WVT server: a TCP listener on 127.0.0.1 inside a
    namespace, one thread per accepted connection.

    A connection begins with one header line that says what to do:
    - "both NAME SIZE": read SIZE bytes of pattern(NAME/up) while sending
      SIZE bytes of pattern(NAME/down) at the same time, then close;
    - "answer NAME REQUEST ANSWER": read REQUEST bytes of pattern(NAME/request)
      and then the end of the stream, and only then send ANSWER bytes of
      pattern(NAME/answer) and close.
    A connection that ends before its first byte is a bridge's reachability
    test; it is counted in `tests` and closed (`accepted` counts every
    connection). The outcome of each named session (None when every byte
    was right, else a description) and its peer are kept in `sessions`.
    """

    def __init__(self, namespace):
        self.listener = socket_in(namespace)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(32)
        self.listener.settimeout(0.2)
        self.port = self.listener.getsockname()[1]
        self.condition = threading.Condition()
        self.accepted = 0
        self.tests = 0
        self.sessions = {}  # name -> list of (peer address, outcome)
        self.stopping = threading.Event()
        self.threads = []
        self.acceptor = threading.Thread(target=self._accept, name="stand-in server", daemon=True)
        self.acceptor.start()

    def stop(self):
        """Stops listening (new connections are refused) and waits for the sessions."""
        if self.stopping.is_set():
            return
        self.stopping.set()
        self.acceptor.join()
        self.listener.close()
        for thread in self.threads:
            thread.join(IO_TIMEOUT)

    def wait_tests(self, count, timeout):
        """Whether `count` reachability tests came within the time-out."""
        with self.condition:
            return self.condition.wait_for(lambda: self.tests >= count, timeout)

    def wait_session(self, name, timeout=IO_TIMEOUT):
        """The (peer, outcome) pairs of the sessions with this name, once there is one."""
        with self.condition:
            self.condition.wait_for(lambda: name in self.sessions, timeout)
            return list(self.sessions.get(name, []))

    def _accept(self):
        while not self.stopping.is_set():
            try:
                connection, peer = self.listener.accept()
            except socket.timeout:
                continue
            with self.condition:
                self.accepted += 1
            thread = threading.Thread(target=self._serve, args=(connection, peer), daemon=True)
            self.threads.append(thread)
            thread.start()

    def _serve(self, connection, peer):
        with connection:
            connection.settimeout(IO_TIMEOUT)
            try:
                header = self._read_header(connection)
            except OSError:
                header = None
            if not header:
                with self.condition:
                    self.tests += 1
                    self.condition.notify_all()
                return
            words = header.split()
            name = words[1] if len(words) > 1 else header
            try:
                if words[0] == "both" and len(words) == 3:
                    outcome = self._both(connection, name, int(words[2]))
                elif words[0] == "answer" and len(words) == 4:
                    outcome = self._answer(connection, name, int(words[2]), int(words[3]))
                else:
                    outcome = "unknown header %r" % header
            except (OSError, ValueError) as error:
                outcome = "%s: %s" % (type(error).__name__, error)
            with self.condition:
                self.sessions.setdefault(name, []).append((peer[0], outcome))
                self.condition.notify_all()

    @staticmethod
    def _read_header(connection):
        """The first line without its line feed; '' when the stream ended before any byte."""
        data = bytearray()
        while len(data) < HEADER_LIMIT:
            byte = connection.recv(1)
            if not byte:
                break
            if byte == b"\n":
                return data.decode("ascii", "replace")
            data += byte
        return data.decode("ascii", "replace") and "unterminated header %r" % bytes(data)

    @staticmethod
    def _both(connection, name, size):
        sent = {}

        def send():
            try:
                connection.sendall(pattern(name + "/down", size))
                sent["done"] = True
            except OSError as error:
                sent["error"] = error

        sender = threading.Thread(target=send, daemon=True)
        sender.start()
        received = receive_exactly(connection, size)
        sender.join(IO_TIMEOUT)
        difference = first_difference(pattern(name + "/up", size), received)
        if difference:
            return "from the client: " + difference
        if "done" not in sent:
            return "sending to the client failed: %s" % sent.get("error", "still sending")
        return None

    @staticmethod
    def _answer(connection, name, request_size, answer_size):
        request = receive_to_end(connection, request_size)
        difference = first_difference(pattern(name + "/request", request_size), request)
        if difference:
            return "request: " + difference
        connection.sendall(pattern(name + "/answer", answer_size))
        return None


class Client:
    """One connection from a namespace to the gateway, run on a thread of its own."""

    def __init__(self, namespace, address, job):
        self.namespace, self.address, self.job = namespace, address, job
        self.problem = "did not finish"
        self.thread = threading.Thread(target=self._run, daemon=True)

    def _run(self):
        try:
            with connect_in(self.namespace, self.address, IO_TIMEOUT) as connection:
                self.problem = self.job(connection)
        except OSError as error:
            self.problem = "%s: %s" % (type(error).__name__, error)

    def start(self):
        self.thread.start()
        return self

    def result(self):
        self.thread.join(3 * IO_TIMEOUT)
        return self.problem


def both_ways(name, size):
    """A job that sends pattern(name/up) while it receives pattern(name/down);
    returns None when the whole answer and then the end of the stream came."""

    def job(connection):
        failure = {}

        def send():
            try:
                connection.sendall(("both %s %d\n" % (name, size)).encode("ascii"))
                connection.sendall(pattern(name + "/up", size))
            except OSError as error:
                failure["send"] = error

        sender = threading.Thread(target=send, daemon=True)
        sender.start()
        received = receive_exactly(connection, size)
        trailing = receive_to_end(connection, 0) if len(received) == size else b""
        sender.join(IO_TIMEOUT)
        if "send" in failure:
            return "sending to the gateway failed: %s" % failure["send"]
        difference = first_difference(pattern(name + "/down", size), received)
        if difference:
            return "from the server: " + difference
        if trailing:
            return "bytes after the server's %d: %r..." % (size, trailing[:16])
        return None

    return job


def request_then_answer(name, request_size, answer_size):
    """A job that sends a request, shuts its writing half and reads the answer to the end."""

    def job(connection):
        connection.sendall(("answer %s %d %d\n" % (name, request_size, answer_size)).encode("ascii"))
        connection.sendall(pattern(name + "/request", request_size))
        connection.shutdown(socket.SHUT_WR)
        answer = receive_to_end(connection, answer_size)
        difference = first_difference(pattern(name + "/answer", answer_size), answer)
        return None if difference is None else "answer: " + difference

    return job


class TwoBridges(NetnsCase):
    """A test class with two bridges, each with a home folder of its own."""

    @classmethod
    def make_home(cls, role):
        path = os.path.join(cls.home, role)
        os.makedirs(path, exist_ok=True)
        return path


class GatewayAndSlave(TwoBridges):
    """Two bridges on one subnet: the one that reaches the server becomes the
    gateway, the other its slave, and the gateway relays connections to the server."""

    GATEWAY = "10.231.4.1"
    SLAVE = "10.231.4.2"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.gateway_ns = cls.network.namespace("gateway")
        cls.slave_ns = cls.network.namespace("slave")
        cls.network.link(cls.gateway_ns, cls.GATEWAY + "/24", cls.slave_ns, [cls.SLAVE + "/24"])
        cls.server = StandInServer(cls.gateway_ns)
        cls.addClassCleanup(cls.server.stop)
        server = ["--server-address", "127.0.0.1", "--server-port", str(cls.server.port)]
        # The slave first, so that its responder runs when the gateway's first pass asks.
        cls.slave, _ = cls.start_bridge(cls.slave_ns, server, label="slave",
                                        home=cls.make_home("slave"))
        cls.slave.wait_for_text("Discovery responder started", LOG_TIMEOUT)
        cls.gateway, _ = cls.start_bridge(cls.gateway_ns, server + ["--gateway-port", str(GATEWAY_PORT)],
                                          label="gateway", home=cls.make_home("gateway"))
        cls.gateway.wait_for_text("Gateway started on port %d" % GATEWAY_PORT, LOG_TIMEOUT)
        cls.pass_began = cls.gateway.wait_for_text("Broadcast via '%s'" % cls.GATEWAY, LOG_TIMEOUT)
        cls.slave.wait_for_text("Gateway '%s:%d' added" % (cls.GATEWAY, GATEWAY_PORT), LOG_TIMEOUT)
        cls.gateway.wait_for_pattern(SLAVE_ADDED, LOG_TIMEOUT)

    def gateway_address(self):
        return (self.GATEWAY, GATEWAY_PORT)

    def slave_guid(self):
        """The GUID that the slave's responder announces: it answers a printers
        request on its port as well, and such a request registers nothing."""
        with socket_in(self.slave_ns, socket.SOCK_DGRAM) as probe:
            probe.settimeout(5.0)
            probe.sendto(PRINTERS_REQUEST, (self.SLAVE, BRIDGES_PORT))
            answer, _ = probe.recvfrom(4096)
        self.assertEqual(answer[:16], BRIDGE_RESPONSE, "header of the slave's bridge response")
        match = re.fullmatch(r"guid=(%s)" % GUID, answer[16:].decode("ascii", "replace"))
        self.assertIsNotNone(match, "text of the slave's bridge response: %r" % answer[16:])
        return match.group(1)

    def test_modes_and_mutual_registration(self):
        self.assertIsNotNone(self.pass_began, "the gateway's discovery pass began")
        # The slave answers every request of the pass; still each side registers the other once.
        time.sleep(max(0.0, self.pass_began + PASS_SECONDS - time.monotonic()))
        gateway, slave = self.gateway.texts(), self.slave.texts()
        self.assertIn("Gateway started on port %d" % GATEWAY_PORT, gateway)
        self.assertNotIn("Discovery responder started", gateway)
        self.assertIn("Discovery responder started", slave)
        self.assertEqual([t for t in slave if t.startswith("Gateway started")], [], "the slave runs no gateway")
        self.assertEqual(slave.count("Gateway '%s:%d' added" % (self.GATEWAY, GATEWAY_PORT)), 1,
                         "the slave's responder registered the gateway once")
        self.assertEqual([t for t in slave if t.startswith("Gateway '")],
                         ["Gateway '%s:%d' added" % (self.GATEWAY, GATEWAY_PORT)],
                         "the slave knows no other gateway")
        slaves = [SLAVE_ADDED.match(t).groups() for t in gateway if SLAVE_ADDED.match(t)]
        self.assertEqual(slaves, [(self.slave_guid(), self.SLAVE)],
                         "the gateway registered the slave once, by its GUID and address")
        self.assertEqual([level for _, level, text in self.gateway.log() if SLAVE_ADDED.match(text)],
                         ["DEBUG"])
        # The slave's own way to the server is closed: only the gateway leads there.
        with self.assertRaises(OSError):
            connect_in(self.slave_ns, ("127.0.0.1", self.server.port), 2.0).close()

    def test_10_mib_each_way_at_once(self):
        size = 10 << 20
        accepted = self.server.accepted
        client = Client(self.slave_ns, self.gateway_address(), both_ways("large", size)).start()
        self.assertIsNone(client.result(), "at the client in the slave's namespace")
        sessions = self.server.wait_session("large")
        self.assertEqual(sessions, [("127.0.0.1", None)],
                         "a connection from the gateway to the server, every byte right")
        self.assertEqual(self.server.accepted - accepted, 1, "server connections for one slave connection")

    def test_two_connections_at_once_stay_apart(self):
        size = 3 << 20
        names = ("first", "second")
        accepted = self.server.accepted
        clients = [Client(self.slave_ns, self.gateway_address(), both_ways(name, size)).start()
                   for name in names]
        for name, client in zip(names, clients):
            with self.subTest(connection=name):
                self.assertIsNone(client.result(), "at the client")
                self.assertEqual(self.server.wait_session(name), [("127.0.0.1", None)], "at the server")
        self.assertEqual(self.server.accepted - accepted, 2, "server connections for two slave connections")

    def test_half_close_passed_on(self):
        request_size, answer_size = 200000, (3 << 19) + 12345
        client = Client(self.slave_ns, self.gateway_address(),
                        request_then_answer("half", request_size, answer_size)).start()
        self.assertIsNone(client.result(),
                          "the client shut its writing half and must still get the whole answer")
        self.assertEqual(self.server.wait_session("half"), [("127.0.0.1", None)],
                         "the server read the whole request up to the end of the stream")


class SlavePrinterSession(TwoBridges):
    """A slave bridge's printer registered at the simulated WVT server through
    the gateway bridge: the lab (printer and server) runs in the gateway's
    namespace, its server on 127.0.0.1 where only the gateway reaches it, its
    printer on the shared subnet where only the slave polls it."""

    GATEWAY = "10.231.11.1"
    SLAVE = "10.231.11.2"
    PRINTER = "10.231.11.10"
    NAME = "Slave desk"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.gateway_ns = cls.network.namespace("gateway")
        cls.slave_ns = cls.network.namespace("slave")
        cls.network.link(cls.slave_ns, cls.SLAVE + "/24", cls.gateway_ns, [cls.GATEWAY + "/24", cls.PRINTER + "/24"])
        cls.lab = cls.start_lab(cls.gateway_ns, ["%s,discovery=none,name=%s,status=Slave ready" % (cls.PRINTER, cls.NAME)],
                                server="127.0.0.1:0,keepalive=2,password-version=-1")
        port = cls.lab.server_port()
        server = ["--server-address", "127.0.0.1", "--server-port", str(port)]
        cls.slave, _ = cls.start_bridge(cls.slave_ns, server + ["--static-printers", cls.PRINTER], label="slave",
                                        home=cls.make_home("slave"))
        cls.slave.wait_for_text("Discovery responder started", LOG_TIMEOUT)
        cls.gateway, _ = cls.start_bridge(cls.gateway_ns, server + ["--gateway-port", str(GATEWAY_PORT)],
                                          label="gateway", home=cls.make_home("gateway"))
        # The slave's first session found no gateway yet; the next poll, 10 s later, finds it.
        cls.lab.wait_for_events("server-reply", 2, 45, name=SLAVE_PRINTER_NAME)
        cls.stopped_at = time.monotonic()
        for bridge in (cls.slave, cls.gateway):
            bridge.signal(signal.SIGINT)
            bridge.wait_exit(10)

    def test_registered_through_the_gateway(self):
        registrations = self.lab.events("server-register", name=SLAVE_PRINTER_NAME)
        self.assertEqual(len(registrations), 1, "one session of the slave's printer")
        line = registrations[0][2]
        self.assertEqual((line["valid"], line["status"], line["first-bytes"]), ("yes", "Slave\\x20ready", "188"))
        session = self.lab.events("server-session", session=line["session"])[0][2]
        self.assertEqual(session["from"].rsplit(":", 1)[0], "127.0.0.1",
                         "the server sees the connection the gateway made in its own namespace")
        # The gateway polls no printer: every session at the server is relayed.
        self.assertEqual(len(self.lab.events("server-session")), 1)
        self.assertIn("Printer '%s' connected to gateway" % self.NAME, self.slave.texts())
        self.assertNotIn("Printer '%s' connected to gateway" % self.NAME, self.gateway.texts())
        self.assertEqual([p for _, _, p in self.lab.events("status-connect")
                          if p["from"].rsplit(":", 1)[0] != self.SLAVE], [], "only the slave polls the printer")

    def test_keepalives_answered_with_the_slave_printers_status(self):
        replies = [f for when, _, f in self.lab.events("server-reply", name=SLAVE_PRINTER_NAME)
                   if when < self.stopped_at]
        self.assertGreaterEqual(len(replies), 2)
        self.assertEqual({(r["type"], r["expected"], r["status"], r["echo"]) for r in replies},
                         {("4", "4", "Slave\\x20ready", "ok")})


class PoisonedGateways(TwoBridges):
    """A slave bridge that has heard 20 gateway announcements from addresses
    that drop everything before it hears the real gateway's still registers
    its printer through the real gateway, and keeps the session. The false
    announcements come from a third namespace, which sends them from
    addresses it does not have; the slave's route to those addresses leads
    to that namespace, which does not forward and so drops every packet: a
    connection to them hangs in its handshake as to a host that ignores SYNs."""

    GATEWAY = "10.231.12.1"
    SLAVE = "10.231.12.2"
    PRINTER = "10.231.12.10"
    ANNOUNCER = "10.231.14.1"
    SLAVE_TO_ANNOUNCER = "10.231.14.2"
    BLACK_HOLES = ["10.231.13.%d" % host for host in range(1, 21)]
    NAME = "Poisoned desk"
    REPORT_NAME = "Poisoned\\x20desk"
    # From the real gateway's announcement to the printer's registration.
    REGISTER_BOUND = 60.0
    # How long the session must then go on.
    KEEP_SECONDS = 20.0

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.gateway_ns = cls.network.namespace("gateway")
        cls.slave_ns = cls.network.namespace("slave")
        cls.announcer_ns = cls.network.namespace("announcer")
        cls.network.link(cls.slave_ns, cls.SLAVE + "/24", cls.gateway_ns, [cls.GATEWAY + "/24", cls.PRINTER + "/24"])
        cls.network.link(cls.slave_ns, cls.SLAVE_TO_ANNOUNCER + "/24", cls.announcer_ns, [cls.ANNOUNCER + "/24"])
        # The announcer does not forward: what the slave sends it for the
        # false gateways' addresses is dropped without a word.
        ip("-n", cls.slave_ns, "route", "add", BLACK_HOLE_NETWORK, "via", cls.ANNOUNCER)

        cls.lab = cls.start_lab(cls.gateway_ns, ["%s,discovery=none,name=%s,status=Ready" % (cls.PRINTER, cls.NAME)],
                                server="127.0.0.1:0,keepalive=2,password-version=-1")
        server = ["--server-address", "127.0.0.1", "--server-port", str(cls.lab.server_port())]
        cls.slave, _ = cls.start_bridge(cls.slave_ns, server + ["--static-printers", cls.PRINTER], label="slave",
                                        home=cls.make_home("slave"))
        cls.slave.wait_for_text("Discovery responder started", LOG_TIMEOUT)
        for address in cls.BLACK_HOLES:
            with socket_in(cls.announcer_ns, socket.SOCK_DGRAM) as announcer:
                # Sent from an address the announcer does not have.
                announcer.setsockopt(socket.IPPROTO_IP, IP_TRANSPARENT, 1)
                announcer.bind((address, 0))
                request = VENDOR_TAG + b"WhoRU\x00\x00\x00" + ("guid=poison-%s\ngateway_port=%d" % (
                    address, GATEWAY_PORT)).encode("ascii")
                announcer.sendto(request, (cls.SLAVE_TO_ANNOUNCER, BRIDGES_PORT))
        cls.poisoned = cls.slave.wait_for_text("Gateway '%s:%d' added" % (cls.BLACK_HOLES[-1], GATEWAY_PORT),
                                               LOG_TIMEOUT)

        cls.gateway, _ = cls.start_bridge(cls.gateway_ns, server + ["--gateway-port", str(GATEWAY_PORT)],
                                          label="gateway", home=cls.make_home("gateway"))
        cls.announced = cls.slave.wait_for_text("Gateway '%s:%d' added" % (cls.GATEWAY, GATEWAY_PORT),
                                                LOG_TIMEOUT + PASS_SECONDS)
        registered = cls.lab.wait_for_events("server-register", 1, cls.REGISTER_BOUND + 5, name=cls.REPORT_NAME)
        cls.registered = registered[0][0] if registered else None
        if cls.registered is not None:
            time.sleep(cls.KEEP_SECONDS)
        cls.kept_until = time.monotonic()
        for bridge in (cls.slave, cls.gateway):
            bridge.signal(signal.SIGINT)
            bridge.wait_exit(10)

    def test_registered_through_the_real_gateway_in_time_and_kept(self):
        self.assertIsNotNone(self.poisoned, "the slave took the false announcements")
        self.assertIsNotNone(self.announced, "the slave heard the real gateway")
        self.assertIsNotNone(self.registered, "the printer was registered")
        self.assertLessEqual(self.registered - self.announced, self.REGISTER_BOUND,
                             "seconds from the real gateway's announcement to the registration")
        registrations = self.lab.events("server-register", name=self.REPORT_NAME)
        self.assertEqual(len(registrations), 1, "one session, kept")
        session = registrations[0][2]["session"]
        replies = [when for when, _, fields in self.lab.events("server-reply", session=session)]
        self.assertGreaterEqual(len(replies), 5, "keep-alives answered on the session")
        self.assertGreaterEqual(max(replies), self.kept_until - 5.0, "still answered at the end")
        self.assertIn("Printer '%s' connected to gateway" % self.NAME, self.slave.texts())
        # The table is bounded: of the announced addresses (the false ones,
        # and each address the real gateway's requests come from) at most 16
        # are known at once.
        added = [t for t in self.slave.texts() if t.startswith("Gateway '") and t.endswith("' added")]
        removed = [t for t in self.slave.texts() if t.startswith("Gateway '") and t.endswith("' removed")]
        self.assertEqual(len([t for t in added if t.startswith("Gateway '10.231.13.")]), 20)
        self.assertGreaterEqual(len(removed), len(added) - 16, "entries forgotten to keep the table at 16")


class ServerGone(NetnsCase):
    """A gateway whose server stops listening drops the connection it cannot relay."""

    GATEWAY = "10.231.5.1"
    CLIENT = "10.231.5.2"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.gateway_ns = cls.network.namespace("gateway")
        cls.client_ns = cls.network.namespace("client")
        cls.network.link(cls.gateway_ns, cls.GATEWAY + "/24", cls.client_ns, [cls.CLIENT + "/24"])
        cls.server = StandInServer(cls.gateway_ns)
        cls.addClassCleanup(cls.server.stop)
        cls.gateway, _ = cls.start_bridge(
            cls.gateway_ns, ["--server-address", "127.0.0.1", "--server-port", str(cls.server.port),
                             "--gateway-port", str(GATEWAY_PORT)], label="gateway")
        cls.started = cls.gateway.wait_for_text("Gateway started on port %d" % GATEWAY_PORT, LOG_TIMEOUT)
        # The test connection that made it a gateway is served before the server goes.
        cls.server.wait_tests(1, LOG_TIMEOUT)
        cls.server.stop()
        cls.outcome = None
        if cls.started is not None:
            cls.outcome = cls.connect_and_wait()
            # Error lines go to the standard error stream.
            cls.gateway.wait_until(lambda _: TUNNEL_FAILED in cls.gateway.texts("err"), 5.0)

    @classmethod
    def connect_and_wait(cls):
        """(seconds until the gateway ended the connection, bytes received, error or None)."""
        with connect_in(cls.client_ns, (cls.GATEWAY, GATEWAY_PORT), IO_TIMEOUT) as connection:
            connected = time.monotonic()
            try:
                data = receive_to_end(connection, 1 << 16)
                error = None
            except ConnectionResetError as reset:
                data, error = b"", reset
            return time.monotonic() - connected, data, error

    def test_connection_dropped_at_once_with_one_error_line(self):
        self.assertIsNotNone(self.started, "the gateway started while the server listened")
        self.assertIsNotNone(self.outcome)
        seconds, data, _ = self.outcome
        self.assertEqual(data, b"", "nothing comes from a gateway without a server")
        self.assertLessEqual(seconds, CLOSE_BOUND, "seconds until the connection was closed")
        lines = self.gateway.log("out") + self.gateway.log("err")
        self.assertEqual([level for _, level, text in lines if text == TUNNEL_FAILED], ["ERROR"],
                         "one error line")
        self.assertGreaterEqual(self.server.tests, 1, "the gateway tested the server before")
        self.assertEqual(self.server.sessions, {}, "nothing was relayed")


if __name__ == "__main__":
    sys.exit(main(sys.modules[__name__], sys.argv[1:]))
