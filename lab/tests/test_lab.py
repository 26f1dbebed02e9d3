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

    def wait_all(self, event, count, timeout=5.0, **fields):
        """The report lines of this event with these fields, in order, once
        there are count of them (or the time is up)."""
        deadline = time.monotonic() + timeout
        while True:
            found = [values for _, name, values in map(parse_report, self.seen)
                     if name == event and all(values.get(k) == v for k, v in fields.items())]
            left = deadline - time.monotonic()
            if len(found) >= count or left <= 0:
                return found
            try:
                self.seen.append(self.lines.get(timeout=left))
            except queue.Empty:
                return found


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


def control_exchange(command, data, printer="127.0.0.2"):
    with connect(printer, 9102) as sock:
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
    line = lab.wait_for("control-command", printer="127.0.0.2", command="copyfile")
    check(line is not None and line.get("file") == "admins.dat" and
          line.get("size") == str(len(content)) and line.get("hex") == content.hex() and
          line.get("result") == "ok", "copyfile reported with name, size and content")


def test_status_change_and_decline(lab, later):
    """Printer 127.0.0.8: status Idle, "Busy now" from 3 s on; declines control commands."""
    with connect("127.0.0.8", 9101) as sock:
        check(text_field(ask_info(sock)[1], 64, 32) == ("Busy now" if later else "Idle"),
              "status %s status-after" % ("after" if later else "before"))
    wanted = "Busy\\x20now" if later else "Idle"
    check(lab.wait_for("status-answer", printer="127.0.0.8", code="4", status=wanted) is not None,
          "status-answer names the status")
    if later:
        return
    check(control_exchange(b"copyfile", b"", "127.0.0.8") == b"\0", "control-answer=0 declines")
    line = lab.wait_for("control-command", printer="127.0.0.8", command="copyfile")
    check(line is not None and line.get("result") == "declined" and line.get("extra") == "0",
          "a decline followed by nothing: %r" % (line,))
    with connect("127.0.0.8", 9102) as sock:
        sock.sendall(b"set_date".ljust(16, b"\0"))
        check(recv_exact(sock, 1) == b"\0", "set_date declined too")
        sock.sendall(bytes(10))
    line = lab.wait_for("control-command", printer="127.0.0.8", command="set_date")
    check(line is not None and line.get("result") == "declined" and line.get("extra") == "10",
          "bytes sent after a decline are counted: %r" % (line,))


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


def fnv1a(data):
    value = 2166136261
    for byte in data:
        value = ((value ^ byte) * 16777619) & 0xFFFFFFFF
    return "%08x" % value


