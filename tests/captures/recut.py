#!/usr/bin/python3
"""Re-cuts the TCP payloads of a capture into segments of a given size, as a
sender with other write sizes (or a smaller MSS) would have put them on the
wire, and writes the result as a new capture.

Each direction's stream is rebuilt from the sequence numbers (retransmitted
and overlapping bytes are taken once). Consecutive payload packets of one
direction form a run; a run's bytes are cut anew into `size`-byte segments,
so small writes are joined and large ones split. Pure ACKs of the peer that
fall inside a run follow it. With `swap`, each pair of adjacent segments of
a run goes out in reverse order (the receiver reassembles them). Only the
first `limit` bytes of each direction are cut this way; the rest keeps one
segment per run piece of at most 1448 bytes, so that the largest flows stay
small enough to replay. Other packets pass unchanged.

Library use: recut(pcap_bytes, size, swap, limit) -> pcap_bytes.
Command line: recut.py IN.pcap OUT.pcap SIZE [swap]."""
import struct
import sys

LINKTYPE_ETHERNET, LINKTYPE_IPV4, LINKTYPE_RAW = 1, 228, 101
TAIL_SEGMENT = 1448


def checksum(data):
    if len(data) % 2:
        data += b"\0"
    s = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while s >> 16:
        s = (s & 0xFFFF) + (s >> 16)
    return ~s & 0xFFFF


class Packet:
    """One captured frame, parsed down to TCP where it is TCP."""

    def __init__(self, ts_sec, ts_usec, frame, linktype):
        self.ts = (ts_sec, ts_usec)
        self.frame = frame
        self.tcp = False
        link = 0
        if linktype == LINKTYPE_ETHERNET:
            link = 14
            ethertype = struct.unpack_from("!H", frame, 12)[0]
            while ethertype in (0x8100, 0x88A8) and len(frame) >= link + 4:
                ethertype = struct.unpack_from("!H", frame, link + 2)[0]
                link += 4
            if ethertype not in (0x0800, 0x86DD):
                return
        elif linktype not in (LINKTYPE_IPV4, LINKTYPE_RAW):
            return
        if len(frame) < link + 20:
            return
        version = frame[link] >> 4
        if version == 4:
            ihl = (frame[link] & 15) * 4
            total = struct.unpack_from("!H", frame, link + 2)[0]
            frag = struct.unpack_from("!H", frame, link + 6)[0]
            if frame[link + 9] != 6 or frag & 0x3FFF:
                return
            src, dst = frame[link + 12:link + 16], frame[link + 16:link + 20]
            l4 = link + ihl
            end = link + total
        elif version == 6:
            if len(frame) < link + 40 or frame[link + 6] != 6:
                return
            ihl = 40
            src, dst = frame[link + 8:link + 24], frame[link + 24:link + 40]
            l4 = link + 40
            end = l4 + struct.unpack_from("!H", frame, link + 4)[0]
        else:
            return
        if len(frame) < l4 + 20 or end > len(frame):
            return
        self.tcp = True
        self.version, self.link, self.ihl = version, link, ihl
        self.src, self.dst = src, dst
        self.sport, self.dport, self.seq, self.ack = struct.unpack_from("!HHII", frame, l4)
        doff = (frame[l4 + 12] >> 4) * 4
        self.flags = frame[l4 + 13]
        self.l4 = l4
        self.header = frame[:l4 + doff]
        self.payload = frame[l4 + doff:end]

    def key(self):
        a, b = (self.src, self.sport), (self.dst, self.dport)
        return (a, b) if a <= b else (b, a)

    def rebuild(self, seq, payload, flags):
        """This packet's headers with another sequence number, payload and flags."""
        h = bytearray(self.header)
        l4, link = self.l4, self.link
        struct.pack_into("!I", h, l4 + 4, seq & 0xFFFFFFFF)
        h[l4 + 13] = flags
        tcp_len = len(h) - l4 + len(payload)
        if self.version == 4:
            struct.pack_into("!H", h, link + 2, self.ihl + tcp_len)
            struct.pack_into("!H", h, link + 10, 0)
            struct.pack_into("!H", h, link + 10, checksum(bytes(h[link:link + self.ihl])))
            pseudo = self.src + self.dst + struct.pack("!BBH", 0, 6, tcp_len)
        else:
            struct.pack_into("!H", h, link + 4, tcp_len)
            pseudo = self.src + self.dst + struct.pack("!IxxxB", tcp_len, 6)
        struct.pack_into("!H", h, l4 + 16, 0)
        struct.pack_into("!H", h, l4 + 16, checksum(pseudo + bytes(h[l4:]) + payload))
        return bytes(h) + payload


