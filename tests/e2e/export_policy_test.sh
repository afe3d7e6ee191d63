#!/usr/bin/env bash
# Policies pushed over ZMQ by the Python corvane stand-in, with two queues
# sharing the traffic: a compressed drop policy stops the next DNS flows on
# both queues, a plain pass policy lets them through again, and a malformed
# push (bad rules text, or a header whose length is shorter than the
# payload) keeps the policy in force.
TAG=expol
. "$(dirname "$0")/e2e_lib.sh"
e2e_require
e2e_setup
# Spread the connections over queues 0 and 1 (ahead of the queue-0 rules).
for ipt in iptables ip6tables; do
  in_s $ipt -t mangle -I PREROUTING 2 -i eth0 -m mark --mark 0 -j NFQUEUE --queue-balance 0:1 --queue-bypass
  in_s $ipt -t mangle -I OUTPUT 2 -o eth0 -m mark --mark 0 -j NFQUEUE --queue-balance 0:1 --queue-bypass
done

cat > "$TMP/pass.json" <<'JSON'
{ "policy": { "id": 0, "name": "pass", "default_marker": "pass", "markers": { "categories": { }, "protocols": { }}}}
JSON
cat > "$TMP/drop.json" <<'JSON'
{ "policy": { "id": 0, "name": "drop", "default_marker": "drop", "markers": { "categories": { }, "protocols": { }}}}
JSON
echo '{ "policy": { "id": ' > "$TMP/bad.json"
e2e_spawn "$NS_S" dnsmasq --keep-in-foreground --no-resolv --no-hosts --port=53 \
  --listen-address=10.77.0.2 --bind-interfaces --address=/vesk.test/10.77.0.9 \
  --pid-file="$TMP/dnsmasq.pid" --user=root
e2e_wait_port udp 53

EP="ipc://$TMP/policy.sock"
push() {  # file [publish args]
  local file=$1; shift
  in_s timeout 20 $PY "$COLLECTOR" publish "$EP" ips "$file" --seconds 15 "$@" || fail "push of $file"
}
loaded() { grep -c "Loaded rules from /tmp/vesk-" "$LOG"; }
wait_loaded() {  # count
  for _ in $(seq 1 50); do [ "$(loaded)" -ge "$1" ] && return 0; sleep 0.1; done
  fail "rules loaded $(loaded) times, expected $1"
}
# Answers to n queries, each a new flow from its own source port.
answers() {  # n prefix
  local got=0
  for i in $(seq 1 "$1"); do
    a=$(in_c dig +short +time=1 +tries=1 @10.77.0.2 "$2$i.vesk.test" A)
    [ "$a" = "10.77.0.9" ] && got=$((got + 1))
  done
  echo "$got"
}

e2e_start_vesk -q 0:2 -r "$TMP/pass.json" -p "$EP"
grep -q "ZMQ listening on topic 'ips'" "$LOG" || fail "collector not listening"
base=$(loaded)
[ "$(answers 4 a)" -eq 4 ] && ok "pass rules: answered" || fail "pass rules: not all answered"

push "$TMP/drop.json" --compress
wait_loaded $((base + 2))
ok "compressed push loaded on both queues"
[ "$(answers 8 b)" -eq 0 ] && ok "after the drop push no query is answered" || fail "drop push: queries answered"

push "$TMP/pass.json"
wait_loaded $((base + 4))
[ "$(answers 4 c)" -eq 4 ] && ok "plain pass push: answered again" || fail "plain pass push: not answered"

# A damaged push while the drop policy is in force: it stays in force.
push "$TMP/drop.json" --compress
wait_loaded $((base + 6))
before=$(loaded)
push "$TMP/bad.json"
e2e_wait_for "$LOG" "Invalid rules received" 10 && ok "malformed rules refused" || fail "malformed rules not refused"
[ "$(loaded)" -eq "$before" ] && ok "malformed push not loaded" || fail "malformed push loaded"
[ "$(answers 4 d)" -eq 0 ] && ok "malformed push keeps the drop policy" || fail "malformed push changed the policy"
push "$TMP/pass.json"
wait_loaded $((base + 8))

before=$(loaded)
push "$TMP/drop.json" --raw-length 10
e2e_wait_for "$LOG" "Message truncated" 10 && ok "short length field: dropped with a warning" || fail "no truncation warning"
[ "$(loaded)" -eq "$before" ] && ok "truncated push not loaded" || fail "truncated push loaded"
[ "$(answers 4 e)" -eq 4 ] && ok "truncated push keeps the pass policy" || fail "truncated push changed the policy"

e2e_stop_vesk
exit $FAIL
