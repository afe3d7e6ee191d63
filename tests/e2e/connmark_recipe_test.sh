#!/usr/bin/env bash
# The README's CONNMARK rules with one long, busy connection: an iperf3
# stream that vesk cannot classify, so its flow is given up on while the
# stream runs at full speed and many of its packets wait in the queue. The
# connection must be classified once, get its mark, and then bypass the
# queue: one completed flow, and only a small share of its packets queued.
TAG=connmark
. "$(dirname "$0")/e2e_lib.sh"
e2e_require
command -v iperf3 >/dev/null || { echo "skipped: iperf3 is not installed"; exit 77; }
e2e_setup

cat > "$TMP/rules.json" <<'JSON'
{ "policy": { "id": 0, "name": "pass", "default_marker": "pass", "markers": { "categories": { }, "protocols": { }}}}
JSON
e2e_count_mark 1
e2e_spawn "$NS_S" iperf3 -s -B 10.77.0.2 -p 5201
e2e_wait_port tcp 5201
e2e_start_vesk -r "$TMP/rules.json"

# Packets the NFQUEUE rules sent to the queue, both directions.
queued() {
  in_s iptables -t mangle -L -v -n -x | awk '/NFQUEUE/ {s += $1} END {print s+0}'
}
before=$(queued)
CPORT=40777
if in_c timeout 60 iperf3 -c 10.77.0.2 -p 5201 --cport $CPORT -n 200M -J > "$TMP/iperf3.json"; then
  ok "iperf3 sent 200 MB through the rules"
else
  fail "iperf3 failed"; tail -20 "$TMP/iperf3.json"
fi
# The stream has ended: wait until its flow line is out and the closing
# handshakes of both iperf3 connections have passed the rules: no socket on
# either side is left in a state other than TIME-WAIT, so no packet of them
# is still to be counted.
e2e_wait_for "$LOG" "OXLO OVER.*:$CPORT <-> " 10 || fail "no completed flow for the data connection"
settled() {
  [ -z "$(in_s ss -Htn state connected exclude time-wait '( sport = :5201 )')" ] &&
    [ -z "$(in_c ss -Htn state connected exclude time-wait '( dport = :5201 )')" ]
}
e2e_wait_until 30 settled || fail "the iperf3 connections did not close"
after=$(queued)
marked=$(e2e_marked_packets 1)
over=$(grep -F "[OXLO OVER]" "$LOG" | grep -c -- ":$CPORT <-> " || true)
created=$(grep -F "[CREATE FLOW]" "$LOG" | grep -c -- ":$CPORT <-> " || true)
echo "data connection: $over completed flow(s), $created created; $((after - before)) packets queued, $marked carried mark 1"

[ "$over" -eq 1 ] && ok "the data connection was classified once" \
  || fail "the data connection was classified $over times"
[ "$marked" -ge 1000 ] && ok "$marked packets carried the connection's mark" \
  || fail "only $marked packets carried mark 1"
# Packets that waited in the queue while the flow completed are answered
# unmarked; they must not reset the connection's mark. What stays queued is
# the handshake, the packets before the give-up and those stragglers.
q=$((after - before))
[ $((q * 10)) -lt "$marked" ] && ok "$q packets queued: the rest bypassed the queue" \
  || fail "$q packets queued against $marked marked: the connection kept being queued"
e2e_stop_vesk
exit $FAIL
