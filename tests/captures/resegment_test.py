#!/usr/bin/python3
"""Segmentation invariance: every capture with TCP flows is re-cut (recut.py)
into segments of 1, 7, 88 and 536 bytes, and once more with each pair of
adjacent segments swapped, then replayed through build/oxlo-replay. Every
flow must keep the protocol, host name and risks the original capture gives
it: how a sender cuts its writes is no fact about the application.
resegment_known.txt lists the flows that still change, and under which
cuts: a change not listed fails, a listed one that no longer happens is
reported so that the list shrinks."""
import concurrent.futures
import json
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import recut  # noqa: E402

SRC = os.environ.get("VESK_SOURCE", os.path.join(os.path.dirname(__file__), "..", ".."))
BUILD = os.environ.get("VESK_BUILD", os.path.join(SRC, "build"))
HERE = os.path.join(SRC, "tests", "captures")
REPLAY = os.path.join(BUILD, "oxlo-replay")
SIZES = (1, 7, 88, 536)
# 1-byte segments for the first 4 KiB of each direction, larger sizes for
# the first 16 KiB: classification and the facts compared are decided long
# before, and the biggest flows stay quick to replay.
LIMITS = {1: 4096}
DEFAULT_LIMIT = 16384
FACTS = ("proto", "host", "risks")
KNOWN = os.path.join(HERE, "resegment_known.txt")


def known_changes():
    """{(capture, client port, server port): {cut, ...}} from resegment_known.txt."""
    known = {}
    with open(KNOWN) as f:
        for line in f:
            line = line.split("#", 1)[0].split()
            if line:
                known[(line[0], line[1], line[2])] = set(line[3].split(","))
    return known


def replay(path):
    out = subprocess.run([REPLAY, path], capture_output=True, text=True, timeout=300)
    if out.returncode != 0:
        raise RuntimeError("%s: oxlo-replay failed: %s" % (path, out.stderr.strip()))
    return [json.loads(line) for line in out.stdout.splitlines() if line.strip()]


def tcp_flows(flows):
    return {(f["client"], f.get("client_port"), f["server"], f["server_port"]): f
            for f in flows if f.get("l4") == "TCP"}


def facts(flow):
    return {k: flow.get(k) for k in FACTS}


def check(capture, tmp):
    """Differences of one capture under every cut, as text lines."""
    with open(capture, "rb") as f:
        data = f.read()
    original = tcp_flows(replay(capture))
    if not original:
        return []
    name = os.path.relpath(capture, HERE)
    problems = []
    for swap in (False, True):
        for size in SIZES:
            cut = recut.recut(data, size, swap, LIMITS.get(size, DEFAULT_LIMIT))
            path = os.path.join(tmp, "%s_%d%s.pcap" % (name.replace("/", "_"), size, "s" if swap else ""))
            with open(path, "wb") as f:
                f.write(cut)
            got = tcp_flows(replay(path))
            os.unlink(path)
            for key, want in original.items():
                have = got.get(key)
                cut = "%d%s" % (size, "s" if swap else "")
                flow = (name, str(key[1]), str(key[3]))
                if have is None:
                    problems.append((flow, cut, "%s %s: flow %s missing" % (name, cut, key)))
                elif facts(have) != facts(want):
                    problems.append((flow, cut, "%s %d-byte segments%s: %s:%s -> %s:%s: %s, originally %s" % (
                        name, size, " swapped" if swap else "", key[0], key[1], key[2], key[3],
                        json.dumps(facts(have)), json.dumps(facts(want)))))
    return problems


def main():
    captures = sorted(os.path.join(HERE, d, f) for d in os.listdir(HERE) if os.path.isdir(os.path.join(HERE, d))
                      for f in os.listdir(os.path.join(HERE, d)) if f.endswith(".pcap"))
    if len(sys.argv) > 1:
        captures = [c for c in captures if any(a in c for a in sys.argv[1:])]
    problems = []
    with tempfile.TemporaryDirectory() as tmp:
        with concurrent.futures.ThreadPoolExecutor(max_workers=4) as pool:
            for result in pool.map(lambda c: check(c, tmp), captures):
                problems.extend(result)
    known = known_changes()
    failures = [text for flow, cut, text in problems if cut not in known.get(flow, ())]
    seen = {}
    for flow, cut, _ in problems:
        seen.setdefault(flow, set()).add(cut)
    checked = {os.path.relpath(c, HERE) for c in captures}
    for flow, cuts in sorted(known.items()):
        gone = cuts - seen.get(flow, set())
        if flow[0] in checked and gone:
            print("note: %s %s -> %s no longer changes under %s (take it off resegment_known.txt)" % (
                flow[0], flow[1], flow[2], ",".join(sorted(gone))))
    for text in failures:
        print(text)
    print("resegment: %d captures, %d changes, %d not among the known ones" % (
        len(captures), len(problems), len(failures)))
    return 1 if failures else 0

if __name__ == "__main__":
    sys.exit(main())
