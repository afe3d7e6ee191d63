#!/usr/bin/python3
"""Writes QUIC fuzz seeds whose ClientHello is not in one Initial, from a
sealing-mode seed of one Initial (quic-sealed-seeds.py output, by default
tests/fuzz/corpus/quic_fuzz/quic.pcap_50737_sealed, gtlsclient's hello):

- split2_sealed: the hello in two Initials, in order;
- split3_sealed: in three Initials, the last piece first, the rest after an
  ACK and a PING, with the first piece sent again over the second;
- split2_v2_sealed: two Initials of version 2;
- coalesced_raw: one datagram of three coalesced Initials, one piece each,
  protected here with the version 1 Initial keys (the target's raw mode
  takes it as it is);
- coalesced_split_raw: two coalesced Initials (first and last piece), then
  a datagram with the middle piece.

    quic-split-seeds.py OUTDIR [SEALED_SEED]
"""
import os
import struct
import sys

from cryptography.hazmat.primitives import hashes, hmac
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
from cryptography.hazmat.primitives.ciphers.aead import AESGCM

V1, V2 = 0x00000001, 0x6B3343CF
SALT = {V1: bytes.fromhex("38762cf7f55934b34d179ae6a4c80cadccbb7f0a"),
        V2: bytes.fromhex("0dede3def700a6db819381be6e269dcbf9bd2ed9")}
DCID = bytes.fromhex("8394c8f03e515708")  # the fuzz target's sealing DCID
MODE_SEALED_V1, MODE_SEALED_V2, MODE_RAW = 0x02, 0x06, 0x00


def varint(v):
    if v < 0x40:
        return bytes([v])
    if v < 0x4000:
        return struct.pack(">H", 0x4000 | v)
    return struct.pack(">I", 0x80000000 | v)


def read_varint(b, i):
    n = 1 << (b[i] >> 6)
    v = b[i] & 0x3F
    for k in range(1, n):
        v = (v << 8) | b[i + k]
    return v, i + n


def hello_of(seed):
    """The CRYPTO stream of the seed's Initials, put together."""
    stream = {}
    pos = 1
    while pos + 2 <= len(seed):
        length = ((seed[pos] & 0x7F) << 8) | seed[pos + 1]
        payload = seed[pos + 2:pos + 2 + length]
        pos += 2 + length
        i = 0
        while i < len(payload) and payload[i] == 6:
            off, i = read_varint(payload, i + 1)
            n, i = read_varint(payload, i)
            for k in range(n):
                stream.setdefault(off + k, payload[i + k])
            i += n
    data = bytes(stream[k] for k in range(len(stream)))
    declared = int.from_bytes(data[1:4], "big") + 4
    assert data[0] == 1 and len(data) >= declared, "no whole ClientHello in the seed"
    return data[:declared]


def crypto(offset, data):
    return b"\x06" + varint(offset) + varint(len(data)) + data


def seed(mode, payloads):
    out = bytes([mode])
    for p in payloads:
        assert len(p) < 0x8000
        out += struct.pack(">H", len(p)) + p
    return out


def hkdf_label(secret, label, length):
    full = b"tls13 " + label
    info = struct.pack(">H", length) + bytes([len(full)]) + full + b"\x00"
    out, block, i = b"", b"", 1
    while len(out) < length:
        h = hmac.HMAC(secret, hashes.SHA256())
        h.update(block + info + bytes([i]))
        block = h.finalize()
        out += block
        i += 1
    return out[:length]


def client_keys(version):
    h = hmac.HMAC(SALT[version], hashes.SHA256())
    h.update(DCID)
    initial = h.finalize()
    client = hkdf_label(initial, b"client in", 32)
    p = b"quicv2 " if version == V2 else b"quic "
    return hkdf_label(client, p + b"key", 16), hkdf_label(client, p + b"iv", 12), hkdf_label(client, p + b"hp", 16)


def initial_packet(version, pn, frames, pad_to=0):
    """A client Initial (4-byte packet number), padded so that it is at
    least pad_to bytes long, protected with the version's Initial keys."""
    key, iv, hp = client_keys(version)
    first = 0xC3 | (0x10 if version == V2 else 0x00)
    head = bytes([first]) + struct.pack(">I", version) + bytes([len(DCID)]) + DCID + b"\x00" + b"\x00"
    overhead = len(head) + 2 + 4 + 16
    if pad_to > overhead + len(frames):
        frames += bytes(pad_to - overhead - len(frames))
    header = head + struct.pack(">H", 0x4000 | (4 + len(frames) + 16)) + struct.pack(">I", pn)
    nonce = bytes(a ^ b for a, b in zip(iv, bytes(4) + struct.pack(">Q", pn)))
    sealed = AESGCM(key).encrypt(nonce, frames, header)
    packet = bytearray(header + sealed)
    pn_at = len(header) - 4
    enc = Cipher(algorithms.AES(hp), modes.ECB()).encryptor()
    mask = enc.update(bytes(packet[pn_at + 4:pn_at + 20])) + enc.finalize()
    packet[0] ^= mask[0] & 0x0F
    for k in range(4):
        packet[pn_at + k] ^= mask[1 + k]
    return bytes(packet)


def main():
    out = sys.argv[1]
    source = sys.argv[2] if len(sys.argv) > 2 else os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..", "tests", "fuzz", "corpus", "quic_fuzz",
        "quic.pcap_50737_sealed")
    with open(source, "rb") as f:
        hello = hello_of(f.read())
    n = len(hello)
    a, b = n // 3, 2 * n // 3
    ack = b"\x02\x00\x00\x00\x00"  # largest 0, delay 0, no further ranges, first range 0
    seeds = {
        "split2_sealed": seed(MODE_SEALED_V1, [crypto(0, hello[:n // 2]), crypto(n // 2, hello[n // 2:])]),
        "split3_sealed": seed(MODE_SEALED_V1, [crypto(b, hello[b:]),
                                               ack + b"\x01" + crypto(0, hello[:a]),
                                               crypto(a // 2, hello[a // 2:b])]),
        "split2_v2_sealed": seed(MODE_SEALED_V2, [crypto(0, hello[:n // 2]), crypto(n // 2, hello[n // 2:])]),
        "coalesced_raw": seed(MODE_RAW, [initial_packet(V1, 0, crypto(0, hello[:a])) +
                                         initial_packet(V1, 1, crypto(a, hello[a:b])) +
                                         initial_packet(V1, 2, crypto(b, hello[b:]), pad_to=1200)]),
        "coalesced_split_raw": seed(MODE_RAW, [initial_packet(V1, 0, crypto(0, hello[:a])) +
                                               initial_packet(V1, 1, crypto(b, hello[b:]), pad_to=1200),
                                               initial_packet(V1, 2, crypto(a, hello[a:b]), pad_to=1200)]),
    }
    os.makedirs(out, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)
    print("%d seeds" % len(seeds))


if __name__ == "__main__":
    main()
