#!/usr/bin/env bash
# TCP through the queue: curl against python's http.server, over IPv4 and
# IPv6. Every connection's flow is completed on one packet, logged as
# "[OXLO OVER]" with its protocol, and that packet carries the policy's mark
# (7 here), which CONNMARK then keeps on the rest of the connection.
TAG=http
. "$(dirname "$0")/e2e_lib.sh"
e2e_require
e2e_setup

cat > "$TMP/rules.json" <<'JSON'
{ "policy": { "id": 0, "name": "mark everything", "default_marker": 7, "markers": { "categories": { }, "protocols": { }}}}
JSON
head -c 200000 /dev/zero | tr '\0' 'v' > "$TMP/big.txt"
e2e_count_mark 7
e2e_spawn "$NS_S" /usr/bin/python3 -m http.server 80 --bind :: --directory "$TMP"
e2e_wait_port tcp 80
e2e_start_vesk -r "$TMP/rules.json"

for url in "http://10.77.0.2/big.txt" "http://[fd77::2]/big.txt"; do
  size=$(in_c curl -s -m 10 -o /dev/null -w '%{size_download}' "$url")
  [ "$size" = 200000 ] && ok "curl $url through the queue" || fail "curl $url got [$size] bytes"
done

# Both connections completed: one "[OXLO OVER]" line each, with a protocol
# name and marker 7.
e2e_wait_for "$LOG" "OXLO OVER.*fd77::2:80\]" 5
over=$(e2e_over_lines 80)
echo "$over"
for family in "IPv4" "IPv6"; do
  line=$(echo "$over" | grep -F "[$family][TCP]" | head -1)
  if [ -z "$line" ]; then fail "no [OXLO OVER] line for $family"; continue; fi
  echo "$line" | grep -q "\[marker: 7\]$" && ok "$family flow got marker 7" || fail "$family marker: $line"
  proto=$(echo "$line" | sed -n 's/.*:80\]\[\([^]\/]*\)\/[0-9]*\].*/\1/p')
  [ -n "$proto" ] && ok "$family flow classified as $proto" || fail "$family flow has no protocol: $line"
  echo "$proto" | grep -q "HTTP" && ok "$family protocol is HTTP" || fail "$family protocol is $proto, not HTTP"
done

# The completing packets and, through CONNMARK, the rest of each connection
# carry mark 7; nothing is left unmarked after completion.
marked=$(e2e_marked_packets 7)
[ "$marked" -ge 10 ] && ok "$marked packets carry mark 7" || fail "only $marked packets carry mark 7"

e2e_stop_vesk
exit $FAIL
