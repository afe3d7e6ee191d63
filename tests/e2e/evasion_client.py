#!/usr/bin/python3
"""The client side of evasion_test.sh, run in the client namespace.

Each case is one trick a client can play with the bytes that carry a host
name: tiny TCP segments, many TLS records, segments out of order, a stale
decoy, overlapping bytes, odd spellings of the Host header, and a QUIC
ClientHello spread over several Initials. Every trick is played once with
the blocked name and once with an allowed one; the firewall must drop the
first and let the second be answered.

TCP cases run on connections made here with raw sockets (the handshake and
every segment's sequence number are ours); the namespace's kernel must not
answer for them with resets (the test drops outgoing RSTs of the source
ports used here). QUIC cases encrypt their Initials with the version 1
initial keys and count an answer only when the server's Initial carries a
CRYPTO frame (its ServerHello): an ACK alone does not show that the whole
ClientHello arrived.

    evasion_client.py tls-count
    evasion_client.py run SERVER TLS_FIRST_ADDRESS QUIC_PORT SERVER6 HRR4,HRR4 HRR6,HRR6

prints one line per case: "ok:" or "FAIL:", the case, the client port, and
what the server did ("answered" or "no answer").
"""
import os
import queue
import random
import socket
import ssl
import struct
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

from cryptography.hazmat.primitives import hashes, hmac
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.asymmetric.x25519 import X25519PrivateKey
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from cryptography.hazmat.primitives.serialization import Encoding, PublicFormat

BLOCKED = "blocked.vesk.test"
OPEN = "open.vesk.test"
DECOY = "decoy.vesk.test"
CLIENT = "10.77.0.1"
CLIENT6 = "fd77::1"
HTTP_PORT = 80
TLS_PORT = 443
FIRST_PORT = 40000  # source ports of the raw connections (their RSTs are dropped)
ANSWER_WAIT = 2.5  # seconds a case waits for an answer that should not come
OPEN_WAIT = 10.0  # seconds a case waits for an answer that should come (a loaded machine)


def wait_for(host):
    return ANSWER_WAIT if host == BLOCKED else OPEN_WAIT


# ---------------------------------------------------------------- raw TCP

def checksum(data):
    if len(data) % 2:
        data += b"\0"
    s = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while s >> 16:
        s = (s & 0xFFFF) + (s >> 16)
    return ~s & 0xFFFF


def tcp_packet(src, dst, sport, dport, seq, ack, flags, payload=b"", mss=False, urgent=0):
    options = struct.pack("!BBH", 2, 4, 1460) if mss else b""
    offset = (20 + len(options)) // 4
    header = struct.pack("!HHIIBBHHH", sport, dport, seq & 0xFFFFFFFF, ack & 0xFFFFFFFF,
                         offset << 4, flags, 65535, 0, urgent) + options
    if ":" in src:
        return tcp_packet6(src, dst, header, payload)
    pseudo = socket.inet_aton(src) + socket.inet_aton(dst) + struct.pack(
        "!BBH", 0, 6, len(header) + len(payload))
    csum = checksum(pseudo + header + payload)
    header = header[:16] + struct.pack("!H", csum) + header[18:]
    total = 20 + len(header) + len(payload)
    ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, total, random.randrange(65536), 0x4000, 64, 6, 0,
                     socket.inet_aton(src), socket.inet_aton(dst))
    ip = ip[:10] + struct.pack("!H", checksum(ip)) + ip[12:]
    return ip + header + payload


def tcp_packet6(src, dst, header, payload):
    src6, dst6 = socket.inet_pton(socket.AF_INET6, src), socket.inet_pton(socket.AF_INET6, dst)
    size = len(header) + len(payload)
    csum = checksum(src6 + dst6 + struct.pack("!IxxxB", size, 6) + header + payload)
    header = header[:16] + struct.pack("!H", csum) + header[18:]
    return struct.pack("!IHBB", 0x60000000, size, 6, 64) + src6 + dst6 + header + payload


FIN, SYN, RST, PSH, ACK, URG = 1, 2, 4, 8, 16, 32


