#!/usr/bin/env python3
"""The server link over TLS ("server-tls"), end to end, across network
namespaces: orvel-bridge-console against the simulated WVT server of
orvel-bridge-lab behind a TLS endpoint (tools/e2e/tlsproxy.py, which
terminates TLS and relays the plain bytes to the lab's server and reports
every connection), with a certificate authority and certificates made for
the test.

Usage: test_tls_netns.py [TestClass[.test_method] ...]

- Session: the whole session over TLS (registration bytes as on a plain
  link, keep-alives, the password file delivered, a server tunnel carrying a
  web page); the stop while the session waits in a TLS read is prompt;
- Refusals: an expired certificate, one for another name and one from an
  unknown authority are each refused with their Warning line, and the
  endpoint receives no application byte;
- StopDuringHandshake: an endpoint that accepts and never answers; the stop
  is prompt;
- ThroughGateway: a slave's session through a gateway's relay, TLS end to
  end; the gateway's own server test uses TLS too.
Needs root, iproute2 and python3-cryptography; without them every test is skipped.

Exit status: 0 when the tests ran and passed, 1 on a failure, 77 when every
test was skipped (CTest's SKIP_RETURN_CODE).
"""

import os
import re
import signal
import struct
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
E2E = os.path.join(HERE, "..", "..", "tools", "e2e")
sys.path.insert(0, E2E)
from bridgeharness import Process, main, stop_and_measure, lab_escaped as escaped  # noqa: E402
from netns import NetnsCase, require_namespaces  # noqa: E402

NAME = "wvt.test"
POLL_SECONDS = 10.0
LOG_TIMEOUT = 20.0
PASSWORD_SIZE = 3000
TUNNEL_BYTES = 200000
PLATFORM = "%s (%s)" % (os.uname().sysname, os.uname().machine)
GATEWAY_PORT = 52702


def setUpModule():
    require_namespaces()
    try:
        import cryptography  # noqa: F401
    except ImportError:
        raise unittest.SkipTest("python3-cryptography is not installed")


def fnv1a(data):
    value = 0x811C9DC5
    for byte in data:
        value = ((value ^ byte) * 0x01000193) & 0xFFFFFFFF
    return "%08x" % value


def text(value, size):
    return value.encode("latin-1")[:size].ljust(size, b"\0")


def large_page(size):
    return b"".join(b"%015d\n" % offset for offset in range(0, size + 15, 16))[:size]


class Endpoint(Process):
    """tlsproxy.py serving in a namespace."""

    def __init__(self, owner, namespace, listen, target, stem, certs, mute=False):
        argv = ["ip", "netns", "exec", namespace, sys.executable, os.path.join(E2E, "tlsproxy.py"), "serve",
                "--listen", listen, "--target", target, "--cert", os.path.join(certs, stem + ".pem"),
                "--key", os.path.join(certs, stem + ".key")] + (["--mute"] if mute else [])
        super().__init__(owner, "tls endpoint " + stem, argv)
        self.wait_until(lambda lines: any(l[2].startswith("ready ") for l in lines), 15)
        ready = [l[2] for l in self.snapshot("out") if l[2].startswith("ready ")]
        if not ready:
            raise AssertionError("the TLS endpoint did not start")
        self.port = int(ready[0].split("=")[1])

    def reports(self, kind):
        """Fields of its lines of this kind ("tls-accept", "tls-handshake", "tls-end")."""
        result = []
        for _, _, line in self.snapshot("out"):
            words = line.split()
            if words and words[0] == kind:
                result.append(dict(w.split("=", 1) for w in words[1:]))
        return result


