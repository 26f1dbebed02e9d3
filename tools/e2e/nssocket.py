"""Sockets of the test process inside the network namespaces made by
`ip netns` (tools/e2e/netns.py), and a position-dependent byte pattern for
checking every byte that crosses a relay.

A socket belongs to the namespace of the thread that made it, for its whole
life, whichever thread later binds, connects or reads it. socket_in() makes
the socket on a short-lived thread of its own that has entered the
namespace, so the caller's thread never leaves the test process's own
namespace. Needs root (setns).
"""

import ctypes
import os
import random
import socket
import threading

CLONE_NEWNET = 0x40000000
NETNS_FOLDERS = ("/run/netns", "/var/run/netns")


def _enter_namespace(descriptor):
    if hasattr(os, "setns"):  # Python 3.12 and later
        os.setns(descriptor, CLONE_NEWNET)
        return
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.setns(descriptor, CLONE_NEWNET) != 0:
        number = ctypes.get_errno()
        raise OSError(number, "setns: " + os.strerror(number))


def namespace_path(namespace):
    for folder in NETNS_FOLDERS:
        path = os.path.join(folder, namespace)
        if os.path.exists(path):
            return path
    raise OSError("no network namespace named %r" % namespace)


def run_in_namespace(namespace, function, *args):
    """Runs function(*args) on a short-lived thread that has entered the named
    namespace, so that every socket it makes belongs there; returns its
    result or raises its error."""
    path = namespace_path(namespace)
    outcome = {}

    def run():
        try:
            descriptor = os.open(path, os.O_RDONLY)
            try:
                _enter_namespace(descriptor)
            finally:
                os.close(descriptor)
            outcome["result"] = function(*args)
        except Exception as error:  # handed to the caller
            outcome["error"] = error

    # The thread ends right after; its namespace goes with it.
    runner = threading.Thread(target=run, name="in " + namespace)
    runner.start()
    runner.join()
    if "error" in outcome:
        raise outcome["error"]
    return outcome["result"]


def socket_in(namespace, kind=socket.SOCK_STREAM):
    """A new IPv4 socket of the given kind inside the named namespace."""
    return run_in_namespace(namespace, socket.socket, socket.AF_INET, kind)


def connect_in(namespace, address, timeout):
    """A TCP connection made from inside the namespace; `timeout` bounds the
    connect and every later operation on the socket."""
    connection = socket_in(namespace)
    connection.settimeout(timeout)
    try:
        connection.connect(address)
    except OSError:
        connection.close()
        raise
    return connection


def pattern(seed, length):
    """`length` pseudo-random bytes fixed by `seed`: every position has its own
    value, so lost, repeated, reordered or foreign bytes show up."""
    return random.Random(seed).randbytes(length)


def first_difference(expected, received):
    """None when the two are equal, else a text naming the first differing offset."""
    if expected == received:
        return None
    common = min(len(expected), len(received))
    view_expected, view_received = memoryview(expected), memoryview(received)
    low, high = 0, common
    # Binary search on prefix equality keeps this fast for megabytes.
    while low < high:
        middle = (low + high) // 2
        if view_expected[low:middle + 1] == view_received[low:middle + 1]:
            low = middle + 1
        else:
            high = middle
    if low < common:
        return "first difference at byte %d of %d (expected 0x%02x, got 0x%02x); %d bytes received" % (
            low, len(expected), expected[low], received[low], len(received))
    return "%d bytes received instead of %d, equal up to byte %d" % (len(received), len(expected), common)


def receive_exactly(connection, length):
    """Reads `length` bytes, fewer only when the peer ends the stream first."""
    data = bytearray()
    while len(data) < length:
        chunk = connection.recv(min(1 << 20, length - len(data)))
        if not chunk:
            break
        data += chunk
    return bytes(data)


def receive_to_end(connection, limit):
    """Reads until the peer ends the stream; stops early once more than `limit` bytes came."""
    data = bytearray()
    while len(data) <= limit:
        chunk = connection.recv(1 << 20)
        if not chunk:
            break
        data += chunk
    return bytes(data)
