#!/usr/bin/python3
"""Replays the DNS-answer capture (dig, then curl and openssl s_client under
the answered name, once to the answered address and once to another
address of the same server) with DNS answer tracking and the address cache
on: only the connections to the address no answer gave carry the
unresolved-name risk, and the saved cache names the answered address with
the answer's time plus its time to live, as tshark reads them."""
import json
import os
import shutil
import subprocess
import sys
import tempfile

SRC = os.environ.get("VESK_SOURCE", os.path.join(os.path.dirname(__file__), "..", ".."))
BUILD = os.environ.get("VESK_BUILD", os.path.join(SRC, "build"))
CAPTURE = os.path.join(SRC, "tests", "captures", "dns", "dns_answers.pcap")
REPLAY = os.path.join(BUILD, "oxlo-replay")
RISK = "Unresolved hostname"
ANSWERED, OTHER = "10.200.0.1", "10.200.0.3"


def replay(*args):
    out = subprocess.run([REPLAY, *args, CAPTURE], capture_output=True, text=True, check=True).stdout
    return [json.loads(l) for l in out.splitlines() if l.strip()]


def main():
    if not os.access(REPLAY, os.X_OK) or not shutil.which("tshark"):
        print("dns_tracking_test: oxlo-replay or tshark missing")
        return 1
    failures = []
    with tempfile.TemporaryDirectory() as tmp:
        cache = os.path.join(tmp, "cache.txt")
        flows = replay("-k", "NULL,hostname_dns_check,1", "-k", "NULL,dpi.address_cache_size,100", "-A", cache)
        lines = open(cache).read().splitlines()
    checked = 0
    for f in flows:
        if f["server_port"] not in (80, 443):
            continue
        checked += 1
        want = f["server"] == OTHER
        if (RISK in f["risks"]) != want:
            failures.append("%s:%d host %s: risks %s" % (f["server"], f["server_port"], f["host"], f["risks"]))
    if checked != 4:
        failures.append("%d web flows, expected 4" % checked)
    for f in replay():
        if RISK in f["risks"]:
            failures.append("risk raised with the check off: %s:%d" % (f["server"], f["server_port"]))

    out = subprocess.run(["tshark", "-r", CAPTURE, "-Y", "dns.a", "-T", "fields", "-e", "frame.time_epoch",
                          "-e", "dns.a", "-e", "dns.resp.ttl"], capture_output=True, text=True, check=True).stdout
    when, address, ttl = out.split()[:3]
    octets = "".join("%02X" % int(o) for o in address.split("."))
    want_line = "%s%s\tok.vesk.test\t%d" % (octets, "0" * 24, int(float(when)) + int(ttl))
    if address != ANSWERED or lines != [want_line]:
        failures.append("cache file %r, expected [%r]" % (lines, want_line))
    for f in failures:
        print("FAIL", f)
    print("dns_tracking_test: %d flows, %d failures" % (checked, len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
