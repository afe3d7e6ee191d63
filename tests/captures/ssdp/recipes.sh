# Recipes for the SSDP captures of this folder, sourced by ../record.sh
# (which provides setup, start_s, capture_start/capture_stop and the rest).
RECIPES+=(ssdp/ssdp)

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