def splitmix_bytes(seed, size):
    """The simulator's random backup content: byte i of splitmix64(seed + i/8)."""
    mask = (1 << 64) - 1
    out = bytearray()
    for word in range((size + 7) // 8):
        z = (seed + word + 0x9E3779B97F4A7C15) & mask
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & mask
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & mask
        z ^= z >> 31
        out += z.to_bytes(8, "little")
    return bytes(out[:size])


def test_backup_faults(lab):
    with connect("127.0.0.5", 9101) as sock:
        size, content = ask_backup(sock)
        check(size == 70000 and content == splitmix_bytes(42, 70000),
              "backup-content=random with backup-seed=42 follows the documented stream")
    line = lab.wait_for("status-answer", printer="127.0.0.5", code="3")
    check(line is not None and line.get("content") == "random" and
          line.get("fnv1a") == fnv1a(splitmix_bytes(42, 70000)) and
          line.get("result") == "complete" and line.get("bytes") == "70004",
          "random backup reported with its hash")

    # Cut: more than 1 GiB announced, 1000 zero bytes, then the end.
    with connect("127.0.0.6", 9101) as sock:
        sock.sendall(b"\x03")
        (size,) = struct.unpack("<I", recv_exact(sock, 4))
        check(size == 1073741825, "backup-size above 1 GiB is announced")
        rest = b""
        while True:
            chunk = sock.recv(65536)
            if not chunk:
                break
            rest += chunk
        check(rest == bytes(1000), "backup-cut=1000 sends 1000 zero bytes, then closes")
    line = lab.wait_for("status-answer", printer="127.0.0.6", code="3")
    check(line is not None and line.get("result") == "cut" and line.get("sent") == "1000" and
          line.get("content") == "zero", "cut backup reported")

    # Stall: the largest size announced, 300 bytes, then silence on an open connection.
    with connect("127.0.0.7", 9101) as sock:
        sock.sendall(b"\x03")
        (size,) = struct.unpack("<I", recv_exact(sock, 4))
        check(size == 4294967295, "backup-size=4294967295 is announced")
        check(recv_exact(sock, 300) == pattern(300), "backup-stall=300 sends 300 bytes")
        check(lab.wait_for("status-answer", printer="127.0.0.7", code="3", result="stalled")
              is not None, "stalled backup reported")
        sock.settimeout(0.5)
        try:
            more = sock.recv(1)
            silent = False
        except socket.timeout:
            more, silent = None, True
        check(silent, "a stalled backup neither sends more nor closes (got %r)" % (more,))
    check(lab.wait_for("status-close", printer="127.0.0.7") is not None,
          "stalled connection ends when the peer closes")


def text(value, size):
    return value.encode()[:size].ljust(size, b"\0")


def registration(name, model, status="Ready", version="1.0.0", serial="LAB0001",
                 order="ORD-1", installed=1700000000, system_id=1001,
                 protocol="6.04", platform="Linux (x86_64)"):
    request = struct.pack("<h", 8) + text(name[:31], 32) + text(model, 32) + b"\0\0"
    data = (text(status, 32) + text(version, 16) + text(serial, 16) + text(order, 16) +
            struct.pack("<ii", installed, system_id) + text(protocol, 16) + text(platform, 16))
    assert len(request) == 68 and len(data) == 120
    return request + data


class FakeBridge:
    """Plays the bridge's side of one session; keeps what the server sent."""

    def __init__(self, port, first_bytes):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=5)
        self.sock.sendall(first_bytes)
        self.last_version = -1
        self.keepalives = []      # the 68 bytes of each keep-alive
        self.replies = []         # the type of each reply
        self.files = []           # the password files received
        self.tunnels = []         # the 68 bytes of each tunnel request

    def reply(self, message, status, damage=None):
        """Answers a keep-alive as the bridge does; returns the reply type."""
        (version,) = struct.unpack_from("<q", message, 8)
        kind = 6 if version > self.last_version else 4
        if kind == 6:
            self.last_version = version
        answer = bytearray(message)
        answer[0:2] = struct.pack("<h", kind)
        answer[2:2 + len(status) + 1] = status.encode() + b"\0"
        if damage is not None:
            answer[damage] ^= 0xFF
        self.sock.sendall(bytes(answer))
        self.replies.append(kind)
        return kind

    def receive_file(self):
        (length,) = struct.unpack("<I", recv_exact(self.sock, 4))
        self.files.append(recv_exact(self.sock, length))

    def next_message(self):
        message = recv_exact(self.sock, 68)
        if len(message) == 68 and struct.unpack_from("<h", message)[0] == 2:
            self.keepalives.append(message)
        elif len(message) == 68 and struct.unpack_from("<h", message)[0] == 1:
            self.tunnels.append(message)
        return message


def open_tunnel(server_port, request, printer, timeout=5):
    """The bridge's tunnel: a new server connection that starts with the 68
    request bytes, joined to the printer's port (one answer, then the end)."""
    (port,) = struct.unpack_from("<H", request, 8)
    with socket.create_connection(("127.0.0.1", server_port), timeout=timeout) as server, \
            socket.create_connection((printer, port), timeout=timeout) as target:
        server.sendall(request)
        head = b""
        while b"\r\n\r\n" not in head:
            chunk = server.recv(4096)
            if not chunk:
                break
            head += chunk
        target.sendall(head)
        answer = b""
        while True:
            chunk = target.recv(65536)
            if not chunk:
                break
            answer += chunk
        server.sendall(answer)
        server.shutdown(socket.SHUT_WR)
        server.recv(1)  # the server closes once it has the whole answer
    return head, answer