FIN, SYN, RST, PSH = 0x01, 0x02, 0x04, 0x08


def read_pcap(data):
    magic = data[:4]
    if magic == b"\xd4\xc3\xb2\xa1":
        endian = "<"
    elif magic == b"\xa1\xb2\xc3\xd4":
        endian = ">"
    else:
        raise ValueError("not a microsecond pcap file")
    linktype = struct.unpack_from(endian + "I", data, 20)[0]
    off, packets = 24, []
    while off + 16 <= len(data):
        sec, usec, incl, _orig = struct.unpack_from(endian + "IIII", data, off)
        packets.append(Packet(sec, usec, data[off + 16:off + 16 + incl], linktype))
        off += 16 + incl
    return data[:24], endian, packets


def recut(data, size, swap=False, limit=16384):
    header, endian, packets = read_pcap(data)
    out = []  # (ts, frame)
    # Per direction: next sequence number expected, bytes already re-cut.
    next_seq, sent = {}, {}
    run = None  # [direction key, template packet, seq of first byte, bytes, ts, deferred packets]

    def flush():
        nonlocal run
        if not run:
            return
        direction, template, seq, data_, ts, deferred, fin = run
        run = None
        pieces = []
        done = sent.get(direction, 0)
        pos = 0
        while pos < len(data_):
            step = size if done + pos < limit else TAIL_SEGMENT
            pieces.append((seq + pos, data_[pos:pos + step]))
            pos += len(pieces[-1][1])
        sent[direction] = done + len(data_)
        order = list(range(len(pieces)))
        if swap:
            for i in range(0, len(order) - 1, 2):
                order[i], order[i + 1] = order[i + 1], order[i]
        base = template.flags & ~(FIN | PSH)
        for n, i in enumerate(order):
            s, piece = pieces[i]
            last = i == len(pieces) - 1
            flags = base | (PSH if last else 0) | (FIN if last and fin else 0)
            out.append((ts, template.rebuild(s, piece, flags)))
        out.extend(deferred)

    for p in packets:
        if not p.tcp:
            flush()
            out.append((p.ts, p.frame))
            continue
        direction = (p.src, p.sport, p.dst, p.dport)
        seq = p.seq
        if p.flags & SYN:
            flush()
            next_seq[direction] = (seq + 1) & 0xFFFFFFFF
            out.append((p.ts, p.frame))
            continue
        payload = p.payload
        expected = next_seq.get(direction)
        if expected is not None and payload:
            # Keep only the bytes this packet adds to the stream.
            behind = (expected - seq) & 0xFFFFFFFF
            if behind < 0x80000000:
                payload = payload[behind:] if behind < len(payload) else b""
                seq = expected
        if not payload and not (p.flags & (FIN | RST)):
            if run and run[0] != direction:
                run[5].append((p.ts, p.frame))  # the peer's ACK: after the run
            elif run:
                run[5].append((p.ts, p.frame))
            else:
                out.append((p.ts, p.frame))
            continue
        if payload:
            if run and (run[0] != direction or (run[2] + len(run[3])) & 0xFFFFFFFF != seq):
                flush()
            if not run:
                run = [direction, p, seq, b"", p.ts, [], False]
            run[3] += payload
            next_seq[direction] = (seq + len(payload)) & 0xFFFFFFFF
            if p.flags & FIN:
                run[6] = True
                next_seq[direction] = (next_seq[direction] + 1) & 0xFFFFFFFF
                flush()
            continue
        # FIN or RST without payload.
        flush()
        if p.flags & FIN and expected is not None:
            next_seq[direction] = (seq + 1) & 0xFFFFFFFF
        out.append((p.ts, p.frame))
    flush()
    body = [header]
    for (sec, usec), frame in out:
        body.append(struct.pack(endian + "IIII", sec, usec, len(frame), len(frame)))
        body.append(frame)
    return b"".join(body)


if __name__ == "__main__":
    if len(sys.argv) not in (4, 5):
        sys.exit("usage: recut.py IN.pcap OUT.pcap SIZE [swap]")
    with open(sys.argv[1], "rb") as f:
        data = f.read()
    with open(sys.argv[2], "wb") as f:
        f.write(recut(data, int(sys.argv[3]), len(sys.argv) == 5 and sys.argv[4] == "swap"))
