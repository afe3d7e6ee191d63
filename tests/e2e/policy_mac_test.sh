#!/usr/bin/env bash
# Pools by MAC end to end: a pool holding the client's MAC address is bound
# to a policy marking with 44 while the default policy marks with 45, and
# the packets of curl's connections through the queue carry mark 44. With
# the pool holding another MAC and a text that is not a MAC (which must not
# catch every flow as key 0 would), the same requests get the default's 45.
TAG=polmac
. "$(dirname "$0")/e2e_lib.sh"
e2e_require
e2e_setup

MAC=$(in_c cat /sys/class/net/eth0/address)
RULES="$TMP/rules.json"
cat > "$TMP/client.json" <<JSON
{"pool":{"id":1,"name":"client","mac":["${MAC^^}"]},"policy":{"id":1}}
{"policy":{"id":0,"name":"default","default_marker":45,"markers":{}}}
{"policy":{"id":1,"name":"by mac","default_marker":44,"markers":{}}}
JSON
cat > "$TMP/other.json" <<'JSON'
{"pool":{"id":1,"name":"other","mac":["02:00:00:00:00:01","not-a-mac"]},"policy":{"id":1}}
{"policy":{"id":0,"name":"default","default_marker":45,"markers":{}}}
{"policy":{"id":1,"name":"by mac","default_marker":44,"markers":{}}}
JSON
cp "$TMP/client.json" "$RULES"
echo hello > "$TMP/index.txt"
e2e_count_mark 44
e2e_count_mark 45
e2e_spawn "$NS_S" /usr/bin/python3 -m http.server 80 --bind :: --directory "$TMP"
e2e_wait_port tcp 80
e2e_start_vesk -r "$RULES"

fetch_all() {  # label
  for url in "http://10.77.0.2/index.txt" "http://[fd77::2]/index.txt"; do
    [ "$(in_c curl -s -m 5 "$url")" = hello ] && ok "$1: $url fetched" || fail "$1: $url failed"
  done
}

fetch_all "client MAC pool"
m44=$(e2e_marked_packets 44); m45=$(e2e_marked_packets 45)
[ "$m44" -gt 0 ] && [ "$m45" -eq 0 ] && ok "client MAC pool: $m44 packets marked 44, none 45" \
  || fail "client MAC pool: marks 44=$m44 45=$m45"

cp "$TMP/other.json" "$RULES"
loads=$(grep -c "Loaded rules from" "$LOG")
kill -HUP "$VESK_PID"
e2e_wait_more "$LOG" "Loaded rules from" "$loads" 5 || fail "other MAC pool not loaded"
e2e_wait_for "$LOG" "Invalid MAC format not-a-mac: skipping" 5 && ok "bad MAC text refused" \
  || fail "bad MAC text not reported"
fetch_all "other MAC pool"
n44=$(e2e_marked_packets 44); n45=$(e2e_marked_packets 45)
[ "$n44" -eq "$m44" ] && [ "$n45" -gt 0 ] && ok "other MAC pool: default mark 45 on $n45 packets" \
  || fail "other MAC pool: marks 44=$m44->$n44 45=$n45"

e2e_stop_vesk
exit $FAIL
