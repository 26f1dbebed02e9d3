#!/usr/bin/env python3
"""Writes the seed corpus of every fuzz target into corpus/<target>/: valid
messages of every kind and the edge cases of each protocol. Files already
there (inputs that fuzzing found) are kept; the seeds are rewritten."""
import json
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
GUID = b"0f8fad5b-d9cb-469f-a165-70867728950e"


def header(kind, byte7=b"\0"):
    return b"Kestova" + byte7 + kind.ljust(8, b"\0")


def request(kind, value=0, fmt="<q", rest=b""):
    body = struct.pack("<h", kind) + b"\0" * 6 + struct.pack(fmt, value) + rest
    return body.ljust(68, b"\0")[:68]


def keepalive(version):
    return request(2, version)


def info_record(name=b"Office printer", model=b"Kestova MOZJV 300", status=b"Ready",
                serial=b"SN-0001", version=b"4.2.1", order=b"ORD-77", installed=1700000000, system=42):
    def field(text, size):
        return text[:size].ljust(size, b"\0")
    return (field(name, 32) + field(model, 32) + field(status, 32) + field(serial, 16) +
            field(version, 16) + field(order, 16) + struct.pack("<ii", installed, system))


STATUS_PRINTER = {
    "address": "10.0.0.16", "answered": True, "name": "Office", "model": "Kestova MOZJV 300", "status": "Ready",
    "session_up": True, "gateway": "10.0.0.48:4000", "sessions_started": 3, "last_keepalive": 1765184390,
    "last_backup": 1765181000, "last_backup_file": "/home/u/Documents/Orvel-Bridge/Backup-Office-1.wvtb",
    "failed_backups": 2, "last_backup_failed": False,
}
STATUS_RECORD = {
    "version": 1, "guid": GUID.decode(), "pid": 4242, "started": 1765180800, "written": 1765184400,
    "server": {"address": "wvt.example.test", "port": 52666, "reachable": True, "connected": True},
    "gateway_port": 40123, "responder": False, "printer_tunnel": {"port": 8080, "printer": "10.0.0.16"},
    "slaves": [{"guid": "slave-guid", "address": "10.0.0.32"}],
    "gateways": [{"guid": "gateway-guid", "address": "10.0.0.48", "port": 4000}],
    "printers": [STATUS_PRINTER, dict(STATUS_PRINTER, address="10.0.0.17", answered=False, gateway=None,
                                      last_keepalive=None, last_backup=None, last_backup_file=None)],
}

