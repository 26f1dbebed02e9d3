"""A network link between two test namespaces whose frames this process
carries, so that a test can delay them, lose some at random, or cut the link
without either end seeing a FIN or a reset.

Each side is a TAP device (an Ethernet interface, so ARP and broadcasts work
as on a veth pair) made inside its namespace; two threads copy the frames
from one device to the other. The kernel's own tools for this (tc netem, a
firewall's DROP) may be missing where the tests run; this needs only
/dev/net/tun and root. The devices vanish with close() or with their
namespaces.
"""

import fcntl
import heapq
import os
import random
import select
import struct
import subprocess
import threading
import time

from nssocket import run_in_namespace

TUNSETIFF = 0x400454CA
IFF_TAP = 0x0002
IFF_NO_PI = 0x1000
FRAME_LIMIT = 65536


def tap_unavailable():
    """Why TAP devices cannot be made here, or None when they can."""
    if not os.path.exists("/dev/net/tun"):
        return "/dev/net/tun is missing"
    if not os.access("/dev/net/tun", os.R_OK | os.W_OK):
        return "/dev/net/tun is not writable"
    return None


def _make_tap(name):
    """A descriptor of a new TAP device `name` in the calling thread's namespace."""
    tap = os.open("/dev/net/tun", os.O_RDWR | os.O_CLOEXEC)
    try:
        fcntl.ioctl(tap, TUNSETIFF, struct.pack("16sH", name.encode("ascii"), IFF_TAP | IFF_NO_PI))
    except OSError:
        os.close(tap)
        raise
    return tap


def _ip(*args):
    result = subprocess.run(["ip"] + list(args), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if result.returncode != 0:
        raise RuntimeError("ip %s failed: %s" % (" ".join(args), result.stderr.strip()))


class TapWire:
    """Two TAP devices, `name`a in namespace left (left_address, CIDR) and
    `name`b in namespace right (each of right_addresses), joined by this
    process. set() changes the delay and the loss of both directions; cut()
    drops every frame until restore(); cut_after() cuts once that many bytes
    came from one side. Frames are counted per direction."""

    def __init__(self, name, left, left_address, right, right_addresses, seed=1):
        self.condition = threading.Condition()
        self.delay = 0.0
        self.loss = 0.0
        self.is_cut = False
        self.cut_at = {}           # side -> byte count that cuts the wire once reached
        self.carried = {"left": 0, "right": 0}   # bytes carried from that side
        self.dropped = {"left": 0, "right": 0}   # frames dropped from that side
        self.random = random.Random(seed)
        self.queue = []            # (due, sequence, descriptor, frame)
        self.sequence = 0
        self.stopping = False
        self.taps = {}
        try:
            self.taps["left"] = run_in_namespace(left, _make_tap, name + "a")
            self.taps["right"] = run_in_namespace(right, _make_tap, name + "b")
            _ip("-n", left, "addr", "add", left_address, "dev", name + "a")
            for address in right_addresses:
                _ip("-n", right, "addr", "add", address, "dev", name + "b")
            _ip("-n", left, "link", "set", name + "a", "up")
            _ip("-n", right, "link", "set", name + "b", "up")
        except (OSError, RuntimeError):
            self.close()
            raise
        self.threads = [threading.Thread(target=self._carry, args=(side, other), daemon=True,
                                         name="wire %s %s" % (name, side))
                        for side, other in (("left", "right"), ("right", "left"))]
        self.threads.append(threading.Thread(target=self._deliver, daemon=True, name="wire %s delivery" % name))
        for thread in self.threads:
            thread.start()

    def set(self, delay=0.0, loss=0.0):
        """Delays every frame by `delay` seconds and drops a `loss` fraction of them, both ways."""
        with self.condition:
            self.delay, self.loss = delay, loss

    def cut(self):
        """Drops every frame from now on; returns the time of the cut (time.monotonic())."""
        with self.condition:
            self.is_cut = True
            return time.monotonic()

    def cut_after(self, side, count):
        """Cuts the wire once `count` more bytes came from `side` ("left" or "right")."""
        with self.condition:
            self.cut_at[side] = self.carried[side] + count

    def restore(self):
        """Carries frames again; returns the time of the restore."""
        with self.condition:
            self.is_cut = False
            return time.monotonic()

    def counts(self):
        with self.condition:
            return dict(self.carried), dict(self.dropped)

    def close(self):
        with self.condition:
            self.stopping = True
            self.condition.notify_all()
        for thread in getattr(self, "threads", []):
            thread.join(5)
        for tap in self.taps.values():
            os.close(tap)
        self.taps = {}

    def _carry(self, side, other):
        source, target = self.taps[side], self.taps[other]
        while True:
            with self.condition:
                if self.stopping:
                    return
            readable, _, _ = select.select([source], [], [], 0.2)
            if not readable:
                continue
            try:
                frame = os.read(source, FRAME_LIMIT)
            except OSError:
                return
            with self.condition:
                limit = self.cut_at.get(side)
                if limit is not None and self.carried[side] + len(frame) > limit:
                    del self.cut_at[side]
                    self.is_cut = True
                if self.is_cut or (self.loss and self.random.random() < self.loss):
                    self.dropped[side] += 1
                    continue
                self.carried[side] += len(frame)
                if self.delay <= 0 and not self.queue:
                    delayed = False
                else:
                    delayed = True
                    self.sequence += 1
                    heapq.heappush(self.queue, (time.monotonic() + self.delay, self.sequence, target, frame))
                    self.condition.notify_all()
            if not delayed:
                self._write(target, frame)

    def _deliver(self):
        while True:
            with self.condition:
                while not self.stopping and (not self.queue or self.queue[0][0] > time.monotonic()):
                    self.condition.wait(None if not self.queue else max(0.0, self.queue[0][0] - time.monotonic()))
                if self.stopping:
                    return
                _, _, target, frame = heapq.heappop(self.queue)
            self._write(target, frame)

    @staticmethod
    def _write(target, frame):
        try:
            os.write(target, frame)
        except OSError:
            pass  # a frame the device refuses is a frame lost
