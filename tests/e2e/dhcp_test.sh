#!/usr/bin/env bash
# DHCP through the queue: busybox udhcpc in the client namespace asks
# dnsmasq's DHCP server for a lease with a host name and a vendor class.
# The broadcast DISCOVER enters the server namespace through the queue and
# is classified as DHCP by inspection, with the client's host name.
TAG=dhcp
. "$(dirname "$0")/e2e_lib.sh"
e2e_require
command -v busybox > /dev/null || { echo "skipped: busybox missing"; exit 77; }
e2e_setup

cat > "$TMP/pass.json" <<'JSON'
{ "policy": { "id": 0, "name": "pass", "default_marker": "pass", "markers": { "categories": { }, "protocols": { }}}}
JSON
e2e_spawn "$NS_S" dnsmasq --keep-in-foreground --no-resolv --no-hosts --port=0 --no-ping --bind-interfaces \
  --interface=eth0 --dhcp-range=10.77.0.50,10.77.0.60,12h --dhcp-leasefile="$TMP/leases" \
  --pid-file="$TMP/dnsmasq.pid" --user=root
e2e_wait_port udp 67
e2e_start_vesk -r "$TMP/pass.json"

in_c timeout 15 busybox udhcpc -i eth0 -n -q -f -t 5 -T 2 -x hostname:ws01 -V vendorX -s /bin/true \
  > "$TMP/udhcpc.log" 2>&1 && ok "udhcpc got a lease through the queue" || fail "udhcpc: $(tail -1 "$TMP/udhcpc.log")"
e2e_wait_for "$LOG" "OXLO OVER.*:67\]" 5
line=$(e2e_over_lines 67 | head -1)
echo "$line"
echo "$line" | grep -Eq ":67\]\[DHCP/" && ok "DISCOVER classified as DHCP" || fail "DHCP flow: $line"
echo "$line" | grep -q "ws01" && ok "host name ws01" || fail "no host name: $line"

e2e_stop_vesk
exit $FAIL