class Wire:
    """One raw socket to send, one to receive; received segments go to the
    queue of the connection whose port they name."""

    def __init__(self, client=CLIENT):
        family = socket.AF_INET6 if ":" in client else socket.AF_INET
        self.client = client
        self.tx = socket.socket(family, socket.SOCK_RAW, socket.IPPROTO_RAW)
        self.tx.setsockopt(socket.SOL_SOCKET, socket.SO_MARK, 0x77)
        self.rx = socket.socket(family, socket.SOCK_RAW, socket.IPPROTO_TCP)
        # Every TCP segment of the namespace comes here: room for bursts
        # while this thread is slow on a loaded machine.
        self.rx.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 22)
        # An IPv6 raw socket hands over the segment without the IP header.
        self.ip_header = family == socket.AF_INET
        self.rx.settimeout(0.2)
        self.queues = {}
        # What each connection sent after its handshake, by source port, to
        # send again when the server shows it never took the handshake.
        self.sent = {}
        self.lock = threading.Lock()
        self.running = True
        self.thread = threading.Thread(target=self.receive, daemon=True)
        self.thread.start()

    def receive(self):
        while self.running:
            try:
                data, _ = self.rx.recvfrom(65535)
            except socket.timeout:
                continue
            ihl = (data[0] & 15) * 4 if self.ip_header else 0
            if len(data) < ihl + 20:
                continue
            sport, dport, seq, ack, off, flags = struct.unpack("!HHIIBB", data[ihl:ihl + 14])
            payload = data[ihl + (off >> 4) * 4:]
            with self.lock:
                q = self.queues.get(dport)
            if q is not None:
                q.put((flags, seq, ack, payload))

    def send(self, packet, dst):
        self.tx.sendto(packet, (dst, 0))
        at = (packet[0] & 15) * 4 if self.ip_header else 40
        with self.lock:
            sent = self.sent.get(struct.unpack("!H", packet[at:at + 2])[0])
            if sent is not None:
                sent.append((packet, dst))

    def resend(self, sport):
        with self.lock:
            sent = list(self.sent.get(sport, ()))
        for packet, dst in sent:
            self.tx.sendto(packet, (dst, 0))


class Connection:
    def __init__(self, wire, sport, server, dport):
        self.wire, self.sport, self.server, self.dport = wire, sport, server, dport
        self.q = queue.Queue()
        with wire.lock:
            wire.queues[sport] = self.q
        self.isn = random.randrange(1 << 32)
        self.rcv = 0
        self.sent_end = 0

    def packet(self, seq, flags, payload=b"", mss=False, urgent=0):
        return tcp_packet(self.wire.client, self.server, self.sport, self.dport, seq, self.rcv,
                          flags, payload, mss, urgent)

    def connect(self, syn_data=b""):
        for _ in range(3):
            self.wire.send(self.packet(self.isn, SYN, syn_data, mss=True), self.server)
            deadline = time.monotonic() + 1.0
            while time.monotonic() < deadline:
                try:
                    flags, seq, ack, _ = self.q.get(timeout=0.1)
                except queue.Empty:
                    continue
                if flags & SYN and flags & ACK and ack == (self.isn + 1) & 0xFFFFFFFF:
                    self.rcv = seq + 1
                    with self.wire.lock:
                        self.wire.sent[self.sport] = []
                    self.wire.send(self.packet(self.isn + 1, ACK), self.server)
                    return True
        return False

    def segment(self, offset, data):
        """Sends data at stream offset (0 is the first byte after the SYN;
        a negative offset lies before it)."""
        self.wire.send(self.packet(self.isn + 1 + offset, PSH | ACK, data), self.server)
        self.sent_end = max(self.sent_end, offset + len(data))

    def answer(self, wanted, seconds):
        """Collects the server's bytes until wanted(bytes) holds or time is up."""
        got = {}
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            try:
                flags, seq, _, payload = self.q.get(timeout=0.05)
            except queue.Empty:
                continue
            if flags & SYN and flags & ACK:
                # The server sends its SYN-ACK again: the handshake's ACK and
                # what followed never reached its socket (a full accept
                # queue drops them on a loaded machine). A TCP would send
                # them again; so does this one.
                self.wire.resend(self.sport)
                continue
            if payload:
                got[(seq - self.rcv) & 0xFFFFFFFF] = payload
                data = b"".join(got[k] for k in sorted(got))
                if wanted(data):
                    return True
            if flags & RST:
                return False
        return False

    def close(self):
        self.wire.send(self.packet(self.isn + 1 + self.sent_end, RST), self.server)
        with self.wire.lock:
            del self.wire.queues[self.sport]
            self.wire.sent.pop(self.sport, None)


# ------------------------------------------------------ what the cases send

def http_request(host_lines, target="/index.txt", version="1.1", eol="\r\n"):
    lines = ["GET %s HTTP/%s" % (target, version)] + host_lines + [
        "User-Agent: evasion", "Connection: close", "", ""]
    return eol.join(lines).encode()


