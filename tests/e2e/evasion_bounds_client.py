#!/usr/bin/python3
"""The client side of evasion_bounds_test.sh, run in the client namespace.

Each case takes a request or hello past one of the engine's stream bounds
(the bytes a direction may hold, the segments held ahead of a gap, the
segments that bring nothing new, the time a gap may stay open), and once
just below it. Past the bound the engine cannot read the name as the server
does: the flow gets the strictest verdict its policy could give, drop here
(the policy drops a host name), whatever the name. Below it the name is
read: the allowed name is answered, the blocked one dropped.

    evasion_bounds_client.py bounds HTTP_SERVER TLS_ADDRESS,... HTTP_SERVER6
    evasion_bounds_client.py table HTTP_SERVER HOLD EXPECT_ALLOWED

prints one line per case: "ok:" or "FAIL:", the case, the client port, and
what the server did ("answered" or "no answer"). `table` holds HOLD
connections in progress (a request cut short), then tries one connection
per name; EXPECT_ALLOWED says whether the allowed name is to be answered.
"""
import os
import socket
import struct
import sys
import time
from concurrent.futures import ThreadPoolExecutor

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import evasion_client as ev  # noqa: E402  (the raw TCP connections and hellos)

BLOCKED, OPEN = ev.BLOCKED, ev.OPEN
FIRST_PORT = 40000
GAP_TIMEOUT = 10.0  # seconds a gap may stay open in the engine


def wait_for(want):
    """Seconds to wait for an answer: long when it should come (a loaded
    machine), short when it should not."""
    return ev.OPEN_WAIT if want else ev.ANSWER_WAIT


def is_http(d):
    return d.startswith(b"HTTP/")


def is_server_hello(d):
    return any(h[2:34] != ev.HRR_RANDOM for h in ev.server_hellos(d))


def padded_request(host, header_bytes, lines):
    """A GET with `lines` headers of header_bytes in all before its Host line."""
    size = header_bytes // lines
    pad = ["X-Pad-%d: %s" % (i, "a" * (size - 12)) for i in range(lines)]
    return ev.http_request(pad + ["Host: " + host])


def stale_head(data, head, copies):
    # The head of the request, then `copies` duplicates of it while the
    # HTTP dissector waits for the rest, then the rest.
    return [(0, data[:head])] + [(0, data[:head])] * copies + [(head, data[head:])]


def gap_held(data, seconds):
    # The tail with the Host line first, held ahead of a gap for `seconds`,
    # then the head.
    k = data.index(b"Host: ") - 4
    return [(k, data[k:]), ("sleep", seconds), (0, data[:k])]


def hello_with_suites(host, suites, padding=0):
    """A TLS 1.3 hello whose cipher suites list `suites` codes that name
    nothing before the real ones, and whose extensions open with `padding`
    bytes of the padding extension, so that its name comes after them; cut
    into records of at most 16 KiB as a client must."""
    hello = ev.tls13_hello(host, 0x0017, os.urandom(32), os.urandom(32))
    body = hello[9:]
    at = 2 + 32 + 1 + 32
    count = struct.unpack("!H", body[at:at + 2])[0]
    filler = b"".join(struct.pack("!H", 0x0A0A + 0x10 * (i % 0xF00)) for i in range(suites))
    body = body[:at] + struct.pack("!H", count + len(filler)) + filler + body[at + 2:]
    if padding:
        at += 2 + count + len(filler)
        at += 1 + body[at]
        size = struct.unpack("!H", body[at:at + 2])[0]
        pad = struct.pack("!HH", 21, padding) + bytes(padding)
        body = body[:at] + struct.pack("!H", size + len(pad)) + pad + body[at + 2:]
    message = b"\x01" + struct.pack("!I", len(body))[1:] + body
    records = b""
    for i in range(0, len(message), 16384):
        piece = message[i:i + 16384]
        records += b"\x16\x03\x01" + struct.pack("!H", len(piece)) + piece
    return records


def run_steps(wire, sport, server, dport, steps, wanted, wait=None):
    c = ev.Connection(wire, sport, server, dport)
    try:
        if not c.connect():
            return False  # the handshake itself was dropped
        for step in steps:
            if step[0] == "sleep":
                time.sleep(step[1])
                continue
            c.segment(*step)
            time.sleep(0.001)
        return c.answer(wanted, wait or ev.ANSWER_WAIT)
    finally:
        c.close()