def test_server_session(lab, server_port):
    listen = lab.wait_for("server-listen")
    check(listen is not None and listen.get("address") == "127.0.0.1" and
          listen.get("port") == str(server_port) and listen.get("keepalive") == "0.2",
          "server-listen names the chosen port and the keep-alive period")

    name = "A printer name that is too long for the field"
    bridge = FakeBridge(server_port, registration(name, "LabJet 1000", installed=-5,
                                                  system_id=-77))
    line = lab.wait_for("server-register", session="1")
    expected = {"name": "A\\x20printer\\x20name\\x20that\\x20is\\x20too\\x20long",
                "model": "LabJet\\x201000", "status": "Ready", "version": "1.0.0",
                "serial": "LAB0001", "order": "ORD-1", "installed": "-5",
                "system-id": "-77", "protocol": "6.04",
                "platform": "Linux\\x20(x86_64)", "valid": "yes", "first-bytes": "188"}
    check(line is not None and all(line.get(k) == v for k, v in expected.items()),
          "registration recorded field by field: %r" % (line,))
    check(line is not None and line.get("hex") == registration(
        name, "LabJet 1000", installed=-5, system_id=-77).hex(), "registration bytes in hex")
    check(lab.wait_for("server-session", session="1") is not None, "session reported")

    # Versions -1, 0, 0, 2: the bridge answers 4, 6 (file), 4 (one byte
    # damaged on purpose), 6 (file); a tunnel request for port 8080 comes
    # tunnel-after into the session. Every keep-alive is answered, as the
    # bridge does: the server sends nothing while one waits for its reply, so
    # a keep-alive left unanswered would hold back a tunnel request that was
    # not sent yet (when the fourth reply comes late, the fifth keep-alive is
    # due before the request goes out).
    statuses = ["Ready", "Printing", "Out of paper", "Ready"]
    while len(bridge.replies) < 4 or not bridge.tunnels:
        message = bridge.next_message()
        if len(message) < 68:
            break
        if struct.unpack_from("<h", message)[0] == 2:
            n = len(bridge.replies)
            status = statuses[n] if n < 4 else "Ready"
            if bridge.reply(message, status, damage=60 if n == 2 else None) == 6:
                bridge.receive_file()
    versions = [struct.unpack_from("<q", m, 8)[0] for m in bridge.keepalives[:4]]
    check(versions == [-1, 0, 0, 2], "keep-alive versions follow password-version: %r" % versions)
    check(all(m[16:] == bytes((i * 29 + 3) & 0xFF for i in range(16, 68))
              for m in bridge.keepalives), "unused keep-alive bytes carry the fill pattern")
    check(bridge.replies[:4] == [4, 6, 4, 6] and 6 not in bridge.replies[4:],
          "replies as the bridge's rule gives them: %r" % bridge.replies)
    password = bytes((i * 31 + 7) & 0xFF for i in range(3000))
    check(bridge.files == [password, password], "password file of password-size bytes, twice")

    reported = lab.wait_all("server-reply", 4, session="1")
    check(len(reported) >= 4, "four replies reported")
    for number, (kind, status) in enumerate(zip(bridge.replies, statuses)):
        reply = reported[number] if number < len(reported) else None
        check(reply is not None and reply.get("type") == str(kind) and
              reply.get("expected") == str(kind) and
              reply.get("status") == status.replace(" ", "\\x20"),
              "reply %d reported with its type and status" % number)
        if number == 2:
            check(reply is not None and reply.get("echo") == "changed" and
                  reply.get("changed-at") == "60", "a damaged reply is reported as changed")
        else:
            check(reply is not None and reply.get("echo") == "ok", "reply %d echoes" % number)
    sent = lab.wait_all("server-passwords", 2, session="1")
    check(len(sent) == 2 and all(v.get("size") == "3000" and v.get("sent") == "3000" and
                                 v.get("fnv1a") == fnv1a(password) and v.get("result") == "ok"
                                 for v in sent), "password transfers reported with their hash")

    # The file delivered to a printer is reported with the same hash.
    data = b"admins.dat".ljust(64, b"\0") + struct.pack("<I", len(password)) + password
    control_exchange(b"copyfile", data)
    line = lab.wait_for("control-command", command="copyfile", size="3000")
    check(line is not None and line.get("fnv1a") == fnv1a(password) and
          line.get("result") == "ok", "printer reports the password file's size and hash")

    # The tunnel: matched to the session, a page fetched through it.
    request = bridge.tunnels[0] if bridge.tunnels else bytes(68)
    check(struct.unpack_from("<hxxxxxxH", request) == (1, 8080), "tunnel request for port 8080")
    asked = lab.wait_for("server-tunnel-request", session="1")
    head, answer = open_tunnel(server_port, request, "127.0.0.2")
    check(head.startswith(b"GET /img/2.svg HTTP/1.1\r\n"), "server asks for tunnel-path")
    connect_line = lab.wait_for("server-tunnel-connect", session="1")
    check(asked is not None and connect_line is not None and
          connect_line.get("tunnel") == asked.get("tunnel") and
          connect_line.get("port") == "8080" and connect_line.get("match") == "yes",
          "tunnel connection matched to the request")
    body = parse_http_reply(answer)[2]
    line = lab.wait_for("server-tunnel-answer", session="1")
    check(line is not None and line.get("status") == "200" and
          line.get("bytes") == str(len(body)) and line.get("fnv1a") == fnv1a(body) and
          line.get("complete") == "yes" and len(body) > 0, "tunnelled answer reported")

    # A connection that echoes an unknown request is not served.
    forged = bytearray(request)
    forged[20] ^= 0x55
    with socket.create_connection(("127.0.0.1", server_port), timeout=5) as sock:
        sock.sendall(bytes(forged))
        check(sock.recv(1) == b"", "unmatched tunnel connection closed")
    check(lab.wait_for("server-tunnel-connect", match="no") is not None, "unmatched tunnel reported")
    socket.create_connection(("127.0.0.1", server_port), timeout=5).close()
    check(lab.wait_for("server-empty") is not None, "a connection closed at once is reported")
    with socket.create_connection(("127.0.0.1", server_port), timeout=5) as sock:
        sock.sendall(struct.pack("<h", 3) + bytes(66))
        check(sock.recv(1) == b"", "a connection of another type is closed")
    check(lab.wait_for("server-unknown", type="3", bytes="68") is not None,
          "a connection of another type is reported")

    bridge.sock.close()
    end = lab.wait_for("server-session-end", session="1")
    check(end is not None and end.get("reason") == "closed", "session end reported: %r" % (end,))

    # A registration that breaks the rules is recorded as invalid.
    bad = bytearray(registration("Bad", "Model", protocol="6.05", platform="Win"))
    bad[33] = ord("x")
    with socket.create_connection(("127.0.0.1", server_port), timeout=5) as sock:
        sock.sendall(bytes(bad) + b"extra")
        line = lab.wait_for("server-register", session="2")
        problems = (line or {}).get("problems", "").split(",")
        check(line is not None and line.get("valid") == "no" and
              {"name-byte-33", "protocol", "platform"} <= set(problems) and
              line.get("first-bytes") == "193", "invalid registration: %r" % (line,))
    # A session left open when the program stops ends with reason=stopped.
    held = FakeBridge(server_port, registration("Held", "Model"))
    check(lab.wait_for("server-register", session="3") is not None, "third session registered")
    return held


