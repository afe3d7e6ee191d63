#!/usr/bin/python3
"""Checks the TLS fingerprints of the recorded captures against an independent
computation: tshark prints JA3S for every ServerHello, and the JA4 client
fingerprint is rebuilt here from the ClientHello fields tshark decodes. Each
flow is matched by its client port with what oxlo-replay printed."""
import hashlib
import json
import os
import shutil
import subprocess
import sys

SRC = os.environ.get("VESK_SOURCE", os.path.join(os.path.dirname(__file__), "..", "..", ".."))
BUILD = os.environ.get("VESK_BUILD", os.path.join(SRC, "build"))
CAPTURES = [os.path.join(SRC, "tests", "captures", "tls", n) for n in ("tls.pcap", "tls_cases.pcap")]
GREASE = {0x0A0A + 0x1010 * i for i in range(16)}
VERSION_CHARS = {0x0002: "s2", 0x0300: "s3", 0x0301: "10", 0x0302: "11", 0x0303: "12", 0x0304: "13",
                 0xFEFF: "d1", 0xFEFD: "d2", 0xFEFC: "d3"}


def tshark(path, proto, hs_type, fields):
    cmd = ["tshark", "-r", path, "-Y", "%s.handshake.type == %d" % (proto, hs_type), "-T", "fields",
           "-E", "separator=|", "-E", "aggregator=,", "-e", "tcp.srcport", "-e", "udp.srcport",
           "-e", "tcp.dstport", "-e", "udp.dstport"]
    for f in fields:
        cmd += ["-e", "%s.%s" % (proto, f)]
    out = subprocess.run(cmd, capture_output=True, text=True, check=True).stdout
    return [line.split("|") for line in out.splitlines() if line.strip()]


def ints(text):
    return [int(v, 0) for v in text.split(",") if v]


def newest(versions):
    # DTLS numbers its versions downwards.
    return max(versions, key=lambda v: (1 << 16) + (0xFF - (v & 0xFF)) if v >> 8 == 0xFE else v)


def sha12(text):
    return hashlib.sha256(text.encode()).hexdigest()[:12] if text else "000000000000"


def ja4(letter, row):
    legacy, ciphers, exts, versions, sigs, alpn, sni = row
    ciphers = [c for c in ints(ciphers) if c not in GREASE]
    exts = [e for e in ints(exts) if e not in GREASE]
    version = newest([int(legacy, 0)] + [v for v in ints(versions) if v not in GREASE])
    first_alpn = alpn.split(",")[0] if alpn else ""
    prefix = "%s%s%s%02d%02d%s_" % (letter, VERSION_CHARS.get(version, "00"), "d" if sni else "i",
                                    min(len(ciphers), 99), min(len(exts), 99),
                                    (first_alpn[0] + first_alpn[-1]) if first_alpn else "00")
    cipher_text = ",".join("%04x" % c for c in sorted(ciphers))
    ext_list = sorted(e for e in exts if e not in (0x0000, 0x0010))
    ext_text = ",".join("%04x" % e for e in ext_list)
    if sigs:
        ext_text += "_" + ",".join("%04x" % s for s in ints(sigs))
    return prefix + sha12(cipher_text) + "_" + (sha12(ext_text) if ext_list else "000000000000")


def main():
    replay = os.path.join(BUILD, "oxlo-replay")
    if not os.access(replay, os.X_OK) or not shutil.which("tshark"):
        print("tls_fingerprints_test: oxlo-replay or tshark missing")
        return 1
    failures, checked = [], 0
    for path in CAPTURES:
        flows = [json.loads(l) for l in subprocess.run([replay, path], capture_output=True, text=True,
                                                       check=True).stdout.splitlines() if l.strip()]
        by_port = {f["client_port"]: f for f in flows if "tls" in f}
        for proto, letter in (("tls", "t"), ("dtls", "d")):
            seen = set()
            for r in tshark(path, proto, 1, ["handshake.version", "handshake.ciphersuite",
                                             "handshake.extension.type", "handshake.extensions.supported_version",
                                             "handshake.sig_hash_alg", "handshake.extensions_alpn_str",
                                             "handshake.extensions_server_name"]):
                port = int(r[0] or r[1])
                if port in seen:
                    continue  # DTLS repeats its ClientHello with the cookie
                seen.add(port)
                want = ja4(letter, r[4:])
                got = by_port.get(port, {}).get("tls", {}).get("ja4")
                checked += 1
                if got != want:
                    failures.append("%s port %d: JA4 %s, independent %s" % (os.path.basename(path), port, got, want))
            for r in tshark(path, proto, 2, ["handshake.ja3s"]):
                port = int(r[2] or r[3])
                got = by_port.get(port, {}).get("tls", {}).get("ja3s")
                checked += 1
                if got != r[4]:
                    failures.append("%s port %d: JA3S %s, tshark %s" % (os.path.basename(path), port, got, r[4]))
    for f in failures:
        print("FAIL", f)
    print("tls_fingerprints_test: %d fingerprints compared, %d failures" % (checked, len(failures)))
    return 1 if failures or checked == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
