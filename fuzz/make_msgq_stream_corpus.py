#!/usr/bin/env python3
"""Writes the seed inputs of msgq_stream_fuzz into fuzz/corpus/msgq_stream/.

Input layout: byte 0 % 3 picks the connection (0 ordinary, registered as
advd first; 1 ordinary, registers by itself; 2 application header: 6 bytes,
the big-endian total length at byte 2), byte 0 / 3 % 2 makes the peer read
what the server sends, byte 1 + 1 is the piece size, then the stream. A payload whose first byte (last byte for application-header
messages) is odd is echoed back.
"""
import os
import struct

ADVD, ZORD, XFWD, CTLAGENT = 1, 2, 3, 4


def msg(src, tgt, typ, payload=b"", size=None):
    size = 8 + len(payload) if size is None else size
    return struct.pack("<HHBBBB", 0xBEAF, size, src, tgt, typ, 0x0C) + payload


def data(payload, size=None):
    return msg(ADVD, ZORD, 2, payload, size)


def register(src=ADVD, tgt=ZORD):
    return msg(src, tgt, 1)


def app(body, total=None):
    total = 6 + len(body) if total is None else total
    return b"\xaa\xbb" + struct.pack(">H", total) + b"hd" + body


SEEDS = {
    "two_messages": bytes([0, 255]) + data(b"\x02hello") + data(b"\x02world"),
    "byte_by_byte": bytes([0, 0]) + data(b"\x02split into single bytes"),
    "bad_size_then_valid": bytes([0, 255]) + data(b"", 8) + data(b"", 3) + data(b"\x02after"),
    "register_again": bytes([0, 255]) + data(b"\x02x") + register(),
    "echo_many": bytes([0, 200]) + b"".join(data(bytes([1]) + bytes(300)) for _ in range(20)),
    "echo_fills_socket": bytes([0, 255]) + b"".join(data(b"\x01" + bytes(2999)) for _ in range(8)),
    "echo_read_back": bytes([3, 255]) + b"".join(data(b"\x01" + bytes(2999)) for _ in range(8)),
    "app_echo_read_back": bytes([5, 255]) + b"".join(app(bytes(2000) + b"\x01") for _ in range(6)),
    "largest": bytes([0, 255]) + data(b"\x03" + bytes(65526)),
    "cut_mid_body": bytes([0, 31]) + data(b"\x02" + bytes(1999))[:900],
    "tmp_register_pieces": bytes([1, 3]) + register() + data(b"\x03echo me"),
    "tmp_data_first": bytes([1, 255]) + data(b"\x02too early"),
    "tmp_unknown_pair": bytes([1, 255]) + register(CTLAGENT, ZORD) + data(b"\x02x"),
    "tmp_register_xfwd_wrong_target": bytes([1, 255]) + register(ADVD, XFWD),
    "app_messages": bytes([2, 4]) + app(b"one\x01") + app(b"two\x02") + app(bytes(300) + b"\x01"),
    "app_bad_length": bytes([2, 255]) + app(b"ok\x02") + app(b"", 6),
    "app_cut": bytes([2, 255]) + app(bytes(100))[:50],
}

if __name__ == "__main__":
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "msgq_stream")
    os.makedirs(out, exist_ok=True)
    for name, blob in SEEDS.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(blob)
