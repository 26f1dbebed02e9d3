#!/usr/bin/env python3
"""Discovery of orvel-bridge-console across real network namespaces.

Usage: test_discovery_netns.py [TestClass[.test_method] ...]

The programs come from the environment: ORVEL_BRIDGE_CONSOLE (the bridge)
and ORVEL_BRIDGE_LAB (orvel-bridge-lab). Each test class makes its own
network namespaces (`ip netns`, names carry this process's id) joined by
veth pairs on private subnets that exist only inside them
(10.231.1.0/24, 10.231.2.0/24); the bridge runs in one namespace, the
simulated printers in another, and nothing touches this machine's own
interfaces. The namespaces are deleted at the end of every class, also
after a failure. Needs root and iproute2; without them every test is
skipped.

Exit status: 0 when the tests ran and passed, 1 on a failure, 77 when every
test was skipped (CTest's SKIP_RETURN_CODE).
"""

import os
import re
import signal
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "e2e"))
from bridgeharness import PERIOD_TOLERANCE, main, stop_and_measure  # noqa: E402
from netns import NetnsCase, require_namespaces  # noqa: E402

# The repetition of the printers request when nothing answers.
REPEAT_SECONDS = 3.0
REPEAT_TOLERANCE = 0.6

REQUEST = "discovery-request printer-socket"


def setUpModule():
    require_namespaces()


def requests(lab):
    """(arrival time, lab seconds, fields) of the printers requests that reached the lab."""
    return lab.events(REQUEST)


def host_of(endpoint):
    return endpoint.rsplit(":", 1)[0]