def bound_cases(host):
    """(name, steps, expected answer) of each bound, past it and below it."""
    allowed = host != BLOCKED
    one_big = padded_request(host, 33 * 1024, 1)
    one_below = padded_request(host, 28 * 1024, 1)
    forty = padded_request(host, 40 * 1024, 40)
    thirty = padded_request(host, 28 * 1024, 28)
    plain = ev.http_request(["Host: " + host, "X-Pad: " + "p" * 600])
    head = plain.index(b"Host: ") + 8
    late = ev.http_request(["X-Pad: " + "p" * 600, "Host: " + host])
    return [
        ("one 33 KiB header before Host, 1 KiB segments", ev.pieces(one_big, 1024), False),
        ("one 28 KiB header before Host, 1 KiB segments", ev.pieces(one_below, 1024), allowed),
        ("40 x 1 KiB headers before Host, 1 KiB segments", ev.pieces(forty, 1024), False),
        ("28 x 1 KiB headers before Host, 1 KiB segments", ev.pieces(thirty, 1024), allowed),
        ("70 pieces, last first", list(reversed(ev.pieces(plain, -(-len(plain) // 70)))), False),
        ("60 pieces, last first", list(reversed(ev.pieces(plain, -(-len(plain) // 60)))), allowed),
        ("260 duplicates of the head while HTTP waits", stale_head(plain, head, 260), False),
        ("240 duplicates of the head while HTTP waits", stale_head(plain, head, 240), allowed),
        ("a gap held 11 s", gap_held(late, GAP_TIMEOUT + 1), False),
        ("a gap held 7 s", gap_held(late, GAP_TIMEOUT - 3), allowed),
    ]


def tls_cases(host):
    # The engine puts a handshake message of up to 64 KiB back together.
    allowed = host != BLOCKED
    return [
        ("66 KiB ClientHello, the name after 30,000 cipher suites and 6 KB of padding",
         hello_with_suites(host, 30000, 6000), False),
        ("60 KiB ClientHello, the name after 30,000 cipher suites",
         hello_with_suites(host, 30000), allowed),
    ]


def socket_case(server, port, data, wanted, bind_port):
    """Over a socket of this host's TCP: a hello larger than the server's
    window needs its ACKs."""
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    try:
        s.bind((ev.CLIENT, bind_port))
        s.settimeout(ev.OPEN_WAIT)
        s.connect((server, port))
        s.sendall(data)
        got, deadline = b"", time.monotonic() + ev.OPEN_WAIT
        while time.monotonic() < deadline:
            chunk = s.recv(65536)
            if not chunk:
                break
            got += chunk
            if wanted(got):
                return True
        return False
    except OSError:
        return False
    finally:
        s.close()


def report(results):
    failed = 0
    for name, host, port, want, answered in results:
        what = "answered" if answered else "no answer"
        ok = answered == want
        failed += not ok
        print("%s: %s %s (port %d): %s" % ("ok" if ok else "FAIL", name, host, port, what))
    sys.stdout.flush()
    return 1 if failed else 0


def bounds(server, tls_addresses, server6):
    wire, wire6 = ev.Wire(), ev.Wire(ev.CLIENT6)
    # Sockets bind ports above the raw ones (whose resets are dropped).
    jobs, port, sock_port, tls = [], FIRST_PORT, FIRST_PORT + 1000, iter(tls_addresses)
    for host in (OPEN, BLOCKED):
        for w, a, family in ((wire, server, "IPv4"), (wire6, server6, "IPv6")):
            for name, steps, want in bound_cases(host):
                jobs.append(("%s %s" % (name, family), host, port, want,
                             lambda p=port, s=steps, w=w, a=a, t=wait_for(want): run_steps(
                                 w, p, a, ev.HTTP_PORT, s, is_http, t)))
                port += 1
        for name, hello, want in tls_cases(host):
            jobs.append((name, host, sock_port, want, lambda p=sock_port, a=next(tls), h=hello:
                         socket_case(a, ev.TLS_PORT, h, is_server_hello, p)))
            sock_port += 1
    with ThreadPoolExecutor(max_workers=len(jobs)) as pool:
        futures = [(name, host, p, want, pool.submit(run)) for name, host, p, want, run in jobs]
        results = [(name, host, p, want, f.result()) for name, host, p, want, f in futures]
    wire.running = wire6.running = False
    return report(results)


def table(server, hold, expect_allowed):
    """Connections in progress fill the flow table; then a new connection
    to each name."""
    holders = []
    try:
        failures = 0
        for _ in range(hold):
            # Past the table's limit the handshake itself is dropped: after
            # two such in a row the table is full, and the probes go at
            # once (before the first of these connections falls idle and
            # makes room).
            # (A SYN the server's short accept queue dropped is sent again
            # after a second: that one is waited for.)
            time.sleep(0.01)
            try:
                s = socket.create_connection((server, ev.HTTP_PORT), timeout=2.5)
            except OSError:
                failures += 1
                if failures == 2:
                    break
                continue
            failures = 0
            s.sendall(b"GET /index.txt HTTP/1.1\r\nHo")
            holders.append(s)
        print("connections in progress: %d of %d" % (len(holders), hold))
        wire = ev.Wire()
        results = []
        # Ports the bound cases did not use: the server may still hold
        # their connections (a dropped flow's reset never reached it).
        for i, host in enumerate((OPEN, BLOCKED)):
            port = FIRST_PORT + 500 + 2 * i + (0 if expect_allowed else 1) * 10
            answered = run_steps(wire, port, server, ev.HTTP_PORT,
                                 [(0, ev.http_request(["Host: " + host]))], is_http)
            results.append(("new connection, %d connections in progress" % hold, host, port,
                            expect_allowed and host != BLOCKED, answered))
        wire.running = False
        return report(results)
    finally:
        for s in holders:
            s.close()


def main():
    if sys.argv[1] == "bounds":
        return bounds(sys.argv[2], sys.argv[3].split(","), sys.argv[4])
    if sys.argv[1] == "table":
        return table(sys.argv[2], int(sys.argv[3]), sys.argv[4] == "1")
    return 2


if __name__ == "__main__":
    sys.exit(main())