def test_server_faults(program):
    """Hostile password length, then silence, then the close."""
    lab = Lab(program, ["--web-port", "0", "--server",
                        "127.0.0.1:0,keepalive=0.2,password-version=5,password-size=10,"
                        "password-length=4000000000,silent-after=1,close-after=2.5,"
                        "for=Calm,password-length=0,close-after=1.5"])
    try:
        listen = lab.wait_for("server-listen")
        check(listen is not None, "fault server listens")
        if listen is None:
            return
        # A for=NAME section changes only that printer's sessions.
        calm = FakeBridge(int(listen["port"]), registration("Calm", "Model"))
        check(calm.reply(calm.next_message(), "Ready") == 6, "Calm asks for the file")
        check(recv_exact(calm.sock, 4) == bytes(4), "for=Calm: Calm is announced length 0")
        while len(calm.next_message()) == 68:
            calm.reply(calm.keepalives[-1], "Ready")
        end = lab.wait_for("server-session-end", name="Calm")
        check(end is not None and end.get("reason") == "close-after" and
              lab.wait_for("server-passwords", name="Calm").get("size") == "0",
              "for=Calm: Calm's own length and close-after: %r" % (end,))
        calm.sock.close()
        bridge = FakeBridge(int(listen["port"]), registration("Faulty", "Model"))
        bridge.sock.settimeout(5)
        message = bridge.next_message()
        check(bridge.reply(message, "Ready") == 6, "version 5 asks for the file")
        (length,) = struct.unpack("<I", recv_exact(bridge.sock, 4))
        check(length == 4000000000 and recv_exact(bridge.sock, 10) ==
              bytes((i * 31 + 7) & 0xFF for i in range(10)),
              "password-length announces 4000000000 and only the file follows")
        line = lab.wait_for("server-passwords", name="Faulty")
        check(line is not None and line.get("size") == "4000000000" and line.get("sent") == "10",
              "hostile length reported")
        while True:
            message = bridge.next_message()
            if len(message) < 68:
                break
            bridge.reply(message, "Ready")
        end = lab.wait_for("server-session-end", timeout=5, name="Faulty")
        check(end is not None and end.get("reason") == "close-after", "close-after ends the session")
        order = [name for _, name, values in map(parse_report, lab.seen) if values.get("name") == "Faulty"]
        silent_at = order.index("server-silent") if "server-silent" in order else None
        check(silent_at is not None and "server-keepalive" not in order[silent_at:],
              "no keep-alive after server-silent")
        check(len(bridge.keepalives) == order.count("server-keepalive") and
              order.count("server-keepalive") >= 2, "every keep-alive reached the bridge")
    finally:
        lab.process.kill()
        lab.process.wait()


