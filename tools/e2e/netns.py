"""Private test networks for the end-to-end tests: network namespaces made
with `ip netns`, joined by veth pairs on subnets that exist only inside them
(10.231.0.0/16). Namespace names carry the test process's id, so that a later
run can delete what a killed run left behind. Needs root and iproute2.
"""

import ipaddress
import os
import re
import shutil
import subprocess
import tempfile
import threading
import traceback
import unittest

from bridgeharness import PROCESSES, START_TIMEOUT, STARTED, STOP_BOUND, STOPPED, STOPPING, Bridge, Lab

# Every address inside the test namespaces lies here (or on lo).
TEST_NETWORK = ipaddress.ip_network("10.231.0.0/16")
NAMESPACE_PREFIX = "orvel-e2e-"

def ip(*args, check=True):
    """Runs one iproute2 command; returns the completed process."""
    result = subprocess.run(["ip"] + list(args), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True)
    if check and result.returncode != 0:
        raise RuntimeError("ip %s failed: %s" % (" ".join(args), result.stderr.strip()))
    return result


class Network:
    """Namespaces of one test class, joined by veth pairs; delete() removes them all."""

    counter = 0

    def __init__(self):
        Network.counter += 1
        self.prefix = "%s%d-%d-" % (NAMESPACE_PREFIX, os.getpid(), Network.counter)
        self.namespaces = []
        self.links = 0

    def namespace(self, role):
        name = self.prefix + role
        ip("netns", "add", name)
        self.namespaces.append(name)
        ip("-n", name, "link", "set", "lo", "up")
        return name

    def link(self, left, left_address, right, right_addresses):
        """A veth pair from namespace left to namespace right, made inside them."""
        self.links += 1
        left_name, right_name = "ob%da" % self.links, "ob%db" % self.links
        ip("-n", left, "link", "add", left_name, "type", "veth",
           "peer", "name", right_name, "netns", right)
        ip("-n", left, "addr", "add", left_address, "dev", left_name)
        for address in right_addresses:
            ip("-n", right, "addr", "add", address, "dev", right_name)
        ip("-n", left, "link", "set", left_name, "up")
        ip("-n", right, "link", "set", right_name, "up")

    def check_private(self, name):
        """Fails unless every IPv4 address of the namespace is a test or loopback one."""
        output = ip("-n", name, "-o", "-4", "addr", "show").stdout
        for address in re.findall(r"\binet (\d+\.\d+\.\d+\.\d+)/", output):
            value = ipaddress.ip_address(address)
            if not (value.is_loopback or value in TEST_NETWORK):
                raise RuntimeError("namespace %s has the address %s" % (name, address))

    def delete(self):
        failures = []
        for name in reversed(self.namespaces):
            result = ip("netns", "delete", name, check=False)
            if result.returncode != 0:
                failures.append("%s: %s" % (name, result.stderr.strip()))
        self.namespaces = []
        if failures:
            raise RuntimeError("cannot delete namespaces: " + "; ".join(failures))


def delete_stale_namespaces():
    """Deletes the namespaces left by an earlier run whose process is gone."""
    listing = ip("netns", "list", check=False).stdout
    for name in re.findall(r"^(%s\S+)" % re.escape(NAMESPACE_PREFIX), listing, re.M):
        match = re.match(r"%s(\d+)-" % re.escape(NAMESPACE_PREFIX), name)
        if match and int(match.group(1)) != os.getpid() and \
                not os.path.exists("/proc/%s" % match.group(1)):
            ip("netns", "delete", name, check=False)


def namespaces_unavailable():
    """Why namespaces cannot be made here, or None when they can."""
    for name in ("ORVEL_BRIDGE_CONSOLE", "ORVEL_BRIDGE_LAB"):
        if not os.path.isfile(os.environ.get(name, "")):
            return "%s does not name a program" % name
    if os.geteuid() != 0:
        return "network namespaces need root"
    if shutil.which("ip") is None:
        return "iproute2 (ip) is missing"
    probe = Network()
    try:
        left = probe.namespace("probe-a")
        right = probe.namespace("probe-b")
        probe.link(left, "10.231.255.1/30", right, ["10.231.255.2/30"])
    except (RuntimeError, OSError) as error:
        return "cannot make namespaces joined by veth: %s" % error
    finally:
        try:
            probe.delete()
        except RuntimeError:
            pass
    return None


