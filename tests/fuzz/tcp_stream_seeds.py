#!/usr/bin/python3
# Writes the seeds of tcp_stream_fuzz: segment sequences of the evasion kind
# (tiny segments, reversed order, overlaps with other bytes, a decoy before
# the stream, a hole left open past the gap timeout, sequence wrap).
# Record: flags, signed 16-bit offset, window / 256, length, payload.
import os
import struct

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "tcp_stream_fuzz")


def rec(offset, payload=b"", server=False, syn=False, ack_only=False, step=0, window=0xFA):
    flags = (1 if server else 0) | (2 if syn else 0) | (4 if ack_only else 0) | (step << 3)
    return struct.pack(">BhBB", flags, offset, window, len(payload)) + payload


def handshake():
    return rec(-1, syn=True) + rec(-1, server=True, syn=True) + rec(0, ack_only=True)


REQUEST = b"GET / HTTP/1.1\r\nHost: blocked.example\r\n\r\n"
HELLO = bytes([0x16, 0x03, 0x01, 0x00, 0x30]) + bytes([0x01, 0x00, 0x00, 0x2C]) + bytes(range(0x2C))

seeds = {
    "one_byte_segments": handshake() + b"".join(rec(i, REQUEST[i:i + 1]) for i in range(len(REQUEST))),
    "reversed": handshake() + rec(16, REQUEST[16:]) + rec(0, REQUEST[:16]),
    "reversed_tiny": handshake() + b"".join(rec(i, HELLO[i:i + 1]) for i in reversed(range(len(HELLO)))),
    "overlap_other_bytes": handshake() + rec(8, b"Host: allowed.test") + rec(4, b"XXXXHost: blocked.example")
    + rec(0, b"GET "),
    "decoy_before_stream": handshake() + rec(-20, b"GET / HTTP/1.1\r\nHost: allowed.test\r\n\r\n") + rec(0, REQUEST),
    "length_then_body": handshake() + rec(0, b"\x00") + rec(1, b"\x28") + rec(2, b"\x05" * 20)
    + rec(22, b"\xff" * 20),
    "gap_timeout": handshake() + rec(10, b"later") + rec(0, b"x", server=True, step=3) + rec(0, b"early....."),
    "beyond_window": handshake() + rec(0, b"abc", server=True, ack_only=True, window=0) + rec(3000, b"far")
    + rec(0, b"near"),
    "duplicates": handshake() + rec(0, b"\x00\x10") + b"".join(rec(0, b"\x00\x10") for _ in range(40)),
}

os.makedirs(OUT, exist_ok=True)
for name, data in seeds.items():
    with open(os.path.join(OUT, name), "wb") as f:
        f.write(data)
