# Recipes for the DHCP captures of this folder, sourced by ../record.sh
# (which provides setup, start_s, capture_start/capture_stop and the rest).
RECIPES+=(dhcp/dhcp)

# dnsmasq serving DHCP and DHCPv6 on the server's side of the veth pair;
# busybox udhcpc asks for an address with a host name and a vendor class,
# dhclient -6 solicits an IPv6 address (the DHCPv6 client port 546 to the
# server port 547).
record_dhcp() {
  setup 1500
  sleep 2 # link-local addresses leave their tentative state
  start_s dnsmasq --no-daemon --no-resolv --no-hosts --port=0 --no-ping --bind-interfaces --interface=vcap-s \
    --dhcp-range=10.200.0.50,10.200.0.60,12h --dhcp-range=fd00:200::100,fd00:200::1ff,64,12h \
    --dhcp-leasefile="$WORK/leases" --pid-file="$WORK/dnsmasq.pid"
  local dhcp_pid=${PIDS[-1]}
  wait_port u 67
  capture_start dhcp
  in_c timeout 10 busybox udhcpc -i vcap-c -n -q -f -t 5 -T 2 -x hostname:ws01 -V vendorX -s /bin/true || true
  in_c timeout 8 dhclient -6 -1 -v -sf /bin/true -lf "$WORK/dhclient6.leases" -pf "$WORK/dhclient6.pid" vcap-c \
    > "$WORK/dhclient6.log" 2>&1 || true
  [ -f "$WORK/dhclient6.pid" ] && stop_pid "$(cat "$WORK/dhclient6.pid")"
  capture_stop dhcp
  stop_pid "$dhcp_pid"
  teardown
}
