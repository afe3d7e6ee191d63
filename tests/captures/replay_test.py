#!/usr/bin/python3
"""Replays the recorded captures through build/oxlo-replay and compares each
flow with the manifest.json of its protocol's folder: what the engine decided
(transport, client, server, protocol, confidence) and how many packets it saw;
host, risks and further facts where the manifest lists them.

Every capture is replayed alone, then all of them in one run through one
engine (the mixed corpus): a dissector that takes another protocol's flow
shows in both, and state that one flow leaves for later ones (caches) shows
in the second. The mixed corpus runs once more with every dissector
called on each flow's first datagram (no shortcut by declared length): the
output must be the same."""
import json
import os
import subprocess
import sys

SRC = os.environ.get("VESK_SOURCE", os.path.join(os.path.dirname(__file__), "..", ".."))
BUILD = os.environ.get("VESK_BUILD", os.path.join(SRC, "build"))
HERE = os.path.join(SRC, "tests", "captures")
REPLAY = os.path.join(BUILD, "oxlo-replay")
KEYS = ("l4", "client", "client_port", "server", "server_port", "proto", "proto_id",
        "category", "breed", "confidence", "host", "risks", "packets")


def load_manifests():
    """(folder/file, [expected flows]) for every capture, sorted by path."""
    by_file = {}
    for folder in sorted(os.listdir(HERE)):
        path = os.path.join(HERE, folder, "manifest.json")
        if not os.path.isfile(path):
            continue
        for flow in json.load(open(path))["flows"]:
            by_file.setdefault(os.path.join(folder, flow["file"]), []).append(flow)
    return sorted(by_file.items())


def compare(name, expected, got, failures, mode):
    if len(got) != len(expected):
        failures.append("%s%s: %d flows, manifest has %d:\n  %s" % (
            name, mode, len(got), len(expected), "\n  ".join(json.dumps(g) for g in got)))
        return
    # Flows come out in order of first packet, as the manifest lists them.
    for e, g in zip(expected, got):
        missing = [k for k in KEYS if k not in g]
        if missing:
            failures.append("%s%s: flow without %s: %s" % (name, mode, missing, g))
        for key in ("l4", "client", "server", "server_port", "proto", "confidence", "packets", "host", "risks"):
            if key in e and g.get(key) != e[key]:
                failures.append("%s%s: %s: %s is %r, expected %r" % (name, mode, e["what"], key, g.get(key), e[key]))
        # "expect": further facts of the flow, by dotted key ("tls.sni").
        for key, want in e.get("expect", {}).items():
            value = g
            for part in key.split("."):
                value = value.get(part) if isinstance(value, dict) else None
            if value != want:
                failures.append("%s%s: %s: %s is %r, expected %r" % (name, mode, e["what"], key, value, want))
        if g.get("proto") != "Unknown" and (g.get("category") == "Unspecified" or g.get("breed") == "Unrated"):
            failures.append("%s%s: %s: classified without a category or breed" % (name, mode, e["what"]))


def replay(paths, failures, label, options=()):
    out = subprocess.run([REPLAY] + list(options) + paths, capture_output=True, text=True, timeout=300)
    if out.returncode != 0:
        failures.append("%s: oxlo-replay exited %d: %s" % (label, out.returncode, out.stderr))
        return None
    return [json.loads(line) for line in out.stdout.splitlines() if line.strip()]


def main():
    if not os.access(REPLAY, os.X_OK):
        print("replay_test: %s not built (libpcap missing?)" % REPLAY)
        return 1
    captures = load_manifests()
    failures = []
    for name, expected in captures:
        path = os.path.join(HERE, name)
        if os.path.getsize(path) >= 1 << 20:
            failures.append("%s: capture is not under 1 MB" % name)
        got = replay([path], failures, name)
        if got is not None:
            compare(name, expected, got, failures, "")
    # The mixed corpus: one engine, every capture in turn; each capture's
    # flows are printed when it ends, so the output splits by the counts.
    if not failures:
        got = replay([os.path.join(HERE, name) for name, _ in captures], failures, "mixed corpus")
        if got is not None:
            if len(got) != sum(len(e) for _, e in captures):
                failures.append("mixed corpus: %d flows, the manifests have %d" %
                                (len(got), sum(len(e) for _, e in captures)))
            else:
                at = 0
                for name, expected in captures:
                    compare(name, expected, got[at:at + len(expected)], failures, " (mixed corpus)")
                    at += len(expected)
            # The dissectors that declare a shortest first datagram are not
            # called on shorter ones: calling them anyway must change nothing.
            every = replay([os.path.join(HERE, name) for name, _ in captures], failures,
                           "mixed corpus, every dissector called", ("-E",))
            if every is not None and every != got:
                changed = [(a, b) for a, b in zip(got, every) if a != b]
                failures.append("mixed corpus: %d flows differ when every dissector is called, first:\n  %s\n  %s" % (
                    max(len(changed), abs(len(got) - len(every))),
                    json.dumps(changed[0][0]) if changed else "", json.dumps(changed[0][1]) if changed else ""))
    for f in failures:
        print("FAIL", f)
    print("replay_test: %d captures, %d flows, %d failures" % (
        len(captures), sum(len(e) for _, e in captures), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
