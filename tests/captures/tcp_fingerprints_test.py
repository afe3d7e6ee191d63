#!/usr/bin/python3
"""Checks the TCP fingerprints of the SYNs of real Linux clients (curl,
python3, ssh, openssl) in the recorded captures against a computation of
the fields tshark decodes (flags, TTL, window, the options in order, MSS,
window scale), in both fingerprint formats, and that a fingerprint file
naming those texts makes the engine name the operating system."""
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile

SRC = os.environ.get("VESK_SOURCE", os.path.join(os.path.dirname(__file__), "..", ".."))
BUILD = os.environ.get("VESK_BUILD", os.path.join(SRC, "build"))
HERE = os.path.join(SRC, "tests", "captures")
REPLAY = os.path.join(BUILD, "oxlo-replay")
# capture -> the client whose SYNs it holds
CAPTURES = {"http/http.pcap": "curl", "http/http_cases.pcap": "curl and python3",
            "ssh/ssh.pcap": "ssh", "tls/tls.pcap": "openssl s_client"}


def syns(path):
    out = subprocess.run(["tshark", "-r", path, "-Y", "tcp.flags.syn == 1 && tcp.flags.ack == 0", "-T", "fields",
                          "-E", "separator=|", "-e", "tcp.srcport", "-e", "tcp.flags", "-e", "ip.ttl",
                          "-e", "ipv6.hlim", "-e", "tcp.window_size_value", "-e", "tcp.options",
                          "-e", "tcp.option_kind", "-e", "tcp.options.mss_val", "-e", "tcp.options.wscale.shift"],
                         capture_output=True, text=True, check=True).stdout
    return [line.split("|") for line in out.splitlines() if line.strip()]


def ttl_class(ttl):
    for c in (32, 64, 128, 192):
        if ttl <= c:
            return c
    return 255


def stable_options(raw):
    """The option bytes with the timestamp values zeroed (they change with
    every connection)."""
    b = bytearray(raw)
    i = 0
    while i < len(b):
        kind = b[i]
        if kind == 0:
            break
        if kind == 1:
            i += 1
            continue
        if i + 1 >= len(b) or b[i + 1] < 2:
            break
        if kind == 8 and b[i + 1] == 10:
            b[i + 2:i + 10] = bytes(8)
        i += b[i + 1]
    return bytes(b)


def expected(row):
    port, flags, ttl4, hlim, window, options, kinds, mss, wscale = row
    raw = bytes.fromhex(options.replace(":", ""))
    ttl = int(ttl4 or hlim)
    fmt0 = "%d_%d_%s_%s" % (int(flags, 16) & 0xFFF, ttl_class(ttl), window,
                            hashlib.sha256(stable_options(raw).hex().encode()).hexdigest()[:12])
    fmt1 = "%s:%s:%s:%s" % (window, "-".join(kinds.split(",")), mss, wscale)
    return int(port), fmt0, fmt1


def replay(path, *args):
    out = subprocess.run([REPLAY, *args, path], capture_output=True, text=True, check=True).stdout
    return {f["client_port"]: f for f in (json.loads(l) for l in out.splitlines() if l.strip()) if f["l4"] == "TCP"}


def main():
    if not os.access(REPLAY, os.X_OK) or not shutil.which("tshark"):
        print("tcp_fingerprints_test: oxlo-replay or tshark missing")
        return 1
    failures, checked, texts = [], 0, set()
    for name, client in CAPTURES.items():
        path = os.path.join(HERE, name)
        fmt0 = replay(path)
        fmt1 = replay(path, "-k", "NULL,metadata.tcp_fingerprint_format,1")
        for row in syns(path):
            port, want0, want1 = expected(row)
            checked += 1
            texts.add(want0)
            for got, want, label in ((fmt0, want0, "format 0"), (fmt1, want1, "format 1")):
                value = got.get(port, {}).get("tcp_fingerprint")
                if value != want:
                    failures.append("%s (%s) port %d %s: %r, from tshark %r" % (name, client, port, label, value, want))
            if fmt0.get(port, {}).get("os") != "Unknown":
                failures.append("%s port %d: OS %r without a fingerprint file" % (name, port, fmt0.get(port, {}).get("os")))
    # One system, one text: every IPv4 SYN here comes from the same kernel.
    v4 = {t for t in texts if "_64240_" in t}
    if len(v4) != 1:
        failures.append("the IPv4 SYNs of one system give %d fingerprints: %s" % (len(v4), sorted(v4)))
    with tempfile.NamedTemporaryFile("w", suffix=".txt", delete=False) as f:
        f.write("# the SYNs of this machine's clients\n")
        for t in sorted(texts):
            f.write("%s,5\n" % t)
        fp_file = f.name
    try:
        for name in CAPTURES:
            for port, flow in replay(os.path.join(HERE, name), "-F", fp_file).items():
                if flow["tcp_fingerprint"] and flow["os"] != "Linux":
                    failures.append("%s port %d: OS %r with the fingerprint file" % (name, port, flow["os"]))
    finally:
        os.unlink(fp_file)
    for f in failures:
        print("FAIL", f)
    print("tcp_fingerprints_test: %d SYNs compared, %d failures" % (checked, len(failures)))
    return 1 if failures or checked == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