SEEDS = {
    "discovery_finder": {
        "printer_response_16_bytes": header(b"HereMI"),
        "printer_response_with_body": header(b"HereMI") + b"model=x\n" + b"\0" * 40,
        "bridge_response": header(b"Bridge") + b"guid=" + GUID,
        "bridge_response_crlf_blanks": header(b"Bridge") + b" guid = " + GUID + b" \r\nother=1\r\n",
        "bridge_response_no_guid": header(b"Bridge") + b"gateway_port=8000",
        "bridge_response_empty_guid": header(b"Bridge") + b"guid=",
        "bridge_response_guid_twice": header(b"Bridge") + b"guid=a\nguid=b",
        "short_15_bytes": header(b"HereMI")[:15],
        "wrong_tag": b"Kestovx\0HereMI\0\0",
        "other_kind": header(b"WhoRU") + b"\0" * 48,
        "byte7_not_zero": header(b"HereMI", b"\x7f"),
    },
    "discovery_responder": {
        "printers_request": header(b"WhoRU") + b"\0" * 48,
        "bridges_request": header(b"WhoRU") + b"guid=" + GUID + b"\ngateway_port=8000",
        "bridges_request_port_first": header(b"WhoRU") + b"gateway_port=52666\nguid=" + GUID,
        "port_not_a_number": header(b"WhoRU") + b"guid=g\ngateway_port=http",
        "port_above_65535": header(b"WhoRU") + b"guid=g\ngateway_port=65536",
        "port_65535": header(b"WhoRU") + b"guid=g\ngateway_port=65535",
        "port_signed": header(b"WhoRU") + b"guid=g\ngateway_port=-1",
        "port_missing": header(b"WhoRU") + b"guid=g",
        "guid_empty": header(b"WhoRU") + b"guid=\ngateway_port=8000",
        "kind_tail_ignored": b"Kestova\x01WhoRUxyz" + b"guid=g\ngateway_port=1",
        "short_15_bytes": header(b"WhoRU")[:15],
        "bridge_response": header(b"Bridge") + b"guid=" + GUID,
    },
    "discovery_params": {
        "request_text": b"guid=" + GUID + b"\ngateway_port=8000",
        "later_line_wins": b"guid=a\nguid=b",
        "blanks_and_crlf": b" guid = a \r\n\tgateway_port\t=\v8000\f\r\n",
        "empty_lines_and_no_equals": b"\n\nno equals sign\n=\n",
        "empty_key_and_value": b"=empty key\nempty=",
        "equals_in_value": b"guid=a=b=c",
        "empty": b"",
    },
    "printer_info": {
        "full_record": struct.pack("<h", 152) + info_record(),
        "no_payload": struct.pack("<h", 0),
        "negative_length": struct.pack("<h", -1),
        "short_payload": struct.pack("<h", 10) + b"Short name",
        "payload_longer_than_record": struct.pack("<h", 200) + info_record() + b"\xee" * 48,
        "fields_without_nul": struct.pack("<h", 152) + info_record(b"N" * 40, b"M" * 40, b"S" * 40, b"s" * 20,
                                                                   b"v" * 20, b"o" * 20, -1, -2147483648),
        "name_with_path_characters": struct.pack("<h", 152) + info_record(name=b"..\\a/b<c>d:e\"f|g?h*"),
        "name_with_control_bytes": struct.pack("<h", 152) + info_record(name=b"x\n[ERROR] - \x1b[31m\xff\xfe"),
        "payload_cut_short": struct.pack("<h", 152) + info_record()[:60],
        "largest_length": struct.pack("<h", 32767) + b"\0" * 16,
    },
    "backup_reader": {
        # control byte: piece limit (bits 0-2), closed (3), error (4), full disk (5)
        "small_backup_one_piece": bytes([7]) + struct.pack("<I", 5) + b"hello",
        "small_backup_byte_by_byte": bytes([0]) + struct.pack("<I", 5) + b"hello",
        "backup_of_several_chunks": bytes([7]) + struct.pack("<I", 40000) + bytes(range(256)) * 156 + b"\x01" * 64,
        "size_zero": bytes([7]) + struct.pack("<I", 0),
        "size_above_one_gibibyte": bytes([7]) + struct.pack("<I", 1073741825) + b"x" * 10,
        "size_one_gibibyte_cut_short": bytes([6]) + struct.pack("<I", 1073741824) + b"x" * 5000,
        "size_cut_short_closed": bytes([8]) + b"\x05\x00",
        "size_cut_short_timed_out": bytes([1]) + b"\x05",
        "size_cut_short_error": bytes([16]) + b"\x05\x00\x00",
        "content_cut_short_closed": bytes([11]) + struct.pack("<I", 100) + b"y" * 50,
        "content_cut_short_error": bytes([20]) + struct.pack("<I", 100) + b"y" * 50,
        "disk_fills": bytes([32 | 2]) + struct.pack("<I", 20) + b"z" * 20,
        "nothing_sent": bytes([8]),
    },
    "control_answer": {
        # answer byte, eight bytes of local time (year offset from 1400,
        # month, day, hour, minute, second, milliseconds), then a file
        "nothing_wanted": b"\0",
        "date_wanted": b"\x01" + struct.pack("<H", 626) + bytes([0, 14, 13, 45, 7]) + b"\x00",
        "leap_day": b"\x01" + struct.pack("<H", 624) + bytes([1, 28, 23, 59, 59]) + b"\x00",
        "last_moment": b"\xff" + struct.pack("<H", 8599) + bytes([11, 30, 23, 59, 59]) + b"\xe7",
        "password_file": b"\x01" + b"\0" * 8 + b"admin:secret\n" * 4,
        "answer_without_data": b"\x02",
    },
    "session_loop": {
        # control byte: status length (bits 0-5), files refused (6), replies
        # fail after the third (7); then the server's stream
        "keepalive_no_file_wanted": bytes([5]) + keepalive(-1),
        "keepalive_empty_file": bytes([5]) + keepalive(0) + struct.pack("<I", 0) + keepalive(0),
        "keepalive_with_file": bytes([5]) + keepalive(3) + struct.pack("<I", 12) + b"admin:secret" + keepalive(3),
        "keepalive_versions_up_and_down": bytes([5]) + keepalive(7) + struct.pack("<I", 0) + keepalive(2) +
                                          keepalive(9) + struct.pack("<I", 1) + b"x" + keepalive(-5),
        "file_of_several_pieces": bytes([5]) + keepalive(4) + struct.pack("<I", 70000) + bytes(range(256)) * 273 +
                                  b"e" * 112 + keepalive(4),
        "file_above_limit": bytes([5]) + keepalive(1) + struct.pack("<I", 8 * 1024 * 1024 + 1),
        "file_length_cut_short": bytes([5]) + keepalive(1) + b"\x10\x00",
        "file_cut_short": bytes([5]) + keepalive(1) + struct.pack("<I", 100) + b"p" * 40,
        "tunnel_request_port_80": bytes([5]) + request(1, 80, "<H"),
        "other_types_ignored": bytes([5]) + request(8) + request(-1) + request(4) + request(6) + keepalive(-1),
        "full_status_text": bytes([32]) + keepalive(-1) + keepalive(0) + struct.pack("<I", 0),
        "no_status_text": bytes([0]) + keepalive(-1),
        "message_cut_short": bytes([5]) + keepalive(-1)[:30],
        "file_refused_by_printer": bytes([64 | 5]) + keepalive(1) + struct.pack("<I", 3) + b"abc" + keepalive(1),
        "replies_fail": bytes([128 | 5]) + keepalive(-1) * 5,
        "silent_server": bytes([5]),
    },
    "status_record": {
        "full_record": json.dumps(STATUS_RECORD, indent=2).encode(),
        "empty_record": json.dumps(dict(STATUS_RECORD, printers=[], slaves=[], gateways=[],
                                        printer_tunnel=None, gateway_port=None)).encode(),
        "device_texts_escaped": json.dumps(dict(STATUS_RECORD, printers=[dict(
            STATUS_PRINTER, name="Q\"uote\\Back\nLine\u001b[2J", model="Caf\u00e9 \ud83d\udda8")])).encode(),
        "version_2": json.dumps(dict(STATUS_RECORD, version=2)).encode(),
        "cut_short": json.dumps(STATUS_RECORD).encode()[:200],
        "numbers_out_of_range": json.dumps(dict(STATUS_RECORD, written=2 ** 63, started=1.5,
                                                gateway_port=65536)).encode(),
        "huge_exponent": b'{"version": 1e999}',
        "lone_surrogate": b'{"version": 1, "guid": "\\ud800"}',
        "invalid_utf8": b'{"version": 1, "guid": "\xff\xfe"}',
        "repeated_member": b'{"version": 2, "version": 1, "guid": "g", "started": 1, "written": 1, '
                           b'"server": {"connected": true}, "printers": []}',
        "gateway_without_port": json.dumps(dict(STATUS_RECORD, printers=[dict(
            STATUS_PRINTER, gateway="10.0.0.48")])).encode(),
        "wrong_types": json.dumps(dict(STATUS_RECORD, server=[], slaves={}, printers=[1, None])).encode(),
        "deep_nesting": b"[" * 100000 + b"]" * 100000,
        "text_after_record": json.dumps(STATUS_RECORD).encode() + b" x",
        "byte_order_mark": b"\xef\xbb\xbf" + json.dumps(STATUS_RECORD).encode(),
    },
}


def main():
    for target, seeds in SEEDS.items():
        folder = os.path.join(HERE, "corpus", target)
        os.makedirs(folder, exist_ok=True)
        for name, data in seeds.items():
            with open(os.path.join(folder, "seed_" + name), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
