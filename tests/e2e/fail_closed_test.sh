#!/usr/bin/env bash
# No path opens the firewall: a host drop rule (a pool of the blocked
# host's addresses bound to a drop policy, the rest passing with mark 9)
# holds against a real HTTP server when
#  - the flow table is full (a small limit set by --flow-limit, filled by
#    UDP flows that never complete): a new connection to the blocked host is
#    dropped, one elsewhere gets the default marker, and the statistics count
#    the packets that found no room;
#  - a SIGHUP finds a rules file caught half-written (a complete pass line,
#    then a cut line): the file is refused whole, the drop stays;
#  - start-up goes wrong (a typo before -r in a configuration file, a
#    missing or unparsable rules file, a queue already bound, a policy
#    collector that cannot be set up): vesk says why on standard error,
#    exits non-zero and leaves nothing running.
TAG=failclosed
. "$(dirname "$0")/e2e_lib.sh"
e2e_require
e2e_setup
LIMIT=16

# The blocked host: a second address of the server namespace.
in_s ip addr add 10.77.0.3/24 dev eth0
in_s ip -6 addr add fd77::3/64 dev eth0 nodad
cat > "$TMP/rules.json" <<'JSON'
{"pool":{"id":1,"name":"blocked host","ip":["10.77.0.3","fd77::3"]},"policy":{"id":5}}
{"policy":{"id":5,"name":"drop","default_marker":"drop","markers":{}}}
{"policy":{"id":0,"name":"the rest","default_marker":9,"markers":{}}}
JSON
cp "$TMP/rules.json" "$TMP/good.json"
echo hello > "$TMP/index.txt"
e2e_count_mark 9
e2e_spawn "$NS_S" $PY -m http.server 80 --bind :: --directory "$TMP"
e2e_wait_port tcp 80

fetch() {  # address [seconds] -> body, or nothing when the request got no answer
  local url="http://$1/index.txt"
  case "$1" in *:*) url="http://[$1]/index.txt" ;; esac
  in_c curl -s -m "${2:-4}" "$url"
}
expect_blocked() {  # what
  for a in 10.77.0.3 fd77::3; do
    # A SYN that passed would be answered within milliseconds.
    [ -z "$(fetch $a 2)" ] && ok "$1: $a dropped" || fail "$1: $a answered"
  done
}
expect_open() {  # what
  for a in 10.77.0.2 fd77::2; do
    [ "$(fetch $a)" = hello ] && ok "$1: $a passes" || fail "$1: $a got no answer"
  done
}

# Statistics go to a collector (they need the kernel's accounting).
in_s sysctl -qw net.netfilter.nf_conntrack_acct=1
e2e_start_collector events 90

e2e_start_vesk -r "$TMP/rules.json" --flow-limit "$LIMIT" -z "$EP" -j
expect_blocked "rules in force"
expect_open "rules in force"

# --- A reload of a file caught half-written ------------------------------
refusals() { grep -c "refused (" "$LOG"; }
before=$(refusals)
printf '%s\n%s' '{"policy":{"id":0,"name":"open","default_marker":"pass","markers":{}}}' \
  '{"pool":{"id":1,"name":"blo' > "$TMP/rules.json"
kill -HUP "$VESK_PID"
for _ in $(seq 1 50); do [ "$(refusals)" -gt "$before" ] && break; sleep 0.1; done
[ "$(refusals)" -gt "$before" ] && ok "half-written rules file refused" \
  || fail "half-written rules file not refused"
grep -q "JSON Error @ line 2" "$LOG" && ok "the cut line is named" || fail "no error for line 2"
expect_blocked "after the half-written reload"
cp "$TMP/good.json" "$TMP/rules.json"

# --- A second vesk on the same queue -------------------------------------
timeout 20 ip netns exec "$NS_S" "$VESK" -q 0 -s -r "$TMP/good.json" \
  > "$TMP/second.out" 2> "$TMP/second.err"
rc=$?
[ $rc -ne 0 ] && [ $rc -ne 124 ] && ok "second vesk on queue 0 exits with status $rc" \
  || fail "second vesk on queue 0: status $rc"
grep -q "^vesk: Unable to poll queue 0" "$TMP/second.err" && ok "its error is on standard error" \
  || fail "second vesk stderr: $(cat "$TMP/second.err")"
kill -0 "$VESK_PID" 2>/dev/null && ok "the first vesk runs on" || fail "the first vesk is gone"
expect_blocked "with a second vesk refused"

