#!/usr/bin/env python3
"""Checks orvel-bridge-lab from the outside, as the bridge would see it.

Usage: test_lab.py PATH-TO-orvel-bridge-lab

Must run in a private network namespace whose only interface is lo
(CTest runs it under `unshare -n`); it brings lo up itself and refuses to
run anywhere else, because the simulator listens on 0.0.0.0:9101.
"""

import os
import queue
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "e2e"))
from bridgeharness import parse_http_reply, parse_report  # noqa: E402


VENDOR = b"Kestova"
REQUEST = VENDOR + b"\0" + b"WhoRU\0\0\0" + bytes(48)

PASSED = 0
FAILED = 0


def check(condition, what):
    global PASSED, FAILED
    if condition:
        PASSED += 1
    else:
        FAILED += 1
        print("FAIL: " + what, flush=True)


class Lab:
    """The simulator process and the lines of its report."""

    def __init__(self, program, args):
        self.process = subprocess.Popen([program] + args, stdout=subprocess.PIPE,
                                        text=True)
        self.lines = queue.Queue()
        self.seen = []
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.process.stdout:
            self.lines.put(line.rstrip("\n"))

    def wait_for(self, event, timeout=5.0, **fields):
        """First report line (old or new) of this event with these fields."""
        deadline = time.monotonic() + timeout
        index = 0
        while True:
            while index < len(self.seen):
                _, name, values = parse_report(self.seen[index])
                index += 1
                if name == event and all(values.get(k) == v for k, v in fields.items()):
                    return values
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            try:
                self.seen.append(self.lines.get(timeout=left))
            except queue.Empty:
                return None


def recv_exact(sock, n):
    data = b""
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        if not chunk:
            break
        data += chunk
    return data


def text_field(record, offset, size):
    return record[offset:offset + size].split(b"\0", 1)[0].decode()


def connect(address, port):
    sock = socket.create_connection((address, port), timeout=5)
    return sock


def ask_info(sock):
    sock.sendall(b"\x04")
    (length,) = struct.unpack("<h", recv_exact(sock, 2))
    return length, (recv_exact(sock, length) if length > 0 else b"")


def ask_backup(sock):
    sock.sendall(b"\x03")
    (size,) = struct.unpack("<I", recv_exact(sock, 4))
    return size, recv_exact(sock, size)


def pattern(size):
    return bytes((i * 7 + 13) & 0xFF for i in range(size))


def test_status_port(lab):
    with connect("127.0.0.2", 9101) as sock:
        for _ in range(2):  # the same connection serves repeated commands
            length, record = ask_info(sock)
            check(length == 152 and len(record) == 152, "default info length is 152")
            check(text_field(record, 0, 32) == "Lab printer 1", "default name")
            check(text_field(record, 32, 32) == "LabJet 1000", "default model")
            check(text_field(record, 96, 16) == "LAB0001", "default serial")
            check(struct.unpack("<ii", record[144:152]) == (1700000000, 1001),
                  "installation date and system id, little-endian")
        size, content = ask_backup(sock)
        check(size == 4096 and content == pattern(4096), "default backup size and pattern")
    check(lab.wait_for("status-command", printer="127.0.0.2", code="3") is not None,
          "backup command reported")
    check(lab.wait_for("status-close", printer="127.0.0.2") is not None, "close reported")

    long_name = "A printer name of 32 characters!"
    with connect("127.0.0.3", 9101) as sock:
        length, payload = ask_info(sock)
        check(length == 20 and payload == long_name.encode()[:20],
              "info-length=20 sends the first 20 bytes of the record")
        # Nothing may follow the short payload: the next answer starts at once.
        size, content = ask_backup(sock)
        check(size == 100000 and content == pattern(100000), "backup-size=100000 content")

    with connect("127.0.0.4", 9101) as sock:
        length, payload = ask_info(sock)
        check(length == 0 and payload == b"", "info-length=0 sends no payload")
        check(ask_backup(sock)[0] == 1, "backup-size=1 follows an empty payload at once")