def main():
    program = sys.argv[1]
    if [name for _, name in socket.if_nameindex()] != ["lo"]:
        print("refusing to run: needs a private network namespace (unshare -n)")
        return 2
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)

    # A port that was free a moment ago: the namespace is private.
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        server_port = probe.getsockname()[1]
    lab = Lab(program, [
        "--web-port", "8080",
        "--printer", "127.0.0.2",
        "--printer", "127.0.0.3,name=A printer name of 32 characters!,info-length=20,"
                     "backup-size=100000",
        "--printer", "127.0.0.4,info-length=0,backup-size=1,discovery=short,silent-after=5",
        "--printer", "127.0.0.5,discovery=none,backup-size=70000,backup-content=random,"
                     "backup-seed=42",
        "--printer", "127.0.0.6,discovery=none,backup-size=1073741825,backup-content=zero,"
                     "backup-cut=1000",
        "--printer", "127.0.0.7,discovery=none,backup-size=4294967295,backup-stall=300",
        "--printer", "127.0.0.8,discovery=none,status=Idle,status-after=3:Busy now,control-answer=0",
        "--server", "127.0.0.1:%d,keepalive=0.2,password-version=-1:0:0:2,password-size=3000,"
                    "tunnel-port=8080,tunnel-after=1,tunnel-path=/img/2.svg" % server_port,
    ])
    try:
        ready = lab.wait_for("ready")
        check(ready is not None and ready.get("printers") == "7", "ready printers=7")
        if ready is None:
            return 1
        held = connect("127.0.0.4", 9101)
        sessions = []  # kept open until the program stops
        for test in (lambda lab: test_status_change_and_decline(lab, False),
                     test_status_port, test_discovery, test_control_port,
                     test_web_page, test_backup_faults,
                     lambda lab: sessions.append(test_server_session(lab, server_port)),
                     lambda lab: test_silence(lab, held),
                     lambda lab: test_status_change_and_decline(lab, True)):
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
        end = lab.wait_for("server-session-end", session="3")
        check(end is not None and end.get("reason") == "stopped", "open session ends as stopped")
    finally:
        if lab.process.poll() is None:
            lab.process.kill()
            lab.process.wait()
    try:
        test_server_faults(program)
    except (OSError, struct.error) as error:
        check(False, "test_server_faults raised %r" % (error,))
    print("%d passed, %d failed" % (PASSED, FAILED))
    return 0 if FAILED == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
