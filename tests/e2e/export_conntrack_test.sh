#!/usr/bin/env bash
# Conntrack export and statistics: a dig query's conntrack flow record is
# compared with `conntrack -L -o extended` for the same connection, and the
# statistics events arrive with counters that add up.
TAG=exct
. "$(dirname "$0")/e2e_lib.sh"
e2e_require
e2e_setup
command -v conntrack >/dev/null || { echo "skipped: no conntrack tool"; exit 77; }

cat > "$TMP/pass.json" <<'JSON'
{ "policy": { "id": 0, "name": "pass", "default_marker": "pass", "markers": { "categories": { }, "protocols": { }}}}
JSON
e2e_spawn "$NS_S" dnsmasq --keep-in-foreground --no-resolv --no-hosts --port=53 \
  --listen-address=10.77.0.2 --bind-interfaces --address=/vesk.test/10.77.0.9 \
  --pid-file="$TMP/dnsmasq.pid" --user=root
e2e_wait_port udp 53

# vesk runs with -s (no conntrack set-up): switch the kernel's accounting
# and time stamps on in this namespace ourselves.
in_s sysctl -qw net.netfilter.nf_conntrack_acct=1 net.netfilter.nf_conntrack_timestamp=1
e2e_start_collector ct 60
# -u 3: the conntrack table is exported every 3 seconds.
e2e_start_vesk -r "$TMP/pass.json" -z "$EP" -u 3
in_c dig +short +time=2 +tries=1 -b 10.77.0.1#45353 @10.77.0.2 one.vesk.test A >/dev/null
in_c dig +short +time=2 +tries=1 -b 10.77.0.1#45354 @10.77.0.2 two.vesk.test A >/dev/null
in_s conntrack -L -o extended -p udp --sport 45353 2>/dev/null > "$TMP/ct.txt"
cat "$TMP/ct.txt"
# Two statistics events need 10 s; conntrack exports come every 3 s.
for _ in $(seq 1 150); do
  [ "$(grep -c '"event"' "$OUT")" -ge 2 ] && break; sleep 0.1
done
e2e_stop_vesk

if $PY - "$OUT" "$TMP/ct.txt" <<'PY'
import json, re, sys
msgs = [json.loads(l) for l in open(sys.argv[1]) if l.strip()]
msgs = [m for m in msgs if 'topic' in m]
ct = open(sys.argv[2]).read()
fail = 0
def check(cond, what):
    global fail
    print(('ok: ' if cond else 'FAIL: ') + what)
    fail |= not cond

# conntrack -L -o extended: packets=N bytes=M for the original, then the reply direction.
counts = [(int(p), int(b)) for p, b in re.findall(r'packets=(\d+) bytes=(\d+)', ct)]
check(len(counts) == 2, 'conntrack lists the connection with its counters: %s' % counts)
recs = [r for m in msgs if m['topic'] == 'flow' for r in m.get('records', []) if '231' in r]
mine = [r for r in recs if r.get('7') == 45353 and r.get('11') == 53]
check(bool(mine), 'a conntrack flow record for the query (%d records in all)' % len(recs))
if mine and len(counts) == 2:
    r = mine[-1]
    check((r['298'], r['231']) == counts[0], 'original direction %s == %s' % ((r['298'], r['231']), counts[0]))
    check((r['299'], r['232']) == counts[1], 'reply direction %s == %s' % ((r['299'], r['232']), counts[1]))
    check(r['4'] == 17 and r['60'] == 4 and r['8'] == 0x0A4D0001 and r['12'] == 0x0A4D0002,
          'protocol and addresses')
    check(r.get('22', 0) > 0 and r['21'] >= r['22'], 'start and stop times')
    check('37' in r and '58061' in r and '130' in r, 'timeout, source id and local address')

events = [m for m in msgs if m['topic'] == 'event']
check(len(events) >= 2, '%d statistics events' % len(events))
check(all(m['version'] == 2 and m['compressed'] for m in events), 'events are compressed version 2')
ev = [m['json'] for m in events if 'json' in m]
check(all(e['iface']['name'] == 'nfq@0' and e['mode'] == 'packet_collection' and
          e['capture_interface'] == 'NFQUEUE' and e['probe']['uuid'] for e in ev), 'event members')
# The query's own packets are in the table: the sums cover them.
if len(counts) == 2:
    check(all(e['bytes'] >= counts[0][1] + counts[1][1] and e['packets'] >= 2 for e in ev),
          'sums cover the connection')
for a, b in zip(ev, ev[1:]):
    if 'avg' in b:
        dt = b['time'] - a['time']
        check(b['avg']['bps'] == (b['bytes'] - a['bytes']) * 8 // dt and
              b['avg']['pps'] == (b['packets'] - a['packets']) // dt,
              'avg of consecutive events adds up: %s' % b['avg'])
    else:
        check(b['bytes'] < a['bytes'] or b['packets'] <= a['packets'], 'no avg only when the sums did not grow')
sys.exit(1 if fail else 0)
PY
then :; else FAIL=1; fi
exit $FAIL
