#!/usr/bin/env bash
# UDP through the queue: dig against dnsmasq (serving a local name), over
# IPv4 and IPv6. The query flow is classified as DNS and answered; with a
# drop policy the completing packet is dropped and dig gets no answer.
TAG=dns
. "$(dirname "$0")/e2e_lib.sh"
e2e_require
e2e_setup

cat > "$TMP/pass.json" <<'JSON'
{ "policy": { "id": 0, "name": "pass", "default_marker": "pass", "markers": { "categories": { }, "protocols": { }}}}
JSON
cat > "$TMP/drop.json" <<'JSON'
{ "policy": { "id": 0, "name": "drop", "default_marker": "drop", "markers": { "categories": { }, "protocols": { }}}}
JSON
e2e_count_mark 1
e2e_spawn "$NS_S" dnsmasq --keep-in-foreground --no-resolv --no-hosts --port=53 \
  --listen-address=10.77.0.2,fd77::2 --bind-interfaces --address=/vesk.test/10.77.0.9 \
  --pid-file="$TMP/dnsmasq.pid" --user=root
e2e_wait_port udp 53
e2e_start_vesk -r "$TMP/pass.json"

for server in 10.77.0.2 fd77::2; do
  answer=$(in_c dig +short +time=2 +tries=1 @"$server" vesk.test A)
  [ "$answer" = "10.77.0.9" ] && ok "dig @$server answered" || fail "dig @$server got [$answer]"
done
e2e_wait_for "$LOG" "OXLO OVER.*fd77::2:53\]" 5
over=$(e2e_over_lines 53)
echo "$over"
for family in IPv4 IPv6; do
  line=$(echo "$over" | grep -F "[$family][UDP]" | head -1)
  if [ -z "$line" ]; then fail "no [OXLO OVER] line for $family"; continue; fi
  echo "$line" | grep -Eq ":53\]\[DNS[^/]*/" && ok "$family flow classified as DNS" || fail "$family: $line"
  echo "$line" | grep -q "\[marker: 1\]$" && ok "$family marker 1" || fail "$family marker: $line"
done
marked=$(e2e_marked_packets 1)
[ "$marked" -ge 2 ] && ok "$marked packets carry mark 1" || fail "only $marked packets carry mark 1"

# Reload a drop policy: the query is the completing packet and is dropped.
cp "$TMP/drop.json" "$TMP/pass.json"
loads=$(grep -c "Loaded rules from" "$LOG")
kill -HUP "$VESK_PID"
e2e_wait_for "$LOG" "SIGHUP received: reloading rules..." 5 || fail "no reload"
e2e_wait_more "$LOG" "Loaded rules from" "$loads" 5 || fail "drop rules not loaded"
answer=$(in_c dig +short +time=1 +tries=1 @10.77.0.2 other.vesk.test A)
echo "$answer" | grep -q "10.77.0.9" && fail "dropped query answered [$answer]" || ok "dropped query got no answer"
e2e_wait_for "$LOG" "OXLO OVER.*\[marker: 2\]" 5 && ok "drop marker logged" || fail "no marker 2 line"

e2e_stop_vesk
exit $FAIL
