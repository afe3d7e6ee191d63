#!/usr/bin/python3
"""Writes fuzz seeds from captures: one seed per TCP or UDP flow, in the
framing of the family fuzz targets (a port-choice byte, then each payload
as a two-byte length, top bit set for the server's direction).

    fuzz-seeds.py OUTDIR PORTS PCAP...    PORTS: comma-separated, in the
                                          order of the target's port list;
                                          "88/udp" takes only that transport
                                          (a target listing a port twice)
"""
import os
import sys

from scapy.all import IP, IPv6, TCP, UDP, rdpcap


def main():
    out = sys.argv[1]
    entries = [(int(p.split("/")[0]), p.split("/")[1].upper() if "/" in p else None) for p in sys.argv[2].split(",")]
    ports = [n for n, _ in entries]
    os.makedirs(out, exist_ok=True)
    flows = {}
    for path in sys.argv[3:]:
        for pkt in rdpcap(path):
            ip = pkt[IP] if IP in pkt else pkt[IPv6] if IPv6 in pkt else None
            l4 = pkt[TCP] if TCP in pkt else pkt[UDP] if UDP in pkt else None
            if ip is None or l4 is None:
                continue
            payload = bytes(l4.payload)
            if not payload:
                continue
            a, b = (ip.src, l4.sport), (ip.dst, l4.dport)
            key = (path, type(l4).__name__) + tuple(sorted([a, b]))
            # The server's port is the one in the list (the lower one when
            # both are), also when the client's port is lower than it.
            listed = [p for p in (l4.sport, l4.dport) if p in ports]
            server = min(listed) if listed else None
            if server not in ports:
                continue
            kind = type(l4).__name__
            choice = next((i for i, (n, t) in enumerate(entries) if n == server and t in (None, kind)), None)
            if choice is None:
                continue
            f = flows.setdefault(key, {"port": server, "choice": choice, "chunks": [], "client": a})
            # Both ends on the listed port (GTP peers): the first sender is
            # the client.
            from_server = l4.sport == f["port"] and (l4.dport != l4.sport or a != f["client"])
            f["chunks"].append((from_server, payload[:0x7FFF]))
    for i, f in enumerate(flows.values()):
        seed = bytes([f["choice"]])
        for from_server, data in f["chunks"][:24]:
            n = len(data) | (0x8000 if from_server else 0)
            seed += bytes([n >> 8, n & 0xFF]) + data
        with open(os.path.join(out, "seed-%03d" % i), "wb") as o:
            o.write(seed)
    print("%d seeds" % len(flows))


if __name__ == "__main__":
    main()
