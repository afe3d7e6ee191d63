#!/usr/bin/python3
"""Replays the recorded captures through build/oxlo-replay and compares each
flow with manifest.json: what the engine decided (transport, client, server,
protocol, confidence) and how many packets it saw; host and risks where the
manifest lists them."""
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


def main():
    if not os.access(REPLAY, os.X_OK):
        print("replay_test: %s not built (libpcap missing?)" % REPLAY)
        return 1
    manifest = json.load(open(os.path.join(HERE, "manifest.json")))
    failures = []
    by_file = {}
    for flow in manifest["flows"]:
        by_file.setdefault(flow["file"], []).append(flow)
    for name, expected in sorted(by_file.items()):
        path = os.path.join(HERE, name)
        if os.path.getsize(path) >= 1 << 20:
            failures.append("%s: capture is not under 1 MB" % name)
        out = subprocess.run([REPLAY, path], capture_output=True, text=True, timeout=60)
        if out.returncode != 0:
            failures.append("%s: oxlo-replay exited %d: %s" % (name, out.returncode, out.stderr))
            continue
        got = [json.loads(line) for line in out.stdout.splitlines() if line.strip()]
        for g in got:
            missing = [k for k in KEYS if k not in g]
            if missing:
                failures.append("%s: flow without %s: %s" % (name, missing, g))
        if len(got) != len(expected):
            failures.append("%s: %d flows, manifest has %d:\n  %s" % (
                name, len(got), len(expected), "\n  ".join(json.dumps(g) for g in got)))
            continue
        # Flows come out in order of first packet, as the manifest lists them.
        for e, g in zip(expected, got):
            for key in ("l4", "client", "server", "server_port", "proto", "confidence", "packets",
                        "host", "risks"):
                if key in e and g.get(key) != e[key]:
                    failures.append("%s: %s: %s is %r, expected %r" % (name, e["what"], key, g.get(key), e[key]))
            # "expect": further facts of the flow, by dotted key ("tls.sni").
            for key, want in e.get("expect", {}).items():
                value = g
                for part in key.split("."):
                    value = value.get(part) if isinstance(value, dict) else None
                if value != want:
                    failures.append("%s: %s: %s is %r, expected %r" % (name, e["what"], key, value, want))
            if g["proto"] != "Unknown" and (g["category"] == "Unspecified" or g["breed"] == "Unrated"):
                failures.append("%s: %s: classified without a category or breed" % (name, e["what"]))
    for f in failures:
        print("FAIL", f)
    print("replay_test: %d captures, %d flows, %d failures" % (len(by_file), len(manifest["flows"]), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
