#!/usr/bin/python3
"""The "oxlo" member of build/oxlo-replay's lines on the recorded captures:
valid JSON without repeated keys, the members in the collector's spelling
and order, the HTTP, DNS and TLS blocks with what the real peers sent, the
TLS details that knobs switch on (-k), and clear errors for bad options."""
import json
import os
import re
import subprocess
import sys

SRC = os.environ.get("VESK_SOURCE", os.path.join(os.path.dirname(__file__), "..", ".."))
BUILD = os.environ.get("VESK_BUILD", os.path.join(SRC, "build"))
CAPTURES = os.path.join(SRC, "tests", "captures")
REPLAY = os.path.join(BUILD, "oxlo-replay")

# Members in the order they are written; each block may leave members out.
# "<block>" stands for the one block of the flow's protocol (its name is the
# protocol's: "http", "dns", "tls", ...), which comes after the generic ones.
OXLO_ORDER = ["flow_risk", "confidence", "proto", "proto_id", "proto_by_ip", "proto_by_ip_id", "encrypted",
              "breed", "category_id", "category", "hostname", "domainame", "stream_content", "<block>"]
ALWAYS = ["proto", "proto_id", "proto_by_ip", "encrypted", "breed", "category_id", "category"]
BLOCK_ORDER = {
    "http": ["url", "code", "content_type", "user_agent", "request_content_type", "detected_os", "nat_ip"],
    "dns": ["num_queries", "num_answers", "reply_code", "query_type", "rsp_type", "rsp_addr"],
    "tls": ["version", "server_names", "notbefore", "notafter", "ja3s", "ja4", "unsafe_cipher", "cipher",
            "issuerDN", "subjectDN", "advertised_alpns", "negotiated_alpn", "tls_supported_versions",
            "fingerprint", "tls_blocks", "client_data", "server_data"],
    "client_data": ["ciphers", "tls_extensions", "elliptic_curve_groups", "elliptic_curve_point_format",
                    "signature_algorithms", "key_share_groups", "supported_versions"],
    "server_data": ["ciphers", "tls_extensions", "elliptic_curve_point_format"],
    "risk": ["risk", "severity", "risk_score"],
    "snmp": ["version", "primitive", "error_status"],
    "sip": ["from", "from_imsi", "to", "to_imsi"],
    "ipsec": ["ike_version", "proposals"],
    "mikrotik": ["mac_address", "identity", "version", "software_id", "board", "iface_name", "ipv4_addr",
                 "ipv6_addr", "uptime"],
    "0": ["leap_indicator", "version", "mode", "stratum", "ppol", "precision", "root_delay", "root_dispersion",
          "ref_id", "ref_time", "org_time", "rec_time", "trans_time"],
    "risk_score": ["total", "client", "server"],
}

failures = []


def fail(text):
    failures.append(text)


def pairs_no_repeats(pairs):
    keys = [k for k, _ in pairs]
    if len(keys) != len(set(keys)):
        raise ValueError("repeated key in %s" % keys)
    return pairs  # keep the order: checked below


def as_dict(value):
    """Ordered pairs (from the parser hook) turned into plain dicts."""
    if isinstance(value, list) and all(isinstance(p, tuple) and len(p) == 2 for p in value) and value:
        return {k: as_dict(v) for k, v in value}
    if isinstance(value, list):
        return [as_dict(v) for v in value]
    return value


def check_order(where, pairs, order, required=()):
    keys = [k for k, _ in pairs]
    unknown = [k for k in keys if k not in order]
    if unknown:
        fail("%s: unexpected members %s" % (where, unknown))
        return
    if keys != sorted(keys, key=order.index):
        fail("%s: members out of order: %s" % (where, keys))
    for k in required:
        if k not in keys:
            fail("%s: no %s" % (where, k))


def check_oxlo(where, pairs):
    generic = [(k if k in OXLO_ORDER else "<block>", v) for k, v in pairs]
    if sum(1 for k, _ in generic if k == "<block>") > 1:
        fail("%s: more than one protocol block: %s" % (where, [k for k, _ in pairs]))
    check_order(where, generic, OXLO_ORDER, ALWAYS)
    for key, value in pairs:
        if key in BLOCK_ORDER and isinstance(value, list):
            check_order("%s.%s" % (where, key), value, BLOCK_ORDER[key])
            for k, v in value:
                if k in BLOCK_ORDER and isinstance(v, list) and v and isinstance(v[0], tuple):
                    check_order("%s.%s.%s" % (where, key, k), v, BLOCK_ORDER[k])
        if key == "flow_risk":
            for rid, risk in value:
                if not rid.isdigit():
                    fail("%s: risk key %r is not an id" % (where, rid))
                check_order("%s.flow_risk.%s" % (where, rid), risk, BLOCK_ORDER["risk"], BLOCK_ORDER["risk"])
        if key == "confidence" and (len(value) != 1 or not value[0][0].isdigit()):
            fail("%s: confidence %r" % (where, value))