class TlsCase(NetnsCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.certs = os.path.join(cls.home, "certs")

    @classmethod
    def make_certs(cls, address):
        Process(cls.__name__, "certificates", [sys.executable, os.path.join(E2E, "tlsproxy.py"), "certs",
                                               cls.certs, NAME, address]).process.wait(30)

    @classmethod
    def make_home(cls, role):
        path = os.path.join(cls.home, role)
        os.makedirs(path, exist_ok=True)
        return path

    @classmethod
    def tls_args(cls, address, port):
        return ["--server-address", address, "--server-port", str(port), "--server-tls", "true",
                "--server-tls-ca", os.path.join(cls.certs, "ca.pem"), "--server-tls-name", NAME]


class Session(TlsCase):
    """One printer and the lab's server behind the TLS endpoint."""

    SUBNET = "10.231.21"
    PRINTER_NAME = "Secure desk"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        bridge_ns = cls.network.namespace("bridge")
        cls.lab_ns = cls.network.namespace("lab")
        printer = cls.SUBNET + ".10"
        server_address = cls.SUBNET + ".2"
        cls.network.link(bridge_ns, cls.SUBNET + ".1/24", cls.lab_ns, [server_address + "/24", printer + "/24"])
        cls.network.check_private(cls.lab_ns)
        cls.make_certs(server_address)
        server = ("127.0.0.1:0,keepalive=2,password-version=-1:0,password-size=%d,tunnel-path=/large?bytes=%d,"
                  "tunnel-port=80,tunnel-after=3" % (PASSWORD_SIZE, TUNNEL_BYTES))
        cls.lab = cls.start_lab(cls.lab_ns, ["%s,discovery=none,name=%s,model=LabJet,status=Ready"
                                             % (printer, cls.PRINTER_NAME)], server=server, web_port=80)
        cls.endpoint = Endpoint(cls.__name__, cls.lab_ns, server_address + ":0",
                                "127.0.0.1:%d" % cls.lab.server_port(), "server", cls.certs)
        cls.bridge, _ = cls.start_bridge(bridge_ns, cls.tls_args(server_address, cls.endpoint.port) +
                                         ["--static-printers", printer])
        name = escaped(cls.PRINTER_NAME)
        cls.lab.wait_for_events("server-tunnel-answer", 1, POLL_SECONDS + 30)
        cls.lab.wait_for_events("server-reply", 4, 20, name=name)
        # The session now waits in a TLS read for the next keep-alive.
        cls.stop = stop_and_measure(cls.bridge, signal.SIGINT)

    def test_registration_and_keepalives_as_on_a_plain_link(self):
        registrations = self.lab.events("server-register", name=escaped(self.PRINTER_NAME))
        self.assertEqual(len(registrations), 1, "one session")
        line = registrations[0][2]
        expected = (struct.pack("<h", 8) + text(self.PRINTER_NAME, 32) + text("LabJet", 32) + b"\0\0" +
                    text("Ready", 32))
        self.assertEqual(line["first-bytes"], "188", "bytes before the bridge waited for an answer")
        self.assertEqual(bytes.fromhex(line["hex"])[:len(expected)], expected)
        self.assertEqual((line["valid"], line["platform"]), ("yes", escaped(PLATFORM)))
        replies = [f for _, _, f in self.lab.events("server-reply", session=line["session"])]
        self.assertEqual([(r["version"], r["type"]) for r in replies[:3]], [("-1", "4"), ("0", "6"), ("0", "4")])
        self.assertEqual([r["echo"] for r in replies], ["ok"] * len(replies))

    def test_password_file_delivered(self):
        password = bytes((i * 31 + 7) & 0xFF for i in range(PASSWORD_SIZE))
        delivered = [f for _, _, f in self.lab.events("control-command", command="copyfile")]
        self.assertEqual([(d["file"], d["received"], d["fnv1a"], d["result"]) for d in delivered],
                         [("admins.dat", str(PASSWORD_SIZE), fnv1a(password), "ok")])

    def test_tunnel_carries_the_page_over_tls(self):
        body = large_page(TUNNEL_BYTES)
        connects = [f for _, _, f in self.lab.events("server-tunnel-connect")]
        self.assertEqual([c["match"] for c in connects], ["yes"], "the 68 request bytes first, inside TLS")
        answers = [f for _, _, f in self.lab.events("server-tunnel-answer")]
        self.assertEqual([(a["status"], a["bytes"], a["fnv1a"], a["complete"]) for a in answers],
                         [("200", str(len(body)), fnv1a(body), "yes")])

    def test_every_connection_was_tls(self):
        handshakes = self.endpoint.reports("tls-handshake")
        ok = [h for h in handshakes if h["result"] == "ok"]
        self.assertGreaterEqual(len(ok), 3, "server tests, the session and the tunnel")
        # Only a handshake the stop cut short may fail, and without an alert.
        self.assertLessEqual(len(handshakes) - len(ok), 1)
        self.assertFalse([h for h in handshakes if "ALERT" in h.get("reason", "")])
        # Every connection the lab's server saw came through the endpoint.
        sessions = [f for _, _, f in self.lab.events("server-session")]
        self.assertTrue(sessions)
        self.assertEqual({s["from"].rsplit(":", 1)[0] for s in sessions}, {"127.0.0.1"})
        texts = self.bridge.texts()
        self.assertTrue(any(t.startswith("TLS (TLSv1.") and "CN=wvt.test" in t for t in texts))

    def test_stop_during_a_tls_read_is_prompt(self):
        self.assert_stopped(self.stop)


class Refusals(TlsCase):
    """Three endpoints, each with a certificate the bridge must refuse, one
    bridge after the other against them."""

    SUBNET = "10.231.22"
    CASES = (("expired", "certificate expired"), ("other-name", "name mismatch"), ("stranger", "unknown issuer"))

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.bridge_ns = cls.network.namespace("bridge")
        lab_ns = cls.network.namespace("lab")
        server_address = cls.SUBNET + ".2"
        printer = cls.SUBNET + ".10"
        cls.network.link(cls.bridge_ns, cls.SUBNET + ".1/24", lab_ns, [server_address + "/24", printer + "/24"])
        cls.make_certs(server_address)
        cls.lab = cls.start_lab(lab_ns, ["%s,discovery=none,name=Refused" % printer],
                                server="127.0.0.1:0,keepalive=2")
        cls.outcomes = {}
        for stem, _ in cls.CASES:
            endpoint = Endpoint(cls.__name__, lab_ns, server_address + ":0",
                                "127.0.0.1:%d" % cls.lab.server_port(), stem, cls.certs)
            bridge, _ = cls.start_bridge(cls.bridge_ns, cls.tls_args(server_address, endpoint.port) +
                                         ["--static-printers", printer, "--discovery-responder", "false"],
                                         label="bridge against " + stem, home=cls.make_home(stem))
            # The server test at start, then the printer's first session attempt.
            bridge.wait_for_text("Failed to open gateway connection", LOG_TIMEOUT)
            stop = stop_and_measure(bridge, signal.SIGINT)
            cls.outcomes[stem] = (bridge, endpoint, stop)

    def test_each_refusal_is_named_once_per_attempt(self):
        for stem, reason in self.CASES:
            with self.subTest(certificate=stem):
                bridge, endpoint, _ = self.outcomes[stem]
                lines = bridge.log("out") + bridge.log("err")
                refusals = [(level, t) for _, level, t in lines if t.startswith("Server certificate of ")]
                self.assertTrue(refusals, "refusal logged")
                # The bridge's alert tells each refusal to the endpoint; a
                # handshake cut by the stop ends without one and is not logged.
                alerted = [h for h in endpoint.reports("tls-handshake") if "ALERT" in h.get("reason", "")]
                self.assertEqual(len(refusals), len(alerted), "one line per refused connection")
                for level, line in refusals:
                    self.assertEqual(level, "WARNING")
                    self.assertRegex(line, r"^Server certificate of %s:%d refused: %s \(" %
                                     (re.escape(self.SUBNET + ".2"), endpoint.port, reason))

    def test_no_protocol_byte_reaches_the_endpoint(self):
        for stem, _ in self.CASES:
            with self.subTest(certificate=stem):
                _, endpoint, _ = self.outcomes[stem]
                handshakes = endpoint.reports("tls-handshake")
                self.assertTrue(handshakes)
                self.assertEqual({h["result"] for h in handshakes}, {"failed"})
                self.assertEqual([e["up"] for e in endpoint.reports("tls-end")], ["0"] * len(handshakes))
        self.assertEqual(self.lab.events("server-session"), [], "the server saw no session")

    def test_stops(self):
        for stem, _ in self.CASES:
            with self.subTest(certificate=stem):
                self.bridge = self.outcomes[stem][0]
                self.assert_stopped(self.outcomes[stem][2])


class StopDuringHandshake(TlsCase):
    """An endpoint that accepts the connection and never answers the
    handshake: the bridge is stopped while its server test waits in it."""

    SUBNET = "10.231.23"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        bridge_ns = cls.network.namespace("bridge")
        lab_ns = cls.network.namespace("lab")
        server_address = cls.SUBNET + ".2"
        cls.network.link(bridge_ns, cls.SUBNET + ".1/24", lab_ns, [server_address + "/24"])
        cls.make_certs(server_address)
        cls.endpoint = Endpoint(cls.__name__, lab_ns, server_address + ":0", "127.0.0.1:9", "server", cls.certs,
                                mute=True)
        cls.bridge, _ = cls.start_bridge(bridge_ns, cls.tls_args(server_address, cls.endpoint.port))
        cls.endpoint.wait_until(lambda lines: any("tls-accept" in l[2] for l in lines), LOG_TIMEOUT)
        time.sleep(0.5)  # the handshake's first message has gone out; the bridge waits for the answer
        cls.stop = stop_and_measure(cls.bridge, signal.SIGINT)

    def test_stop_is_prompt(self):
        self.assertTrue(self.endpoint.reports("tls-accept"))
        self.assert_stopped(self.stop)


class ThroughGateway(TlsCase):
    """A slave's printer registered at the lab's server through a gateway
    bridge, TLS end to end: the endpoint and the lab run in the gateway's
    namespace on 127.0.0.1, where only the gateway reaches them."""

    GATEWAY = "10.231.24.1"
    SLAVE = "10.231.24.2"
    PRINTER = "10.231.24.10"
    NAME = "Slave\\x20desk"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        gateway_ns = cls.network.namespace("gateway")
        slave_ns = cls.network.namespace("slave")
        cls.network.link(slave_ns, cls.SLAVE + "/24", gateway_ns, [cls.GATEWAY + "/24", cls.PRINTER + "/24"])
        cls.make_certs("127.0.0.1")
        cls.lab = cls.start_lab(gateway_ns, ["%s,discovery=none,name=Slave desk,status=Ready" % cls.PRINTER],
                                server="127.0.0.1:0,keepalive=2,password-version=-1")
        cls.endpoint = Endpoint(cls.__name__, gateway_ns, "127.0.0.1:0", "127.0.0.1:%d" % cls.lab.server_port(),
                                "server", cls.certs)
        args = cls.tls_args("127.0.0.1", cls.endpoint.port)
        cls.slave, _ = cls.start_bridge(slave_ns, args + ["--static-printers", cls.PRINTER], label="slave",
                                        home=cls.make_home("slave"))
        cls.slave.wait_for_text("Discovery responder started", LOG_TIMEOUT)
        cls.gateway, _ = cls.start_bridge(gateway_ns, args + ["--gateway-port", str(GATEWAY_PORT)],
                                          label="gateway", home=cls.make_home("gateway"))
        cls.lab.wait_for_events("server-reply", 2, 45, name=cls.NAME)
        for bridge in (cls.slave, cls.gateway):
            bridge.signal(signal.SIGINT)
            bridge.wait_exit(10)

    def test_registered_through_the_gateway_over_tls(self):
        registrations = self.lab.events("server-register", name=self.NAME)
        self.assertEqual(len(registrations), 1)
        line = registrations[0][2]
        self.assertEqual((line["valid"], line["first-bytes"]), ("yes", "188"))
        self.assertTrue(any(t.startswith("Printer 'Slave desk' connected to gateway") for t in self.slave.texts()))
        # The slave did the handshake itself (the gateway only relays), with
        # the server's certificate.
        self.assertTrue(any(t.startswith("TLS (TLSv1.") and "CN=wvt.test" in t and t.endswith("(Gateway)")
                            for t in self.slave.texts()), "the slave's own handshake through the gateway")
        # A relayed connection the slave dropped unused (it tries its
        # gateways at once) ends before any handshake; none carries plain bytes.
        handshakes = {h["conn"]: h["result"] for h in self.endpoint.reports("tls-handshake")}
        self.assertIn("ok", handshakes.values())
        for end in self.endpoint.reports("tls-end"):
            if handshakes.get(end["conn"]) != "ok":
                self.assertEqual(end["up"], "0", "no plain byte on a connection without TLS")

    def test_gateway_server_test_uses_tls(self):
        self.assertTrue(any(t.startswith("TLS (TLSv1.") and t.endswith("(Server)") for t in self.gateway.texts()),
                        "the gateway's server test made a TLS handshake")
        self.assertTrue(self.gateway.texts().count("Gateway started on port %d" % GATEWAY_PORT) >= 1)


if __name__ == "__main__":
    sys.exit(main(sys.modules[__name__], sys.argv[1:]))