def discovery_answers(datagram, destination, wait=1.5):
    """Sends one datagram to destination:9101; returns {source: answer}."""
    answers = {}
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        sock.bind(("127.0.0.1", 0))
        sock.sendto(datagram, (destination, 9101))
        deadline = time.monotonic() + wait
        while time.monotonic() < deadline:
            sock.settimeout(max(0.01, deadline - time.monotonic()))
            try:
                data, source = sock.recvfrom(4096)
            except socket.timeout:
                break
            answers[source[0]] = data
    return answers


def test_discovery(lab):
    answers = discovery_answers(REQUEST, "127.0.0.2")
    check(lab.wait_for("discovery-request printer-socket", to="127.0.0.2", bytes="64",
                       kind="WhoRU") is not None, "request reported with its destination")
    for address in ("127.0.0.2", "127.0.0.3"):
        answer = answers.get(address, b"")
        check(len(answer) >= 16 and answer[:16] == VENDOR + b"\0HereMI\0\0",
              "normal answer header from " + address)
    check(len(answers.get("127.0.0.4", b"")) == 15, "discovery=short answers 15 bytes")
    check(set(answers) == {"127.0.0.2", "127.0.0.3", "127.0.0.4"}, "one answer per printer")

    foreign = b"Kostava\0WhoRU\0\0\0" + bytes(48)
    check(discovery_answers(foreign, "127.0.0.3", wait=0.5) == {}, "foreign tag not answered")
    check(lab.wait_for("discovery-request printer-socket", to="127.0.0.3", kind="?")
          is not None, "foreign request reported with kind ?")


def control_exchange(command, data):
    with connect("127.0.0.2", 9102) as sock:
        sock.sendall(command.ljust(16, b"\0"))
        answer = recv_exact(sock, 1)
        if answer not in (b"", b"\0"):
            sock.sendall(data)
        return answer


def test_control_port(lab):
    # 2024-02-29 13:05:09.250 was a Thursday (4).
    date = struct.pack("<8H", 2024, 2, 4, 29, 13, 5, 9, 250)
    check(control_exchange(b"set_date", date) == b"\x01", "set_date asks for the date")
    line = lab.wait_for("control-command", command="set_date", date="2024-02-29")
    check(line is not None and line.get("time") == "13:05:09.250" and
          line.get("valid") == "yes" and line.get("result") == "ok", "set_date reported")

    bad = struct.pack("<8H", 2024, 2, 5, 29, 13, 5, 9, 250)
    control_exchange(b"set_date", bad)
    line = lab.wait_for("control-command", command="set_date", weekday="5")
    check(line is not None and line.get("valid") == "no", "wrong weekday is flagged")

    content = b"user=admin\n"
    data = b"admins.dat".ljust(64, b"\0") + struct.pack("<I", len(content)) + content
    check(control_exchange(b"copyfile", data) == b"\x01", "copyfile asks for the file")
    line = lab.wait_for("control-command", command="copyfile")
    check(line is not None and line.get("file") == "admins.dat" and
          line.get("size") == str(len(content)) and line.get("hex") == content.hex() and
          line.get("result") == "ok", "copyfile reported with name, size and content")


def http_exchange(address, port, request, half_close=False):
    """Sends request; returns (status code, {lower-case header: value}, body)."""
    with connect(address, port) as sock:
        sock.sendall(request)
        if half_close:
            sock.shutdown(socket.SHUT_WR)
        reply = b""
        while True:
            chunk = sock.recv(65536)
            if not chunk:
                break
            reply += chunk
    return parse_http_reply(reply)


def get(path, half_close=False, method="GET"):
    request = ("%s %s HTTP/1.1\r\nHost: x\r\n\r\n" % (method, path)).encode()
    return http_exchange("127.0.0.2", 8080, request, half_close)


def large_pattern(size):
    return b"".join(b"%015d\n" % offset for offset in range(0, size + 15, 16))[:size]