def client_hello(name):
    """A real ClientHello of this machine's OpenSSL, in one record."""
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
    tls = ctx.wrap_bio(incoming, outgoing, server_hostname=name)
    try:
        tls.do_handshake()
    except ssl.SSLWantReadError:
        pass
    return outgoing.read()


def in_records(hello, count):
    """The handshake message of a one-record hello cut into count records."""
    body = hello[5:]
    size = -(-len(body) // count)
    return [hello[:3] + struct.pack("!H", len(body[i:i + size])) + body[i:i + size]
            for i in range(0, len(body), size)]


def pieces(data, size):
    return [(i, data[i:i + size]) for i in range(0, len(data), size)]


def cut_in_name(data, name):
    """The offset four bytes into the name, where the split tricks cut."""
    i = data.find(name.encode())
    assert i >= 0, name
    return i + 4


def reverse(data, name):
    k = cut_in_name(data, name)
    return [(k, data[k:]), (0, data[:k])]


def stale_decoy(data, decoy):
    # A whole request or hello for another name, entirely before the first
    # byte of the stream: the server takes it for an old duplicate.
    return [(-len(decoy), decoy), (0, data)]


def overlap(data, name):
    # The second segment starts four bytes back with other bytes there; the
    # server keeps the bytes it received first.
    k = cut_in_name(data, name)
    return [(0, data[:k]), (k - 4, b"xxxx" + data[k:])]


def http_cases(host):
    other = OPEN if host == BLOCKED else DECOY  # an allowed name beside it
    other2 = DECOY if host == OPEN else OPEN
    plain = http_request(["Host: " + host])
    return [
        ("http whole request (no trick)", [(0, plain)]),
        ("http 1-byte segments", pieces(plain, 1)),
        ("http 2-byte segments", pieces(plain, 2)),
        ("http 4-byte segments", pieces(plain, 4)),
        ("http method alone", [(0, plain[:3]), (3, plain[3:])]),
        ("http reverse order", reverse(plain, host)),
        ("http stale decoy", stale_decoy(plain, http_request(["Host: " + other]))),
        ("http overlap", overlap(plain, host)),
        ("http trailing dot", [(0, http_request(["Host: " + host + "."]))]),
        ("http tab after Host:", [(0, http_request(["Host:\t" + host]))]),
        ("http obs-fold", [(0, http_request(["Host:", " " + host]))]),
        ("http LF-only", [(0, http_request(["Host: " + host], eol="\n"))]),
        ("http two Host headers, the name second", [(0, http_request(["Host: " + other2, "Host: " + host]))]),
        ("http two Host headers, the name first", [(0, http_request(["Host: " + host, "Host: " + other2]))]),
        ("http absolute URI, no Host", [(0, http_request([], "http://%s/index.txt" % host, "1.0"))]),
        ("http absolute URI, other Host", [(0, http_request(["Host: " + other],
                                                            "http://%s/index.txt" % host))]),
    ]


def tls_cases(host):
    other = OPEN if host == BLOCKED else DECOY
    hello = client_hello(host)
    cases = [
        ("tls whole hello (no trick)", [(0, hello)]),
        ("tls 4-byte segments", pieces(hello, 4)),
        ("tls 16-byte segments", pieces(hello, 16)),
    ]
    for count in (16, 32, 64):
        records, at = [], 0
        for r in in_records(hello, count):
            records.append((at, r))
            at += len(r)
        cases.append(("tls %d records" % count, records))
    cases += [
        ("tls reverse order", reverse(hello, host)),
        ("tls stale decoy", stale_decoy(hello, client_hello(other))),
        ("tls overlap", overlap(hello, host)),
        ("tls trailing dot SNI", [(0, client_hello(host + "."))]),
        ("tls session id opening another protocol, alone in a segment", session_id_opening(hello)),
    ]
    return cases


def session_id_opening(hello):
    # The 32-byte session id is the client's to choose: it opens with an
    # rsync greeting and is sent in a segment of its own, so that read alone
    # it looks like the start of another protocol's conversation.
    at = 5 + 4 + 2 + 32 + 1
    assert hello[at - 1] == 32
    greeting = b"@RSYNCD: 31.0\n"
    hello = hello[:at] + greeting + hello[at + len(greeting):]
    end = at + len(greeting)
    return [(0, hello[:at]), (at, hello[at:end]), (end, hello[end:])]


def tcp_case(wire, sport, server, dport, segments, wanted, wait=ANSWER_WAIT):
    c = Connection(wire, sport, server, dport)
    try:
        if not c.connect():
            return None
        for offset, data in segments:
            c.segment(offset, data)
            time.sleep(0.0005 if len(segments) > 8 else 0.02)
        return c.answer(wanted, wait)
    finally:
        c.close()


# ------------------------------------------ TCP tricks, IPv4 and IPv6

# Where the server's TCP stack and the engine could part ways: bytes on the
# SYN, a second SYN, urgent data, many segments held ahead of a gap, a
# method outside the usual table, and a TLS hello retried. Each runs over
# both families.

HRR_RANDOM = bytes.fromhex("cf21ad74e59a6111be1d8c021e65b891c2a211167abb8c5e079e09e2c8a8339c")


def syn_decoy_for(host):
    # The allowed case carries the blocked name on its SYN: read, it would
    # drop a request the server answers.
    return BLOCKED if host == OPEN else OPEN


def second_syn(decoy):
    # After the handshake a SYN with another ISN, and a whole decoy request
    # right after it: the server keeps the ISN it acknowledged (it answers
    # both with an ACK of its own sequence) and reads the real request.
    def step(c):
        isn2 = (c.isn + 0x40000000) & 0xFFFFFFFF
        c.wire.send(c.packet(isn2, SYN, mss=True), c.server)
        time.sleep(0.02)
        c.wire.send(c.packet(isn2 + 1, PSH | ACK, decoy), c.server)
        time.sleep(0.02)
    return step


def urgent(offset, data, at):
    # One segment with its urgent pointer on the byte at `at` (the pointer
    # names the byte after it): a receiver without SO_OOBINLINE takes that
    # byte out of the stream.
    def step(c):
        c.wire.send(c.packet(c.isn + 1 + offset, PSH | ACK | URG, data, urgent=at + 1), c.server)
        c.sent_end = max(c.sent_end, offset + len(data))
    return step


def wait_acks(count, seconds=3.0):
    # The server's duplicate ACKs for segments held ahead of a gap: they
    # pass the firewall before the gap is filled, so the flow counts them.
    def step(c):
        seen, deadline = 0, time.monotonic() + seconds
        while seen < count and time.monotonic() < deadline:
            try:
                flags, _, _, payload = c.q.get(timeout=0.05)
            except queue.Empty:
                continue
            if flags & ACK and not payload:
                seen += 1
    return step


def http_trick_cases(host):
    plain = http_request(["Host: " + host])
    decoy = http_request(["Host: " + syn_decoy_for(host)])
    held = pieces(plain, -(-len(plain) // 16))
    if host == BLOCKED:
        # The urgent byte inside the name: what the engine sees is
        # "blockXed", what the server serves is the blocked name.
        spelled = http_request(["Host: blockXed.vesk.test"])
        urgent_steps = [urgent(0, spelled, spelled.index(b"X"))]
    else:
        # Urgent data after the request the flow was decided on does not
        # cost it. (Before the name is read, urgent data makes the flow one
        # the engine cannot read: the strictest verdict of its policy, drop
        # here, whatever the name.)
        urgent_steps = [(0, plain), urgent(len(plain), b"X", 0)]
    method = plain.replace(b"GET ", b"FOO ", 1)
    return [
        ("http SYN payload decoy", [(0, plain)], decoy),
        ("http second SYN with another ISN", [second_syn(decoy), (0, plain)], b""),
        ("http urgent byte", urgent_steps, b""),
        ("http 15 segments held ahead of a gap", held[1:] + [wait_acks(len(held) - 1), held[0]], b""),
        ("http extension method FOO", [(0, method)], b""),
    ]


def tls13_hello(name, group, session_id, random_bytes, cookie=b""):
    """A TLS 1.3 ClientHello offering X25519 and P-256 with a key share for
    `group` only."""
    def ext(kind, body):
        return struct.pack("!HH", kind, len(body)) + body
    if group == 0x001D:
        share = X25519PrivateKey.generate().public_key().public_bytes(Encoding.Raw, PublicFormat.Raw)
    else:
        share = ec.generate_private_key(ec.SECP256R1()).public_key().public_bytes(
            Encoding.X962, PublicFormat.UncompressedPoint)
    n = name.encode()
    entry = struct.pack("!HH", group, len(share)) + share
    exts = b"".join([
        ext(0, struct.pack("!HBH", len(n) + 3, 0, len(n)) + n),
        ext(10, struct.pack("!HHH", 4, 0x001D, 0x0017)),
        ext(13, struct.pack("!HHHHH", 8, 0x0403, 0x0804, 0x0401, 0x0807)),
        ext(43, b"\x02\x03\x04"),
        ext(45, b"\x01\x01"),
        ext(51, struct.pack("!H", len(entry)) + entry),
    ] + ([ext(44, cookie)] if cookie else []))
    body = b"\x03\x03" + random_bytes + bytes([len(session_id)]) + session_id + \
        struct.pack("!HHH", 4, 0x1301, 0x1302) + b"\x01\x00" + struct.pack("!H", len(exts)) + exts
    message = b"\x01" + struct.pack("!I", len(body))[1:] + body
    return b"\x16\x03\x01" + struct.pack("!H", len(message)) + message


def server_hellos(data):
    """The ServerHello bodies among the server's first records (a retry
    request among them)."""
    hellos, i = [], 0
    while i + 5 <= len(data):
        size = struct.unpack("!H", data[i + 3:i + 5])[0]
        record = data[i + 5:i + 5 + size]
        if len(record) < size:
            break
        if data[i] == 0x16 and record[:1] == b"\x02":
            hellos.append(record[4:])
        i += 5 + size
    return hellos


def hrr_cookie(hello):
    """The cookie extension's body of a HelloRetryRequest, or b""."""
    i = 2 + 32
    i += 1 + hello[i] + 3
    end = i + 2 + struct.unpack("!H", hello[i:i + 2])[0]
    i += 2
    while i + 4 <= end:
        kind, size = struct.unpack("!HH", hello[i:i + 4])
        if kind == 44:
            return hello[i + 4:i + 4 + size]
        i += 4 + size
    return b""


def hrr_case(wire, sport, server, first, second):
    """A first hello whose key share the server (P-256 only) cannot use, its
    HelloRetryRequest, a second hello for another name: True when the
    second is answered with a ServerHello."""
    c = Connection(wire, sport, server, TLS_PORT)
    try:
        if not c.connect():
            return None
        session_id, rnd = os.urandom(32), os.urandom(32)
        hello = tls13_hello(first, 0x001D, session_id, rnd)
        c.segment(0, hello)
        retry = []

        def asked(d):
            retry[:] = [h for h in server_hellos(d) if h[2:34] == HRR_RANDOM]
            return bool(retry)
        if not c.answer(asked, OPEN_WAIT):
            raise RuntimeError("no HelloRetryRequest")
        c.segment(len(hello), tls13_hello(second, 0x0017, session_id, rnd, hrr_cookie(retry[0])))
        return c.answer(lambda d: any(h[2:34] != HRR_RANDOM for h in server_hellos(d)), wait_for(second))
    finally:
        c.close()


def trick_case(wire, sport, server, dport, steps, wanted, syn_data=b"", wait=ANSWER_WAIT):
    c = Connection(wire, sport, server, dport)
    try:
        if not c.connect(syn_data):
            return None
        for step in steps:
            if callable(step):
                step(c)
            else:
                c.segment(*step)
            time.sleep(0.005)
        return c.answer(wanted, wait)
    finally:
        c.close()


def tcp_trick_jobs(port, families):
    """(name, host, port, run) of every TCP trick, for each (wire, HTTP
    server, HelloRetryRequest servers) in families; and the next port."""
    jobs = []
    for wire, server, hrr_servers in families:
        family = "IPv6" if ":" in server else "IPv4"
        for host, hrr_server in zip((OPEN, BLOCKED), hrr_servers):
            for name, steps, syn_data in http_trick_cases(host):
                jobs.append(("%s %s" % (name, family), host, port,
                             lambda p=port, w=wire, a=server, s=steps, sd=syn_data, h=host: trick_case(
                                 w, p, a, HTTP_PORT, s, lambda d: d.startswith(b"HTTP/"), sd,
                                 wait_for(h))))
                port += 1
            # The allowed case is retried from one allowed name to another.
            first = OPEN if host == BLOCKED else DECOY
            jobs.append(("tls HelloRetryRequest, the name in the second hello %s" % family, host, port,
                         lambda p=port, w=wire, a=hrr_server, f=first, h=host: hrr_case(w, p, a, f, h)))
            port += 1
    return jobs, port


# ------------------------------------------------------------------- QUIC

INITIAL_SALT = bytes.fromhex("38762cf7f55934b34d179ae6a4c80cadccbb7f0a")


def hkdf_extract(salt, key):
    h = hmac.HMAC(salt, hashes.SHA256())
    h.update(key)
    return h.finalize()


def hkdf_expand_label(secret, label, length):
    full = b"tls13 " + label.encode()
    info = struct.pack("!HB", length, len(full)) + full + b"\0"
    out, block, i = b"", b"", 1
    while len(out) < length:
        h = hmac.HMAC(secret, hashes.SHA256())
        h.update(block + info + bytes([i]))
        block = h.finalize()
        out += block
        i += 1
    return out[:length]


def initial_keys(dcid, side):
    secret = hkdf_expand_label(hkdf_extract(INITIAL_SALT, dcid), side + " in", 32)
    return (hkdf_expand_label(secret, "quic key", 16), hkdf_expand_label(secret, "quic iv", 12),
            hkdf_expand_label(secret, "quic hp", 16))


def hp_mask(hp, sample):
    enc = Cipher(algorithms.AES(hp), modes.ECB()).encryptor()
    return enc.update(sample) + enc.finalize()


def varint(v):
    if v < 0x40:
        return bytes([v])
    if v < 0x4000:
        return struct.pack("!H", 0x4000 | v)
    return struct.pack("!I", 0x80000000 | v)


def read_varint(b, i):
    n = 1 << (b[i] >> 6)
    v = b[i] & 0x3F
    for j in range(1, n):
        v = (v << 8) | b[i + j]
    return v, i + n


def quic_hello(name, scid):
    def ext(kind, body):
        return struct.pack("!HH", kind, len(body)) + body
    n = name.encode()
    params = b"".join(varint(k) + varint(len(v)) + v for k, v in [
        (0x0F, scid), (0x01, varint(30000)), (0x04, varint(1 << 20)), (0x05, varint(1 << 18)),
        (0x06, varint(1 << 18)), (0x07, varint(1 << 18)), (0x08, varint(100)), (0x09, varint(100))])
    key = X25519PrivateKey.generate().public_key().public_bytes(Encoding.Raw, PublicFormat.Raw)
    exts = b"".join([
        ext(0, struct.pack("!HBH", len(n) + 3, 0, len(n)) + n),
        ext(10, struct.pack("!HH", 2, 0x001D)),
        ext(13, struct.pack("!HHHHH", 8, 0x0403, 0x0804, 0x0401, 0x0807)),
        ext(16, struct.pack("!H", 3) + b"\x02h3"),
        ext(43, b"\x02\x03\x04"),
        ext(51, struct.pack("!HHH", 36, 0x001D, 32) + key),
        ext(0x39, params),
    ])
    body = b"\x03\x03" + os.urandom(32) + b"\x00" + struct.pack("!HH", 2, 0x1301) + b"\x01\x00" + \
        struct.pack("!H", len(exts)) + exts
    return b"\x01" + struct.pack("!I", len(body))[1:] + body


def crypto_frame(offset, data):
    return b"\x06" + varint(offset) + varint(len(data)) + data


def initial_packet(dcid, scid, pn, frames, pad_to=0, token=b""):
    key, iv, hp = initial_keys(dcid, "client")

    def head(length):
        return bytes([0xC3]) + struct.pack("!I", 1) + bytes([len(dcid)]) + dcid + \
            bytes([len(scid)]) + scid + varint(len(token)) + token + struct.pack("!H", 0x4000 | length)
    plain = frames
    if pad_to:
        plain += b"\0" * max(0, pad_to - len(head(0)) - 4 - len(frames) - 16)
    header = head(4 + len(plain) + 16) + struct.pack("!I", pn)
    nonce = bytes(a ^ b for a, b in zip(iv, b"\0" * 8 + struct.pack("!I", pn)))
    sealed = AESGCM(key).encrypt(nonce, plain, header)
    pn_at = len(header) - 4
    mask = hp_mask(hp, sealed[:16])
    first = bytes([header[0] ^ (mask[0] & 0x0F)])
    pn_bytes = bytes(a ^ b for a, b in zip(header[pn_at:], mask[1:5]))
    return first + header[1:pn_at] + pn_bytes + sealed


def retry_of(datagram):
    """(new connection id, token) of a Retry, or None."""
    b = datagram
    if len(b) < 7 or b[0] & 0xF0 != 0xF0:
        return None
    i = 5
    i += 1 + b[i]
    scid = b[i + 1:i + 1 + b[i]]
    i += 1 + b[i]
    return scid, b[i:-16]


def server_sent_crypto(datagram, dcid):
    """Whether the server's first packet, an Initial, carries a CRYPTO frame."""
    b = datagram
    if len(b) < 7 or b[0] & 0xF0 != 0xC0:
        return False
    i = 5
    i += 1 + b[i]
    i += 1 + b[i]
    token, i = read_varint(b, i)
    i += token
    length, i = read_varint(b, i)
    key, iv, hp = initial_keys(dcid, "server")
    mask = hp_mask(hp, b[i + 4:i + 20])
    first = b[0] ^ (mask[0] & 0x0F)
    pn_len = (first & 3) + 1
    pn_bytes = bytes(x ^ y for x, y in zip(b[i:i + pn_len], mask[1:1 + pn_len]))
    pn = int.from_bytes(pn_bytes, "big")
    header = bytes([first]) + b[1:i] + pn_bytes
    nonce = bytes(x ^ y for x, y in zip(iv, pn.to_bytes(12, "big")))
    try:
        plain = AESGCM(key).decrypt(nonce, b[i + pn_len:i + length], header)
    except Exception:
        return False
    j = 0
    while j < len(plain):
        kind = plain[j]
        j += 1
        if kind in (0x00, 0x01):
            continue
        if kind == 0x06:
            return True
        if kind in (0x02, 0x03):
            _, j = read_varint(plain, j)
            _, j = read_varint(plain, j)
            ranges, j = read_varint(plain, j)
            _, j = read_varint(plain, j)
            for _ in range(2 * ranges + (3 if kind == 0x03 else 0)):
                _, j = read_varint(plain, j)
            continue
        return False  # CONNECTION_CLOSE or anything else: no hello answer
    return False


QUIC_CASES = ["quic hello in one Initial (no trick)", "quic hello over two Initials", "quic hello over three Initials",
              "quic two Initials, later half first", "quic two Initials coalesced, CRYPTO frames out of order",
              "quic unknown-version Initial first", "quic three 0-RTT datagrams first",
              "quic Retry, the name only in the new Initials"]
# A version no server here speaks (not of the reserved 0x?a?a?a?a form):
# the server answers it with a Version Negotiation.
UNKNOWN_VERSION = 0x5B6C7D8E
# The case whose server asks every new connection for a Retry (gtlsserver
# -V) listens on the port after QUIC_PORT.
RETRY_PORT_OFFSET = 1


def long_header_packet(first, version, dcid, scid, size):
    """A long-header datagram of `size` bytes whose payload is noise: an
    Initial of a version the server does not read, or a 0-RTT packet the
    server has no keys for."""
    head = bytes([first]) + struct.pack("!I", version) + bytes([len(dcid)]) + dcid + bytes([len(scid)]) + scid
    if first & 0x30 == 0x10:  # 0-RTT: a Length field, no token
        body = os.urandom(size - len(head) - 2)
        return head + struct.pack("!H", 0x4000 | len(body)) + body
    return head + os.urandom(size - len(head))


def quic_datagrams(case, dcid, scid, hello, k, token=b""):
    first, second = crypto_frame(0, hello[:k]), crypto_frame(k, hello[k:])
    if case.endswith("coalesced, CRYPTO frames out of order"):
        lead = initial_packet(dcid, scid, 0, second, token=token)
        return [lead + initial_packet(dcid, scid, 1, first, 1200 - len(lead), token)]
    if any(w in case for w in ("one Initial", "Initial first", "datagrams first", "new Initials")):
        return [initial_packet(dcid, scid, 0, crypto_frame(0, hello), 1200, token)]
    if "three Initials" in case:
        m = k + (len(hello) - k) // 2
        return [initial_packet(dcid, scid, pn, crypto_frame(a, hello[a:b]), 1200, token)
                for pn, (a, b) in enumerate([(0, k), (k, m), (m, len(hello))])]
    datagrams = [initial_packet(dcid, scid, 0, first, 1200, token),
                 initial_packet(dcid, scid, 1, second, 1200, token)]
    if "later half first" in case:
        datagrams.reverse()
    return datagrams


def quic_lead(case, s, server, port, dcid, scid):
    """What a case sends before its hello: an Initial of a version the
    server answers with a Version Negotiation (awaited, as a client does),
    or 0-RTT datagrams."""
    if "unknown-version" in case:
        s.sendto(long_header_packet(0xC3, UNKNOWN_VERSION, dcid, scid, 1200), (server, port))
        deadline = time.monotonic() + 1.0
        while time.monotonic() < deadline:
            try:
                data = s.recv(65535)
            except socket.timeout:
                continue
            if len(data) > 5 and data[0] & 0x80 and data[1:5] == b"\0\0\0\0":
                return True
        return False
    if "0-RTT" in case:
        for _ in range(3):
            s.sendto(long_header_packet(0xD3, 1, dcid, scid, 300), (server, port))
            time.sleep(0.02)
    return True


def quic_case(server, port, sport, host, case):
    dcid, scid = os.urandom(8), os.urandom(8)
    hello = quic_hello(host, scid)
    k = cut_in_name(hello, host)
    after_retry = "the name only in the new Initials" in case
    if after_retry:
        # The first hello names an allowed host; the server's Retry turns
        # it down and the hello it reads, in the new Initials, names `host`.
        port += RETRY_PORT_OFFSET
        first_hello, hello = quic_hello(OPEN, scid), hello
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((CLIENT, sport))
    s.settimeout(0.1)

    def send(datagrams):
        for d in datagrams:
            s.sendto(d, (server, port))
            time.sleep(0.02)
    try:
        if not quic_lead(case, s, server, port, dcid, scid):
            return None  # no Version Negotiation: the server does not play its part
        if after_retry:
            send(quic_datagrams(case, dcid, scid, first_hello, k))
        else:
            send(quic_datagrams(case, dcid, scid, hello, k))
        retried = False
        deadline = time.monotonic() + ANSWER_WAIT
        while time.monotonic() < deadline:
            try:
                data = s.recv(65535)
            except socket.timeout:
                continue
            retry = retry_of(data)
            if retry and not retried:
                # A server may ask for the first flight again (ngtcp2 does
                # when the first Initial does not start the CRYPTO stream):
                # sent again as a client does, the same way, with the token.
                retried = True
                dcid = retry[0]
                send(quic_datagrams(case, dcid, scid, hello, k, retry[1]))
                continue
            if server_sent_crypto(data, dcid):
                return True
        if after_retry and not retried:
            return None  # the server never asked for a Retry: nothing was tried
        return False
    finally:
        s.close()


# ------------------------------------------------------------------- main

def main():
    if sys.argv[1] == "tls-count":
        print(2 * len(tls_cases(OPEN)))
        return 0
    server, tls_first, quic_port = sys.argv[2], sys.argv[3], int(sys.argv[4])
    # The TCP tricks' servers: IPv6 HTTP, and the HelloRetryRequest servers
    # (allowed, blocked) of each family.
    server6, hrr4, hrr6 = sys.argv[5], sys.argv[6].split(","), sys.argv[7].split(",")
    tls_base = struct.unpack("!I", socket.inet_aton(tls_first))[0]
    wire = Wire()
    jobs = []
    port = FIRST_PORT
    tls_index = 0
    for host in (OPEN, BLOCKED):
        for name, segments in http_cases(host):
            jobs.append((name, host, port, lambda p=port, s=segments, w=wait_for(host): tcp_case(
                wire, p, server, HTTP_PORT, s, lambda d: d.startswith(b"HTTP/"), w)))
            port += 1
        for name, segments in tls_cases(host):
            address = socket.inet_ntoa(struct.pack("!I", tls_base + tls_index))
            tls_index += 1
            # A ServerHello: a handshake record whose message is type 2.
            jobs.append((name, host, port, lambda p=port, a=address, s=segments, w=wait_for(host): tcp_case(
                wire, p, a, TLS_PORT, s, lambda d: d[:1] == b"\x16" and d[5:6] == b"\x02", w)))
            port += 1
        for name in QUIC_CASES:
            jobs.append((name, host, port, lambda p=port, n=name, h=host: quic_case(
                server, quic_port, p, h, n)))
            port += 1
    trick_jobs, port = tcp_trick_jobs(port, [(wire, server, hrr4), (Wire(CLIENT6), server6, hrr6)])
    jobs += trick_jobs
    failed = 0
    with ThreadPoolExecutor(max_workers=12) as pool:
        futures = [(name, host, p, pool.submit(run)) for name, host, p, run in jobs]
        for name, host, p, future in futures:
            try:
                answered = future.result()
            except Exception as e:  # a fault of this client: reported, the rest go on
                answered, why = None, "%s: %s" % (type(e).__name__, e)
            else:
                why = "no connection"
            if answered is None:
                print("FAIL: %s %s (port %d): %s" % (name, host, p, why))
                failed += 1
                continue
            want = host != BLOCKED
            what = "answered" if answered else "no answer"
            if answered == want:
                print("ok: %s %s (port %d): %s" % (name, host, p, what))
            else:
                print("FAIL: %s %s (port %d): %s" % (name, host, p, what))
                failed += 1
    wire.running = False
    sys.stdout.flush()
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