class NetnsCase(unittest.TestCase):
    """Gives each test class its network and a home folder; all are removed at the end."""

    @classmethod
    def setUpClass(cls):
        # Class cleanups run even when setUpClass fails, last added first:
        # the programs end, then the namespaces and the folder go.
        home_folder = tempfile.TemporaryDirectory(prefix="orvel-e2e-home-")
        cls.addClassCleanup(home_folder.cleanup)
        cls.home = home_folder.name
        cls.network = Network()
        cls.addClassCleanup(cls.network.delete)
        cls.addClassCleanup(cls.finish_processes)

    @classmethod
    def finish_processes(cls):
        for process in PROCESSES.get(cls.__name__, []):
            process.finish()

    @classmethod
    def start_lab(cls, namespace, printers, server=None, web_port=0):
        lab = Lab(cls.__name__, printers, prefix=["ip", "netns", "exec", namespace], label="lab in " + namespace,
                  web_port=web_port, server=server)
        if not lab.wait_ready(len(printers)):
            raise AssertionError("the lab in %s did not get ready" % namespace)
        return lab

    @classmethod
    def start_bridge(cls, namespace, args=(), label=None, home=None):
        """Starts the bridge in the namespace with these options (and --log-level 0); returns
        it and the arrival time of its started line."""
        cls.network.check_private(namespace)
        bridge = Bridge(cls.__name__, home or cls.home, ["--log-level", "0"] + list(args),
                        prefix=["ip", "netns", "exec", namespace], label=label or "bridge in " + namespace)
        started = bridge.wait_for_text(STARTED, START_TIMEOUT)
        if started is None:
            raise AssertionError("the bridge did not start")
        return bridge, started

    def assert_stopped(self, stop):
        to_stopped, to_exit, status = stop
        texts = self.bridge.texts()
        self.assertEqual(texts.count(STOPPING), 1)
        self.assertEqual(texts.count(STOPPED), 1)
        self.assertLess(texts.index(STOPPING), texts.index(STOPPED))
        self.assertIsNotNone(to_stopped, "stopped line")
        self.assertLessEqual(to_stopped, STOP_BOUND, "seconds to the stopped line")
        self.assertLessEqual(to_exit, STOP_BOUND, "seconds to the exit")
        self.assertEqual(status, 0, "exit status")


def require_namespaces():
    """For a test module's setUpModule: deletes what killed runs left behind and
    skips every test of the module, with the reason, where namespaces cannot be made."""
    if os.geteuid() == 0 and shutil.which("ip"):
        delete_stale_namespaces()
    reason = namespaces_unavailable()
    if reason:
        raise unittest.SkipTest(reason)


class Scenario:
    """One scenario of a test class played with play_at_once(): prepare() makes
    its namespaces and starts its programs (on the main thread), run() plays its
    timeline on a thread of its own and keeps what it saw in attributes; a
    failure is kept in `error` and reported by the scenario's tests. `case` is
    the test class, whose `home` holds a folder per role."""

    def __init__(self, case):
        self.case = case
        self.error = None

    def home(self, role):
        path = os.path.join(self.case.home, role)
        os.makedirs(path, exist_ok=True)
        return path

    def play(self):
        try:
            self.run()
        except Exception:  # kept for the scenario's tests
            self.error = traceback.format_exc()


def play_at_once(owner, kinds):
    """Scenario classes made for a test class, prepared one after the other and
    then played at once, each on a thread of its own (their waits overlap).
    Returns them by class name, for the tests to check."""
    scenarios = {kind.__name__: kind(owner) for kind in kinds}
    for scenario in scenarios.values():
        scenario.prepare()
    threads = [threading.Thread(target=s.play, name=name) for name, s in scenarios.items()]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return scenarios
