#!/usr/bin/python3
"""Writes the capture: LINE call, Viber, WhatsApp and KakaoTalk flows built
from their byte layouts (no Debian program speaks them), each form beside a
near miss that must not match. Nothing is sent anywhere; the packets go to the file.

    make_fixtures.py OUT.pcap
"""
import sys

from scapy.all import IP, TCP, UDP, Raw, wrpcap

CLIENT = "10.200.0.2"
SERVER = "10.200.0.1"
LINE_RELAY = "147.92.130.5"  # in LINE's own network
KAKAO_DOC = "198.51.100.7"  # a documentation address: no KakaoTalk range is built in


def pad(b, n, c=b"x"):
    return (b + c * n)[:n]


class Clock:
    t = 1700000000.0

    def next(self):
        self.t += 0.01
        return self.t


clock = Clock()
packets = []


def add(p):
    p.time = clock.next()
    packets.append(p)


def udp_flow(sport, dport, payloads, server=SERVER):
    """payloads: (from_client, bytes) in order."""
    for from_client, data in payloads:
        if from_client:
            add(IP(src=CLIENT, dst=server) / UDP(sport=sport, dport=dport) / Raw(data))
        else:
            add(IP(src=server, dst=CLIENT) / UDP(sport=dport, dport=sport) / Raw(data))


def tcp_flow(sport, dport, payloads, server=SERVER):
    """A handshake, the payloads each answered by an ACK, then FINs."""
    c, s = 1000, 5000
    # The options and window of a Linux SYN.
    options = [("MSS", 1460), ("SAckOK", b""), ("Timestamp", (1, 0)), ("NOP", None), ("WScale", 7)]
    add(IP(src=CLIENT, dst=server, ttl=64) / TCP(sport=sport, dport=dport, flags="S", seq=c - 1, window=64240,
                                                 options=options))
    add(IP(src=server, dst=CLIENT, ttl=64) / TCP(sport=dport, dport=sport, flags="SA", seq=s - 1, ack=c, window=65160,
                                                 options=options))
    add(IP(src=CLIENT, dst=server) / TCP(sport=sport, dport=dport, flags="A", seq=c, ack=s))
    for from_client, data in payloads:
        if from_client:
            add(IP(src=CLIENT, dst=server) / TCP(sport=sport, dport=dport, flags="PA", seq=c, ack=s) / Raw(data))
            c += len(data)
            add(IP(src=server, dst=CLIENT) / TCP(sport=dport, dport=sport, flags="A", seq=s, ack=c))
        else:
            add(IP(src=server, dst=CLIENT) / TCP(sport=dport, dport=sport, flags="PA", seq=s, ack=c) / Raw(data))
            s += len(data)
            add(IP(src=CLIENT, dst=server) / TCP(sport=sport, dport=dport, flags="A", seq=c, ack=s))
    add(IP(src=CLIENT, dst=server) / TCP(sport=sport, dport=dport, flags="FA", seq=c, ack=s))
    add(IP(src=server, dst=CLIENT) / TCP(sport=dport, dport=sport, flags="FA", seq=s, ack=c + 1))
    add(IP(src=CLIENT, dst=server) / TCP(sport=sport, dport=dport, flags="A", seq=c + 1, ack=s + 1))


def line_packet(b3, rtp_like=False):
    return pad(bytes([0x80 if rtp_like else 0x10, 0, 0x33, b3]), 20, b"L")


def line_sequence(a, b, n, rtp_from=None):
    out = []
    for i in range(n):
        media = rtp_from is not None and i >= rtp_from
        out.append((True, line_packet((a + i) & 0xFF, media)))
        out.append((False, line_packet((b + i) & 0xFF, media)))
    return out


def main():
    # LINE towards its relays, then the same first packet elsewhere.
    udp_flow(55001, 50010, [(True, pad(b"\xB6\x18\x00\x6A", 110)), (False, pad(b"\xB6\x07\x00\x04", 8))], LINE_RELAY)
    udp_flow(55002, 50010, [(True, pad(b"\xB6\x18\x00\x6A", 110))])
    udp_flow(55003, 50010, [(True, pad(b"\xD8\x95\x00\x01\x06\x02", 150))], LINE_RELAY)
    udp_flow(55004, 50010, [(True, pad(b"\xD8\x95\x00\x01\x06\x03", 150))], LINE_RELAY)
    # LINE peer to peer: the byte-3 sequence, equal starts, and the
    # sequence carried by packets that also look like RTP.
    udp_flow(55005, 50020, line_sequence(0x10, 0x80, 4))
    udp_flow(55006, 50020, line_sequence(0x22, 0x22, 4))
    udp_flow(55007, 50020, line_sequence(0x10, 0x80, 4, rtp_from=1))

    # Viber over UDP and TCP.
    udp_flow(55010, 7985, [(True, pad(b"\x11\x22\x03\x00", 12)), (False, pad(b"\x11\x22\x03\x00", 12))])
    udp_flow(55011, 7985, [(True, pad(b"\x11\x22\x02\x00", 12))])
    udp_flow(55012, 7985, [(True, pad(b"\x11\x22\x19\x00", 34))])
    udp_flow(55013, 7985, [(True, pad(b"\x11\x22\x03\x00", 12))], "255.255.255.255")
    tcp_flow(55014, 5242, [(True, pad(bytes([24, 0, 0, 0, 0, 0, 0xFC, 0, 0, 0x80]), 24))])
    tcp_flow(55015, 5242, [(True, pad(bytes([25, 0, 0, 0, 0, 0, 0xFC, 0, 0, 0x80]), 24))])

    # WhatsApp: "WA" 01 05, and the prologue over three packets and over four
    # (read from the stream, the same prologue).
    ed4 = b"ED\x00\x01\x00\x00\x04\x08"
    tcp_flow(55020, 5222, [(True, b"WA\x01\x05\x00\x08"), (False, b"hello")])
    tcp_flow(55021, 5222, [(True, ed4[:3]), (True, ed4[3:7]), (True, ed4[7:] + b"rest")])
    tcp_flow(55022, 5222, [(True, ed4[:2]), (True, ed4[2:4]), (True, ed4[4:6]), (True, ed4[6:])])

    # KakaoTalk's marks, with no range of the service to go by.
    udp_flow(55030, 30000, [(True, b"\x81\x01\x01\x01")], KAKAO_DOC)

    wrpcap(sys.argv[1], packets)


if __name__ == "__main__":
    main()
