#!/usr/bin/python3
"""Checks the QUIC flows of the recorded captures against tshark, which
decrypts client Initials on its own: the host name, ALPN and QUIC version it
decodes must be what oxlo-replay reports, and the JA4 client fingerprint
rebuilt here from tshark's ClientHello fields must equal the engine's."""
import json
import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "oxlo", "protocols"))
from tls_fingerprints_test import BUILD, SRC, ja4, tshark  # noqa: E402

CAPTURES = os.path.join(SRC, "tests", "captures", "quic")
VERSIONS = {0x00000001: "V-1", 0x6B3343CF: "V-2"}


def label(version):
    if version in VERSIONS:
        return VERSIONS[version]
    if version >> 8 == 0xFF0000:
        return "Draft-%d" % (version & 0xFF)
    return "Unknown (%04X)" % version


def main():
    replay = os.path.join(BUILD, "oxlo-replay")
    if not os.access(replay, os.X_OK) or not shutil.which("tshark"):
        print("quic_fingerprints_test: oxlo-replay or tshark missing")
        return 1
    failures, checked = [], 0
    for name in sorted(os.listdir(CAPTURES)):
        if not name.endswith(".pcap"):
            continue
        path = os.path.join(CAPTURES, name)
        flows = [json.loads(l) for l in subprocess.run([replay, path], capture_output=True, text=True,
                                                       check=True).stdout.splitlines() if l.strip()]
        by_port = {f["client_port"]: f for f in flows if f.get("l4") == "UDP"}
        seen = set()
        for r in tshark(path, "tls", 1, ["handshake.version", "handshake.ciphersuite", "handshake.extension.type",
                                         "handshake.extensions.supported_version", "handshake.sig_hash_alg",
                                         "handshake.extensions_alpn_str", "handshake.extensions_server_name"]):
            port = int(r[1])
            if port in seen:
                continue
            seen.add(port)
            flow = by_port.get(port, {})
            version = subprocess.run(["tshark", "-r", path, "-Y", "quic.long.packet_type == 0 && udp.srcport == %d"
                                      % port, "-T", "fields", "-e", "quic.version"],
                                     capture_output=True, text=True, check=True).stdout
            version = (version.split() or ["0"])[0].split(",")[0]
            if int(version, 0) & 0x0F0F0F0F == 0x0A0A0A0A:
                continue  # a reserved version only asks for Version Negotiation; its Initial is not read
            want = {"tls.ja4": ja4("q", r[4:]), "tls.alpn": r[9], "tls.sni": r[10],
                    "host": r[10], "quic.version": label(int(version, 0)), "confidence": "DPI"}
            got = {"tls.ja4": flow.get("tls", {}).get("ja4"), "tls.alpn": flow.get("tls", {}).get("alpn"),
                   "tls.sni": flow.get("tls", {}).get("sni"), "host": flow.get("host"),
                   "quic.version": flow.get("quic", {}).get("version"), "confidence": flow.get("confidence")}
            for key in want:
                checked += 1
                if got[key] != want[key]:
                    failures.append("%s port %d: %s %r, tshark/independent %r" % (name, port, key, got[key],
                                                                                 want[key]))
    for f in failures:
        print("FAIL", f)
    print("quic_fingerprints_test: %d facts compared, %d failures" % (checked, len(failures)))
    return 1 if failures or checked == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