def test_web_page(lab):
    status, headers, page = get("/status.html")
    check(status == 200 and b"<h1>Lab printer 1</h1>" in page, "web page names the printer")
    check(headers.get("content-length") == str(len(page)), "page length announced")
    check(lab.wait_for("web-request", printer="127.0.0.2", path="/status.html") is not None,
          "web request reported")
    answer = lab.wait_for("web-answer", printer="127.0.0.2", path="/status.html")
    check(answer is not None and answer.get("status") == "200" and
          answer.get("bytes") == str(len(page)) and answer.get("sent") == "all",
          "web answer reported with status and size")

    resources = ["/style.css"] + ["/img/%d.svg" % n for n in range(1, 5)]
    for path in resources:
        check(('"%s"' % path).encode() in page, "page references " + path)
    status, headers, css = get("/style.css")
    check(status == 200 and headers.get("content-type", "").startswith("text/css") and
          b"--lab-stylesheet: applied" in css, "stylesheet served as text/css")
    for n in range(1, 5):
        status, headers, svg = get("/img/%d.svg" % n)
        check(status == 200 and headers.get("content-type") == "image/svg+xml" and
              svg.startswith(b"<svg ") and b'width="24"' in svg and
              (">%d</text>" % n).encode() in svg, "image %d served as SVG" % n)
    for path in ("/img/0.svg", "/img/5.svg", "/img/12.svg"):
        check(get(path)[0] == 404, path + " is not found")

    # The answer comes after the head, also when the client has already
    # shut down its writing half; every byte follows the pattern.
    for size in (0, 1, 17, 3 * 1048576 + 5):
        status, headers, body = get("/large?bytes=%d" % size, half_close=True)
        check(status == 200 and len(body) == size and body == large_pattern(size),
              "large body of %d bytes after a half-close" % size)
    status, _, body = get("/large")
    check(status == 200 and body == large_pattern(1048576), "large body defaults to 1 MiB")
    for query in ("bytes=", "bytes=x", "bytes=-1", "bytes=67108865", "size=5"):
        check(get("/large?" + query)[0] == 400, "bad large query " + query)
    status, headers, body = get("/large?bytes=100", method="HEAD")
    check(status == 200 and headers.get("content-length") == "100" and body == b"",
          "HEAD gets the headers only")
    check(get("/", method="POST")[0] == 405, "POST is not allowed")


def test_silence(lab, held):
    check(lab.wait_for("silent", timeout=10, printer="127.0.0.4") is not None,
          "silent-after reported")
    held.settimeout(5)
    try:
        closed = held.recv(1) == b""
    except socket.timeout:
        closed = False
    except ConnectionError:
        closed = True
    check(closed, "open status connection closed when silent")
    try:
        connect("127.0.0.4", 9101).close()
        refused = False
    except OSError:
        refused = True
    check(refused, "status port closed when silent")
    check("127.0.0.4" not in discovery_answers(REQUEST, "127.0.0.2", wait=0.5),
          "silent printer does not answer discovery")


def main():
    program = sys.argv[1]
    if [name for _, name in socket.if_nameindex()] != ["lo"]:
        print("refusing to run: needs a private network namespace (unshare -n)")
        return 2
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)

    lab = Lab(program, [
        "--web-port", "8080",
        "--printer", "127.0.0.2",
        "--printer", "127.0.0.3,name=A printer name of 32 characters!,info-length=20,"
                     "backup-size=100000",
        "--printer", "127.0.0.4,info-length=0,backup-size=1,discovery=short,silent-after=5",
    ])
    try:
        ready = lab.wait_for("ready")
        check(ready is not None and ready.get("printers") == "3", "ready printers=3")
        if ready is None:
            return 1
        held = connect("127.0.0.4", 9101)
        for test in (test_status_port, test_discovery, test_control_port,
                     test_web_page, lambda lab: test_silence(lab, held)):
            try:
                test(lab)
            except (OSError, struct.error) as error:
                check(False, "%s raised %r" % (getattr(test, "__name__", "test"), error))
        held.close()

        lab.process.send_signal(signal.SIGTERM)
        try:
            status = lab.process.wait(timeout=1.5)
        except subprocess.TimeoutExpired:
            status = None
        check(status == 0, "SIGTERM ends the program with status 0")
    finally:
        if lab.process.poll() is None:
            lab.process.kill()
            lab.process.wait()
    print("%d passed, %d failed" % (PASSED, FAILED))
    return 0 if FAILED == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