def replay(args):
    out = subprocess.run([REPLAY] + args, capture_output=True, text=True, timeout=60)
    if out.returncode != 0:
        fail("oxlo-replay %s exited %d: %s" % (" ".join(args), out.returncode, out.stderr))
        return []
    flows = []
    for n, line in enumerate(out.stdout.splitlines()):
        where = "%s line %d" % (os.path.basename(args[-1]), n + 1)
        try:
            pairs = json.loads(line, object_pairs_hook=pairs_no_repeats)
        except ValueError as e:
            fail("%s: not valid JSON (%s): %s" % (where, e, line[:300]))
            continue
        member = dict(pairs).get("oxlo")
        if member is None:
            fail("%s: no oxlo member" % where)
            continue
        check_oxlo(where, member)
        flow = as_dict(pairs)
        flow["where"] = where
        flows.append(flow)
    return flows


def captures():
    found = {}
    for root, _, files in os.walk(CAPTURES):
        for f in files:
            if f.endswith(".pcap"):
                found[f] = os.path.join(root, f)
    return found


def expect(flow, path, want):
    value = flow["oxlo"]
    for part in path.split("."):
        value = value.get(part) if isinstance(value, dict) else None
    if callable(want):
        ok = want(value)
    else:
        ok = value == want
    if not ok:
        fail("%s (%s:%s): oxlo.%s is %r" % (flow["where"], flow["server"], flow["server_port"], path, value))


