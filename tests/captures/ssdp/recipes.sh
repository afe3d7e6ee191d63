# Recipes for the SSDP captures of this folder, sourced by ../record.sh
# (which provides setup, start_s, capture_start/capture_stop and the rest).
RECIPES+=(ssdp/ssdp ssdp/ssdp_miniupnpd)

# miniupnpc's upnpc looks for an internet gateway: M-SEARCH requests to the
# SSDP multicast group (routed onto the veth pair; nothing answers).
record_ssdp() {
  setup 1500
  in_c ip route add 224.0.0.0/4 dev vcap-c
  capture_start ssdp
  in_c timeout 10 upnpc -4 -l > /dev/null 2>&1 || true
  capture_stop ssdp
  teardown
}

# miniupnpd (UPnP only, its rules in the server namespace's own nftables)
# announces its devices with NOTIFY on start and answers the M-SEARCH of
# upnpc -P, which then reads the device description over HTTP; the byebye
# NOTIFYs follow when it stops. Its external side is one end of a second
# veth pair inside the server namespace.
record_ssdp_miniupnpd() {
  setup 1500
  in_s ip link add ext0 type veth peer name ext1
  in_s ip addr add 10.204.0.1/24 dev ext0
  in_s ip link set ext0 up
  in_s ip route add 224.0.0.0/4 dev vcap-s
  in_c ip route add 224.0.0.0/4 dev vcap-c
  cat > "$WORK/miniupnpd.conf" <<CONF
ext_ifname=ext0
listening_ip=vcap-s
http_port=5000
enable_natpmp=no
ipv6_disable=yes
enable_upnp=yes
secure_mode=yes
system_uptime=no
notify_interval=600
uuid=6e0a2b1c-55aa-4c3e-9d1f-0123456789ab
allow 1024-65535 10.200.0.0/24 1024-65535
deny 0-65535 0.0.0.0/0 0-65535
CONF
  capture_start ssdp_miniupnpd
  start_s miniupnpd -f "$WORK/miniupnpd.conf" -P "$WORK/miniupnpd.pid" -d
  local upnpd=${PIDS[-1]}
  wait_port t 5000
  wait_port u 1900
  in_c timeout 10 upnpc -4 -m vcap-c -P > "$WORK/upnpc.log" 2>&1 || true
  stop_pid "$upnpd"
  capture_stop ssdp_miniupnpd
  teardown
}