class NoAnswer(NetnsCase):
    """A pass that nobody answers: five requests, 3 s apart, then silence until the next pass."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        bridge_ns = cls.network.namespace("bridge")
        printers_ns = cls.network.namespace("printers")
        cls.network.link(bridge_ns, "10.231.1.1/24", printers_ns, ["10.231.1.10/24"])
        cls.lab = cls.start_lab(printers_ns, ["10.231.1.10,discovery=none"])
        cls.bridge, cls.started = cls.start_bridge(bridge_ns)
        seen = cls.lab.wait_for_events(REQUEST, 5, 25)
        if len(seen) >= 5:
            # A sixth request of the same pass would come 3 s after the fifth.
            cls.lab.wait_for_events(REQUEST, 6, seen[4][0] + 2 * REPEAT_SECONDS - time.monotonic())
        cls.stop = stop_and_measure(cls.bridge, signal.SIGINT)

    def test_five_requests_to_the_limited_broadcast_address(self):
        seen = requests(self.lab)
        self.assertEqual(len(seen), 5, "requests of one pass")
        for _, _, fields in seen:
            self.assertEqual(fields.get("to"), "255.255.255.255")
            self.assertEqual(fields.get("bytes"), "64")
            self.assertEqual(fields.get("kind"), "WhoRU")
            self.assertEqual(host_of(fields.get("from", "")), "10.231.1.1",
                             "sent from the interface address")
        self.assertEqual(len({fields.get("from") for _, _, fields in seen}), 1,
                         "one socket for the whole pass")

    def test_requests_at_0_3_6_9_12_seconds(self):
        seen = requests(self.lab)
        self.assertEqual(len(seen), 5, "requests of one pass")
        first_arrival, first, _ = seen[0]
        self.assertLessEqual(first_arrival - self.started, 2.0, "first request right after the start")
        for index, (_, seconds, _) in enumerate(seen):
            self.assertAlmostEqual(seconds - first, index * REPEAT_SECONDS,
                                   delta=REPEAT_TOLERANCE, msg="request %d" % (index + 1))
        for (_, earlier, _), (_, later, _) in zip(seen, seen[1:]):
            self.assertAlmostEqual(later - earlier, REPEAT_SECONDS, delta=REPEAT_TOLERANCE)

    def test_nothing_added(self):
        self.assertEqual(self.lab.events("discovery-answer"), [])
        self.assertEqual([t for t in self.bridge.texts() if re.match(r"^Printer '.*' added$", t)], [])

    def test_one_finder_bound_to_the_interface(self):
        via = [t for t in self.bridge.texts() if t.startswith("Broadcast via ")]
        self.assertEqual(via, ["Broadcast via '10.231.1.1'"])

    def test_stopped_in_the_wait(self):
        self.assert_stopped(self.stop)


class Answers(NetnsCase):
    """Answering, short, foreign and silenced printers."""

    PRINTERS = ["10.231.1.10,name=Front Desk",
                "10.231.1.11,discovery=short",
                "10.231.1.12,discovery=foreign",
                "10.231.1.13,silent-after=8"]

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        bridge_ns = cls.network.namespace("bridge")
        printers_ns = cls.network.namespace("printers")
        cls.network.link(bridge_ns, "10.231.1.1/24", printers_ns,
                         ["10.231.1.%d/24" % host for host in (10, 11, 12, 13)])
        cls.lab = cls.start_lab(printers_ns, cls.PRINTERS)
        cls.bridge, cls.started = cls.start_bridge(bridge_ns)
        cls.bridge.wait_for_text("Printer '10.231.1.10' added", 15)
        cls.lab.wait_for_events("status-command", 2, 25, printer="10.231.1.10", code="4")
        silent = cls.lab.wait_for_events("silent", 1, 15, printer="10.231.1.13")
        if silent:
            cls.bridge.wait_for_text("Printer '10.231.1.13' removed",
                                     silent[0][0] + 25.0 - time.monotonic())
        cls.stop = stop_and_measure(cls.bridge, signal.SIGINT)

    def added(self):
        return [t for t in self.bridge.texts() if re.match(r"^Printer '.*' added$", t)]

    def test_answering_printer_added_once_then_polled(self):
        self.assertEqual(self.added().count("Printer '10.231.1.10' added"), 1,
                         "added once although it answers every request")
        self.assertGreaterEqual(len(self.lab.events("discovery-answer", printer="10.231.1.10")), 2)
        polls = self.lab.events("status-command", printer="10.231.1.10", code="4")
        self.assertGreaterEqual(len(polls), 2, "polled")
        for _, _, fields in polls:
            self.assertEqual(host_of(fields.get("from", "")), "10.231.1.1")
        self.assertAlmostEqual(polls[1][1] - polls[0][1], 10.0, delta=PERIOD_TOLERANCE)
        self.assertIn("Printer '10.231.1.10' is named 'Front Desk' (LabJet 1000)", self.bridge.texts())

    def test_short_answer_logged_and_ignored(self):
        self.assertTrue(self.lab.events("discovery-answer", printer="10.231.1.11", bytes="15"))
        self.assertIn("Invalid discovery response: expected at least 16 bytes, got 15 bytes",
                      self.bridge.texts())
        self.assertNotIn("Printer '10.231.1.11' added", self.added())

    def test_foreign_answer_ignored(self):
        self.assertTrue(self.lab.events("discovery-answer", printer="10.231.1.12"),
                        "the foreign printer did answer")
        self.assertNotIn("Printer '10.231.1.12' added", self.added())
        self.assertEqual(self.lab.events("status-connect", printer="10.231.1.12"), [])

    def test_silent_printer_removed(self):
        texts = self.bridge.texts()
        self.assertIn("Printer '10.231.1.13' added", texts)
        silent = self.lab.events("silent", printer="10.231.1.13")
        self.assertTrue(silent, "the lab silenced the printer")
        self.assertTrue(self.lab.events("status-command", printer="10.231.1.13", code="4"),
                        "polled before it fell silent")
        removed = self.bridge.times_of("Printer '10.231.1.13' removed")
        self.assertEqual(len(removed), 1, "removed once")
        self.assertLessEqual(removed[0] - silent[0][0], 25.0, "removed at a following poll")
        self.assertLess(texts.index("Printer '10.231.1.13' added"),
                        texts.index("Printer '10.231.1.13' removed"))
        self.assertNotIn("Printer '10.231.1.10' removed", texts, "the answering printer stays")

    def test_stopped(self):
        self.assert_stopped(self.stop)


class TwoSubnets(NetnsCase):
    """A bridge on two subnets runs one finder per interface; each subnet gets its own requests."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        bridge_ns = cls.network.namespace("bridge")
        first_ns = cls.network.namespace("subnet1")
        second_ns = cls.network.namespace("subnet2")
        cls.network.link(bridge_ns, "10.231.1.1/24", first_ns, ["10.231.1.10/24"])
        cls.network.link(bridge_ns, "10.231.2.1/24", second_ns, ["10.231.2.10/24"])
        cls.labs = {1: cls.start_lab(first_ns, ["10.231.1.10,name=First"]),
                    2: cls.start_lab(second_ns, ["10.231.2.10,name=Second"])}
        cls.bridge, cls.started = cls.start_bridge(bridge_ns)
        for lab in cls.labs.values():
            lab.wait_for_events(REQUEST, 5, 25)
        cls.bridge.wait_for_text("Printer '10.231.2.10' added", 1)
        # Late requests of either finder arrive within the next second.
        time.sleep(1.0)
        cls.stop = stop_and_measure(cls.bridge, signal.SIGINT)

    def test_one_finder_per_interface(self):
        via = sorted(t for t in self.bridge.texts() if t.startswith("Broadcast via "))
        self.assertEqual(via, ["Broadcast via '10.231.1.1'", "Broadcast via '10.231.2.1'"])

    def test_each_subnet_gets_only_its_own_requests(self):
        for subnet, lab in self.labs.items():
            seen = requests(lab)
            self.assertEqual(len(seen), 5, "requests of one pass on subnet %d" % subnet)
            sources = {host_of(fields.get("from", "")) for _, _, fields in seen}
            self.assertEqual(sources, {"10.231.%d.1" % subnet},
                             "sources of the requests on subnet %d" % subnet)
            for _, _, fields in seen:
                self.assertEqual(fields.get("to"), "255.255.255.255")
                self.assertEqual(fields.get("bytes"), "64")

    def test_printers_of_both_subnets_added(self):
        texts = self.bridge.texts()
        for address, name in (("10.231.1.10", "First"), ("10.231.2.10", "Second")):
            self.assertEqual(texts.count("Printer '%s' added" % address), 1)
            self.assertIn("Printer '%s' is named '%s' (LabJet 1000)" % (address, name), texts)

    def test_stopped(self):
        self.assert_stopped(self.stop)


class StopDuringPass(NetnsCase):
    """SIGINT 4 s into a discovery pass ends the pass and the program promptly."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        bridge_ns = cls.network.namespace("bridge")
        printers_ns = cls.network.namespace("printers")
        cls.network.link(bridge_ns, "10.231.1.1/24", printers_ns, ["10.231.1.10/24"])
        cls.lab = cls.start_lab(printers_ns, ["10.231.1.10,discovery=none"])
        cls.bridge, cls.started = cls.start_bridge(bridge_ns)
        seen = cls.lab.wait_for_events(REQUEST, 1, 10)
        if not seen:
            raise AssertionError("no printers request reached the lab")
        time.sleep(max(0.0, seen[0][0] + 4.0 - time.monotonic()))
        cls.before_signal = requests(cls.lab)
        cls.stop = stop_and_measure(cls.bridge, signal.SIGINT)

    def test_signal_came_during_the_pass(self):
        self.assertEqual(len(self.before_signal), 2, "requests at 0 and 3 s before the signal")

    def test_stopped_within_3_s(self):
        self.assert_stopped(self.stop)


if __name__ == "__main__":
    sys.exit(main(sys.modules[__name__], sys.argv[1:]))
