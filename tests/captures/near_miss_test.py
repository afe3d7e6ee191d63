#!/usr/bin/python3
"""Cross-protocol near misses: the text-protocol flows of the capture corpus
(HTTP and what rides on it, SMTP, IMAP, POP3, FTP, IRC, SIP, RTSP, XMPP,
RESP, telnet, NATS, STOMP, syslog, whois, munin, memcached) are offered to
each dissector that reads length-framed PDUs, registered alone
(oxlo-replay -D). Text read as a length-framed header announces lengths the
bytes never meet, so none of them may name a text flow, as recorded nor
re-cut into segments of 1 and 7 bytes (where a wait for an announced
length ends exactly on it). One row per dissector: the source files whose
routines size PDUs through the framing helpers."""
import json
import os
import re
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import recut  # noqa: E402

SRC = os.environ.get("VESK_SOURCE", os.path.join(os.path.dirname(__file__), "..", ".."))
BUILD = os.environ.get("VESK_BUILD", os.path.join(SRC, "build"))
HERE = os.path.join(SRC, "tests", "captures")
REPLAY = os.path.join(BUILD, "oxlo-replay")
PROTOCOLS = os.path.join(SRC, "oxlo", "protocols")

TEXT = {"HTTP", "IPP", "SOAP", "JSON-RPC", "MpegDash", "WebSocket", "SMTP", "IMAP", "POP3", "FTP_CONTROL",
        "IRC", "SIP", "RTSP", "Jabber", "RESP", "Telnet", "Nats", "STOMP", "Syslog", "Whois-DAS", "Munin",
        "Memcached"}
FRAMING_CALL = re.compile(r"oxlo_framing::(whole|walk|wait_for|wait_magic|first)\(")


def framed_dissectors():
    names = []
    for name in sorted(os.listdir(PROTOCOLS)):
        if name.endswith(".cpp"):
            with open(os.path.join(PROTOCOLS, name)) as f:
                if FRAMING_CALL.search(f.read()):
                    names.append(name[:-4])
    return names


def text_flows():
    """{capture path: [(index in the capture's flows, manifest entry)]} for the text flows over TCP."""
    chosen = {}
    for folder in sorted(os.listdir(HERE)):
        path = os.path.join(HERE, folder, "manifest.json")
        if not os.path.isfile(path):
            continue
        index = {}
        for flow in json.load(open(path))["flows"]:
            n = index.get(flow["file"], 0)
            index[flow["file"]] = n + 1
            if flow["l4"] == "TCP" and flow["truth"] in TEXT:
                chosen.setdefault(os.path.join(HERE, folder, flow["file"]), []).append((n, flow))
    return chosen


def replay(args):
    out = subprocess.run([REPLAY] + args, capture_output=True, text=True, timeout=300)
    if out.returncode != 0:
        raise RuntimeError("oxlo-replay %s failed: %s" % (" ".join(args[:2]), out.stderr.strip()))
    return [json.loads(line) for line in out.stdout.splitlines() if line.strip()]


def main():
    flows = text_flows()
    rows = framed_dissectors()
    failures = []
    with tempfile.TemporaryDirectory() as tmp:
        # Every capture as recorded and re-cut, with where its flows start
        # in a run over all of them (flows come out capture by capture).
        files, at = [], []
        start = 0
        for capture in sorted(flows):
            data = open(capture, "rb").read()
            for size in (None, 1, 7):
                path = capture
                if size:
                    path = os.path.join(tmp, "%s_%d.pcap" % (os.path.relpath(capture, HERE).replace("/", "_"), size))
                    with open(path, "wb") as f:
                        f.write(recut.recut(data, size, False, 4096))
                files.append(path)
                at.append((start, capture, size))
                start += len(replay(["-D", rows[0], path]))
        for dissector in rows:
            got = replay(["-D", dissector] + files)
            if len(got) != start:
                failures.append("%s: %d flows, expected %d" % (dissector, len(got), start))
                continue
            for first, capture, size in at:
                for n, want in flows[capture]:
                    flow = got[first + n] if first + n < len(got) else {}
                    if flow.get("confidence") == "DPI":
                        failures.append("%s alone names %s (%s%s) %s" % (
                            dissector, want["what"], os.path.relpath(capture, HERE),
                            ", %d-byte segments" % size if size else "", flow.get("proto")))
    for f in failures:
        print(f)
    print("near_miss: %d framed dissectors, %d text flows, %d failures" % (
        len(rows), sum(len(v) for v in flows.values()), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
