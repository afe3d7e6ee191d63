#!/usr/bin/python3
"""Seeds for tests/fuzz/tls_dns_fuzz.cpp in its shifted-sequence mode: the
ClientHello curl sent in tests/captures/tls/tls_cases.pcap (its second
connection) in 17-byte segments (31 of them), in 32 records of a segment each, with two
segments out of order and with an overlapping segment carrying other bytes.

    scripts/gen-tls-stream-seeds.py   (writes tests/fuzz/corpus/tls_dns_fuzz/stream_*)
"""
import os
import struct

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CAPTURE = os.path.join(ROOT, "tests/captures/tls/tls_cases.pcap")
OUT = os.path.join(ROOT, "tests/fuzz/corpus/tls_dns_fuzz")


def client_hellos(path):
    """TCP payloads of the capture that start a ClientHello record."""
    data = open(path, "rb").read()
    assert data[:4] == b"\xd4\xc3\xb2\xa1" and data[20] == 1, "little-endian Ethernet pcap"
    pos, out = 24, []
    while pos + 16 <= len(data):
        length = struct.unpack_from("<I", data, pos + 8)[0]
        frame = data[pos + 16:pos + 16 + length]
        pos += 16 + length
        if len(frame) < 54 or frame[12:14] != b"\x08\x00" or frame[23] != 6:
            continue
        ihl = (frame[14] & 15) * 4
        total = struct.unpack_from(">H", frame, 16)[0]
        tcp = 14 + ihl
        payload = frame[tcp + (frame[tcp + 12] >> 4) * 4:14 + total]
        if len(payload) > 5 and payload[0] == 0x16 and payload[1] == 3 and payload[5] == 1:
            out.append(payload)
    return out


def seed(chunks):
    """Mode byte (TCP to port 443, shifted sequence numbers), then each
    chunk: 15-bit length (client to server), a signed sequence shift, bytes."""
    out = bytearray([0x04])
    for shift, payload in chunks:
        out += struct.pack(">H", len(payload) + 1) + struct.pack("b", shift) + payload
    return bytes(out)


def record(body):
    return b"\x16\x03\x01" + struct.pack(">H", len(body)) + body


def main():
    hello = client_hellos(CAPTURE)[1]
    message = hello[5:]
    name = hello.find(b"www.vesk.test")
    decoy = bytearray(hello[name - 40:])
    decoy[40:53] = b"xxx.blah.test"
    size = (len(message) + 31) // 32
    seeds = {
        "stream_17_byte_segments": [(0, hello[i:i + 17]) for i in range(0, len(hello), 17)],
        "stream_32_records": [(0, record(message[i:i + size])) for i in range(0, len(message), size)],
        # [100, 200) first, then [0, 100) (100 back), then the rest.
        "stream_reverse": [(100, hello[100:200]), (-100, hello[:100]), (0, hello[200:])],
        # Up to the end of the name, then the rest starting 53 bytes early
        # with another name where the first copy has it.
        "stream_overlap": [(0, hello[:name + 13]), (-53, bytes(decoy))],
    }
    for file, chunks in seeds.items():
        with open(os.path.join(OUT, file), "wb") as f:
            f.write(seed(chunks))


if __name__ == "__main__":
    main()
