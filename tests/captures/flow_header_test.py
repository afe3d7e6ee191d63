#!/usr/bin/python3
"""The library's flow record (the flow header writer, through oxlo-replay -H)
and its fingerprint members on real captures, against tshark's view: the
TCP fingerprint and the SYN's raw options (openssl s_client's TLS flow,
curl's HTTP flows),
the engine fingerprints of both ends, the members' order, and the DHCP
option list, parameter request list and vendor class of busybox udhcpc."""
import json
import os
import re
import shutil
import subprocess
import sys

SRC = os.environ.get("VESK_SOURCE", os.path.join(os.path.dirname(__file__), "..", ".."))
BUILD = os.environ.get("VESK_BUILD", os.path.join(SRC, "build"))
HERE = os.path.join(SRC, "tests", "captures")
REPLAY = os.path.join(BUILD, "oxlo-replay")
TCP_CAPTURES = [os.path.join(HERE, "tls", "tls.pcap"), os.path.join(HERE, "http", "http.pcap")]
DHCP_CAPTURE = os.path.join(HERE, "dhcp", "dhcp.pcap")
HEADER_ORDER = ["vlan_id", "src_ip", "dest_ip", "src_port", "dst_port", "ip", "tcp_fingerprint",
                "tcp_fingerprint_raw", "oxlo_fingerprint", "proto", "oxlo"]

failures = []


def fail(text):
    failures.append(text)


def replay(path, *args):
    out = subprocess.run([REPLAY, "-H", *args, path], capture_output=True, text=True, check=True).stdout
    return [json.loads(line, object_pairs_hook=lambda pairs: pairs) for line in out.splitlines() if line.strip()]


def as_dict(pairs):
    return {k: v for k, v in pairs}


def tshark(path, display, *fields):
    cmd = ["tshark", "-r", path, "-Y", display, "-T", "fields", "-E", "separator=|"]
    for f in fields:
        cmd += ["-e", f]
    out = subprocess.run(cmd, capture_output=True, text=True, check=True).stdout
    return [line.split("|") for line in out.splitlines() if line.strip()]


def check_order(what, keys):
    known = [k for k in keys if k in HEADER_ORDER]
    if known != sorted(known, key=HEADER_ORDER.index) or len(known) != len(keys):
        fail("%s: members %s, expected in the order %s" % (what, keys, HEADER_ORDER))


def tcp_checks(TCP_CAPTURE):
    name = os.path.basename(TCP_CAPTURE)
    syn_options = {int(port): options.replace(":", "")
                   for port, options in tshark(TCP_CAPTURE, "tcp.flags.syn == 1 && tcp.flags.ack == 0",
                                               "tcp.srcport", "tcp.options")}
    with_raw = replay(TCP_CAPTURE, "-k", "NULL,metadata.tcp_fingerprint_raw,1")
    without_raw = {as_dict(f)["client_port"]: as_dict(as_dict(f)["flow"]) for f in replay(TCP_CAPTURE)}
    checked = 0
    for line in map(as_dict, with_raw):
        if line["l4"] != "TCP" or line["client_port"] not in syn_options:
            continue
        checked += 1
        port = line["client_port"]
        where = "%s port %d" % (name, port)
        record = line["flow"]
        keys = [k for k, _ in record]
        flow = as_dict(record)
        check_order(where, keys)
        version = 6 if ":" in line["client"] else 4
        if flow.get("src_port") != port or flow.get("proto") != "TCP" or flow.get("ip") != version:
            fail("%s: addressing members %r" % (where, {k: flow.get(k) for k in ("src_port", "proto", "ip")}))
        if not flow.get("tcp_fingerprint") or flow.get("tcp_fingerprint") != line["tcp_fingerprint"]:
            fail("%s: tcp_fingerprint %r, the flow's is %r" % (where, flow.get("tcp_fingerprint"),
                                                                   line["tcp_fingerprint"]))
        if flow.get("tcp_fingerprint_raw") != syn_options[port]:
            fail("%s: tcp_fingerprint_raw %r, tshark's SYN options %r" % (where, flow.get("tcp_fingerprint_raw"),
                                                                              syn_options[port]))
        if "tcp_fingerprint_raw" in without_raw.get(port, {}):
            fail("%s: tcp_fingerprint_raw written with its knob off" % where)
        if without_raw.get(port, {}).get("tcp_fingerprint") != flow.get("tcp_fingerprint"):
            fail("%s: tcp_fingerprint differs without the raw knob" % where)
        engine = as_dict(flow.get("oxlo_fingerprint", []))
        if line["fingerprint"]:
            if engine.get("client") != line["fingerprint"]:
                fail("%s: oxlo_fingerprint.client %r, the flow fingerprint is %r"
                     % (where, engine.get("client"), line["fingerprint"]))
            # The server's is taken from its ServerHello: 12 hex digits.
            if not re.fullmatch(r"[0-9a-f]{12}", engine.get("server", "")):
                fail("%s: oxlo_fingerprint.server %r" % (where, engine.get("server")))
        elif "oxlo_fingerprint" in flow and not engine.get("server"):
            fail("%s: an oxlo_fingerprint block with neither fingerprint" % where)
    if checked == 0:
        fail("%s: no TCP flow with a SYN" % TCP_CAPTURE)
    return checked


def dhcp_checks():
    rows = tshark(DHCP_CAPTURE, "dhcp && udp.srcport == 68", "dhcp.option.type", "dhcp.option.request_list_item",
                  "dhcp.option.vendor_class_id")
    if not rows:
        fail("%s: tshark sees no DHCP request" % DHCP_CAPTURE)
        return 0
    options, requested, vendor = rows[0]
    # tshark lists the End option too; the fingerprint keeps the options before it.
    options = ",".join(o for o in options.split(",") if o not in ("0", "255"))
    lines = [as_dict(f) for f in replay(DHCP_CAPTURE)]
    dhcp = [f for f in lines if f["proto"] == "DHCP" and f["client_port"] == 68]
    if not dhcp:
        fail("no DHCP client flow in %s" % DHCP_CAPTURE)
        return 0
    members = dhcp[0]["fingerprints"]
    want = [("options", options), ("fingerprint", requested), ("class_identifier", vendor)]
    if members != want:
        fail("DHCP fingerprint members %r, from tshark %r" % (members, want))
    record = as_dict(dhcp[0]["flow"])
    check_order("DHCP", [k for k, _ in dhcp[0]["flow"]])
    if "tcp_fingerprint" in record or record.get("proto") != "UDP":
        fail("DHCP flow record %r" % {k: record.get(k) for k in ("tcp_fingerprint", "proto")})
    # The server's answers carry no parameter request list: no members.
    for f in lines:
        if f["proto"] == "DHCP" and f["client_port"] != 68 and f["fingerprints"]:
            fail("DHCP server flow with fingerprint members %r" % f["fingerprints"])
    return 1


def main():
    if not os.access(REPLAY, os.X_OK) or not shutil.which("tshark"):
        print("flow_header_test: oxlo-replay or tshark missing")
        return 1
    checked = sum(tcp_checks(path) for path in TCP_CAPTURES) + dhcp_checks()
    for f in failures:
        print("FAIL", f)
    print("flow_header_test: %d flows checked, %d failures" % (checked, len(failures)))
    return 1 if failures or checked == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