# --- The flow table at its limit -----------------------------------------
# UDP flows of one datagram each to a port nothing answers on never
# complete: twice the limit of them fill the table.
in_c $PY - <<'PY'
import socket
for i in range(32):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.sendto(b"\0" * 8, ("10.77.0.2", 40000))
    s.close()
PY
e2e_wait_for "$LOG" "Flow table full" 5 && ok "the table reached its limit of $LIMIT" \
  || fail "no flow-table-full line"
grep -F "Flow table full" "$LOG" | head -1
marked=$(e2e_marked_packets 9)
expect_blocked "flow table full"
expect_open "flow table full"
[ "$(e2e_marked_packets 9)" -gt "$marked" ] && ok "the allowed connections carry the default marker" \
  || fail "no packet marked 9 at the limit"
# Rate-limited: one line, not one per packet.
lines=$(grep -c "Flow table full" "$LOG")
[ "$lines" -le 3 ] && ok "$lines log lines for the full table" || fail "$lines log lines for the full table"

# The statistics count the packets that found no room.
for _ in $(seq 1 120); do
  grep -q '"too_many_flows": *[1-9]' "$OUT" && break; sleep 0.1
done
grep -q '"too_many_flows": *[1-9]' "$OUT" && ok "statistics count too_many_flows" \
  || fail "no statistics event with too_many_flows"
e2e_stop_vesk

# --- Start-up errors -------------------------------------------------------
startup() {  # name expected-stderr arguments...
  local name=$1 expect=$2; shift 2
  timeout 20 ip netns exec "$NS_S" "$VESK" "$@" > "$TMP/start.out" 2> "$TMP/start.err"
  local rc=$?
  [ $rc -ne 0 ] && [ $rc -ne 124 ] && ok "$name: exit status $rc" || fail "$name: exit status $rc"
  grep -q -- "$expect" "$TMP/start.err" && ok "$name: says why on standard error" \
    || fail "$name: stderr [$(cat "$TMP/start.err")]"
  grep -q "Running \[UUID" "$TMP/start.out" && fail "$name: logged Running"
}
printf -- '-q 0\n-s\n--flow-limt %s\n-r %s\n' "$LIMIT" "$TMP/good.json" > "$TMP/typo.conf"
startup "typo before -r in a configuration file" "Unrecognised option --flow-limt" "$TMP/typo.conf"
startup "missing rules file" "Unable to find file: $TMP/none.json" -q 0 -s -r "$TMP/none.json"
printf '%s\n' '{"policy":{"id":0,"default_marker":"pass","markers":{}}' > "$TMP/syntax.json"
startup "rules file with a syntax error" "Rules file $TMP/syntax.json refused" -q 0 -s -r "$TMP/syntax.json"
printf '%s\n' '{"policy":{"id":0,"default_marker":"pass","markers":{"hosts":{"x.y":"drop"}}}}' \
  > "$TMP/key.json"
startup "rules file with an unknown key" "Rules file $TMP/key.json refused" -q 0 -s -r "$TMP/key.json"
grep -q 'Unknown key "hosts" in "policy.markers"' "$TMP/start.out" \
  && ok "the unknown key is named with its line" || fail "unknown key not named"
startup "non-numeric -u" "Invalid flow-update period 'abc'" -q 0 -s -u abc -r "$TMP/good.json"
startup "policy collector with a bad key" \
  "^vesk: Unable to create ZMQ policy collector ipc://$TMP/policy.sock$" \
  -q 0 -s -p "ipc://$TMP/policy.sock" -y not-a-key -r "$TMP/good.json"
pgrep -x vesk -a | grep -F "$TMP" && fail "a vesk of this test still runs"

# Nothing was left bound: the corrected configuration starts and drops.
printf -- '-q 0\n-s\n-v\n--flow-limit %s\n-r %s\n' "$LIMIT" "$TMP/good.json" > "$TMP/good.conf"
LOG="$TMP/vesk.log"
ip netns exec "$NS_S" "$VESK" "$TMP/good.conf" > "$LOG" 2>&1 &
VESK_PID=$!
e2e_wait_for "$LOG" "Running \[UUID:" 15 && ok "the corrected configuration starts" \
  || { fail "the corrected configuration did not start"; cat "$LOG"; }
expect_blocked "corrected configuration"
expect_open "corrected configuration"
e2e_stop_vesk
exit $FAIL
