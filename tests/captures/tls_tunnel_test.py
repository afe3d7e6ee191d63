#!/usr/bin/python3
"""The obfuscated-TLS heuristic on real traffic: the TLS-in-TLS flow of
tls_tunnel/tls_tunnel.pcap raises the obfuscated-traffic risk with
tls.dpi.heuristics 0x02 and keeps its classification; the plain TLS flow
beside it does not, nor do the SSH key exchanges inside TLS of
tls_tunnel/ssh_in_tls.pcap, and with the default knob none does."""
import json
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
SRC = os.environ.get("VESK_SOURCE", os.path.join(HERE, "..", ".."))
REPLAY = os.path.join(os.environ.get("VESK_BUILD", os.path.join(SRC, "build")), "oxlo-replay")
PCAP = os.path.join(HERE, "tls_tunnel", "tls_tunnel.pcap")
SSH_PCAP = os.path.join(HERE, "tls_tunnel", "ssh_in_tls.pcap")


def flows(*knobs, pcap=PCAP):
    args = [REPLAY]
    for k in knobs:
        args += ["-k", k]
    out = subprocess.run(args + [pcap], capture_output=True, text=True, timeout=60, check=True).stdout
    return [json.loads(line) for line in out.splitlines() if line.strip()]


def main():
    if not os.access(REPLAY, os.X_OK):
        print("tls_tunnel_test: %s not built" % REPLAY)
        return 1
    failures = []
    on = flows("tls,dpi.heuristics,0x02")
    off = flows()
    tunnel, plain = [f for f in on if f["server_port"] == 8443], [f for f in on if f["server_port"] == 9443]
    if len(tunnel) != 1 or len(plain) != 1:
        failures.append("expected one tunnel and one plain flow, got %s" % on)
    else:
        if "Obfuscated Traffic" not in tunnel[0]["risks"] or tunnel[0]["proto"] != "TLS":
            failures.append("TLS in TLS, knob on: %s %s" % (tunnel[0]["proto"], tunnel[0]["risks"]))
        if tunnel[0]["confidence"] != "DPI (aggressive)":
            failures.append("TLS in TLS, knob on: confidence %s" % tunnel[0]["confidence"])
        if "Obfuscated Traffic" in plain[0]["risks"]:
            failures.append("plain TLS, knob on: %s" % plain[0]["risks"])
    ssh = flows("tls,dpi.heuristics,0x02", pcap=SSH_PCAP)
    if len(ssh) != 2:
        failures.append("expected two SSH-in-TLS flows, got %s" % ssh)
    for f in ssh:
        if "Obfuscated Traffic" in f["risks"] or f["confidence"] != "DPI":
            failures.append("SSH in TLS, knob on: %s %s" % (f["confidence"], f["risks"]))
    for f in off + flows(pcap=SSH_PCAP):
        if "Obfuscated Traffic" in f["risks"]:
            failures.append("default knob: %s" % f["risks"])
    for f in failures:
        print("FAIL", f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
