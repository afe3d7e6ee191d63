#!/usr/bin/python3
"""Writes sealing-mode seeds of the QUIC fuzz target: for each client of a
capture, the CRYPTO frames of its Initials as tshark decrypts them, one
plaintext payload per Initial (mode byte 0x02: port 443, version 1).

    quic-sealed-seeds.py OUTDIR PCAP...
"""
import json
import os
import subprocess
import sys


def frames(node, out):
    # tshark's JSON repeats keys ("quic.frame" once per frame): walk the
    # key/value pairs as they come.
    if isinstance(node, list) and node and isinstance(node[0], tuple):
        d = dict(node)
        if d.get("quic.frame_type") == "6" and "quic.crypto.crypto_data_raw" in d:
            off = int(d["quic.crypto.offset"])
            data = bytes.fromhex(d["quic.crypto.crypto_data_raw"][0])
            out.append(bytes([6, 0x40 | (off >> 8), off & 0xFF, 0x40 | (len(data) >> 8), len(data) & 0xFF]) + data)
        for _, v in node:
            frames(v, out)
    elif isinstance(node, list):
        for v in node:
            frames(v, out)


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    count = 0
    for path in sys.argv[2:]:
        text = subprocess.run(["tshark", "-r", path, "-Y", "quic.long.packet_type == 0 && quic.crypto.length",
                               "-T", "json", "-x"], capture_output=True, text=True, check=True).stdout
        by_client = {}
        for pkt in json.loads(text or "[]", object_pairs_hook=lambda pairs: pairs):
            layers = dict(dict(dict(pkt)["_source"])["layers"])
            port = int(dict(layers["udp"])["udp.srcport"])
            if port in (443, 4433):
                continue
            acc = []
            frames(layers["quic"], acc)
            if acc:
                by_client.setdefault(port, []).append(b"".join(acc))
        for port, initials in sorted(by_client.items()):
            seed = bytes([0x02])
            for payload in initials:
                seed += bytes([len(payload) >> 8, len(payload) & 0xFF]) + payload
            name = "%s_%d_sealed" % (os.path.basename(path), port)
            with open(os.path.join(out, name), "wb") as o:
                o.write(seed)
            count += 1
    print("%d seeds" % count)


if __name__ == "__main__":
    main()
