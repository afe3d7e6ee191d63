# Recipes for the icmp captures of this folder, sourced by ../record.sh
# (which provides setup, start_s, capture_start/capture_stop and the rest).
RECIPES+=(icmp/icmp)

record_icmp() {
  setup 1500
  capture_start icmp
  in_c ping -c 2 -i 0.2 -W 2 "$SRV4" > /dev/null
  capture_stop icmp
  teardown
}