def main():
    if not os.access(REPLAY, os.X_OK):
        print("oxlo_json_test: %s not built (libpcap missing?)" % REPLAY)
        return 1
    pcaps = captures()
    by_name = {name: replay([path]) for name, path in sorted(pcaps.items())}

    http = by_name["http.pcap"]
    for f in http:  # curl against python3 -m http.server
        expect(f, "proto", "HTTP")
        expect(f, "proto_id", "7")
        expect(f, "http.code", 200)
        expect(f, "http.content_type", "text/html")
        expect(f, "http.user_agent", "curl/7.88.1")
    expect(http[0], "hostname", "www.vesk.test")
    expect(http[0], "domainame", "vesk.test")
    expect(http[0], "http.url", "www.vesk.test/index.html")
    expect(http[0], "confidence", {"6": "DPI"})

    answers = {(f["oxlo"]["dns"]["query_type"], tuple(f["oxlo"]["dns"].get("rsp_addr", [])))
               for f in by_name["dns_cases.pcap"]}
    for want in [(1, ("10.200.0.7,ttl=300",)), (28, ("fd00:200::7,ttl=300",)), (12, ())]:
        if want not in answers:
            fail("dns_cases.pcap: no DNS block with query type %d and answers %s: %s" % (want[0], want[1], answers))
    nx = [f for f in by_name["dns_cases.pcap"] if f["oxlo"]["dns"]["reply_code"] == 3]
    if len(nx) != 1:
        fail("dns_cases.pcap: %d NXDOMAIN blocks" % len(nx))
    else:
        expect(nx[0], "flow_risk.43.risk", "Error Code")

    sha1 = re.compile(r"^[0-9A-F]{2}(:[0-9A-F]{2}){19}$")
    tls = by_name["tls_cases.pcap"]
    expect(tls[0], "tls.version", "TLSv1.2")
    expect(tls[0], "tls.advertised_alpns", "h2,http/1.1")
    expect(tls[0], "tls.negotiated_alpn", "h2")
    expect(tls[0], "tls.subjectDN", "C=XX, O=Vesk Test, CN=www.vesk.test")
    expect(tls[0], "tls.notafter", "2036-12-07 01:41:41")
    expect(tls[0], "tls.fingerprint", lambda v: isinstance(v, str) and len(v) == 59 and sha1.match(v))
    expect(tls[0], "encrypted", 1)
    expect(tls[1], "tls.version", "TLSv1.3")
    expect(tls[3], "tls.server_names", None)  # no SAN: the member is left out
    expect(tls[4], "tls.server_names", "*.vesk.test,vesk.test")
    dtls = [f for f in tls if f["l4"] == "UDP"]
    if len(dtls) != 1:
        fail("tls_cases.pcap: %d DTLS flows" % len(dtls))
    else:
        expect(dtls[0], "proto", "DTLS")
        expect(dtls[0], "tls.version", "DTLSv1.2")
    imsi = by_name["sip_imsi.pcap"]  # sipp with IMSI users: 15 digits, then 16
    expect(imsi[0], "sip.from_imsi", "001010123456789")
    expect(imsi[0], "sip.to_imsi", "001019876543210")
    expect(imsi[1], "sip.from_imsi", None)
    expect(imsi[1], "sip.from", "<sip:0010101234567890@10.200.0.2>;tag=vesk1")
    expect(by_name["icmp.pcap"][0], "entropy", lambda v: isinstance(v, float) and v > 0)

    # Knobs through -k: the record sequence (signed lengths, a new item when
    # the direction changes) and the kept hello lists.
    knobs = ["-k", "tls,max_num_blocks_to_analyze,32", "-k", "tls,metadata.ja_data,enable"]
    detailed = replay(knobs + [pcaps["tls.pcap"]])
    if detailed:
        t = detailed[0]["oxlo"].get("tls", {})
        items = t.get("tls_blocks", [])
        signs = []
        for item in items:
            lengths = [int(re.match(r"^[0-9:]+=(-?\d+)$", piece).group(1)) for piece in item.split(",")]
            if len({n < 0 for n in lengths}) != 1:
                fail("tls.pcap: a tls_blocks item mixes directions: %r" % item)
            signs.append(lengths[0] < 0)
        if not items or not items[0].startswith("22:1=") or any(a == b for a, b in zip(signs, signs[1:])):
            fail("tls.pcap: tls_blocks do not alternate by direction: %r" % items)
        client = t.get("client_data", {})
        if "TLS_AES_256_GCM_SHA384" not in client.get("ciphers", []) or "TLS 1.3" not in client.get(
                "supported_versions", []) or "server_name" not in client.get("tls_extensions", []):
            fail("tls.pcap: client_data %r" % client)
        if t.get("server_data", {}).get("ciphers") != [t.get("cipher")]:
            fail("tls.pcap: server_data ciphers %r, cipher %r" % (t.get("server_data"), t.get("cipher")))
    plain = by_name["tls.pcap"][0]["oxlo"]["tls"]
    if "tls_blocks" in plain or "client_data" in plain:
        fail("tls.pcap: details written with the knobs off")

    # A custom protocols file (-c) takes the flow; a suffix list (-p) names the domain.
    tmp = os.environ.get("TMPDIR", "/tmp")
    rules = os.path.join(tmp, "oxlo_json_test_%d.rules" % os.getpid())
    suffixes = os.path.join(tmp, "oxlo_json_test_%d.dat" % os.getpid())
    try:
        with open(rules, "w") as f:
            f.write("host:\"www.vesk.test\"@VeskWeb\n")
        with open(suffixes, "w") as f:
            f.write("test\nvesk.test\n")
        custom = replay(["-c", rules, "-p", suffixes, pcaps["http.pcap"]])
        if custom:
            expect(custom[0], "proto", lambda v: isinstance(v, str) and v.endswith("VeskWeb"))
            expect(custom[0], "domainame", "www.vesk.test")
    finally:
        for p in (rules, suffixes):
            if os.path.exists(p):
                os.unlink(p)

    for args, message in [(["-k", "tls,no_such_knob,1"], "no such knob"),
                          (["-k", "tls,max_num_blocks_to_analyze,100000"], "bad value"),
                          (["-k", "justtext"], "expected PROTO,KNOB,VALUE"),
                          (["-c", "/nonexistent/protos.txt"], "custom protocols"),
                          (["-p", "/nonexistent/suffixes.dat"], "public suffix list"),
                          (["-q"], "usage"), ([], "usage")]:
        out = subprocess.run([REPLAY] + args + ([pcaps["http.pcap"]] if args else []),
                             capture_output=True, text=True, timeout=30)
        if out.returncode != 2 or message not in out.stderr or '{' in out.stdout:
            fail("oxlo-replay %s: exit %d, stderr %r" % (" ".join(args), out.returncode, out.stderr))

    for f in failures:
        print("FAIL", f)
    print("oxlo_json_test: %d captures, %d failures" % (len(pcaps), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
