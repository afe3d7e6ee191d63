# Recipes for the dns captures of this folder, sourced by ../record.sh
# (which provides setup, start_s, capture_start/capture_stop and the rest).
RECIPES+=(dns/dns dns/dns_cases)

record_dns() {
  # A small MTU makes the large TXT answer arrive in IPv4 fragments.
  setup 1280
  local big
  big=$(printf '"%0250d",' 1 2 3 4 5 6 7 8 | sed 's/,$//')
  start_s dnsmasq --no-daemon --no-resolv --no-hosts --bind-interfaces \
    --listen-address="$SRV4" --port=53 --edns-packet-max=4096 --address=/www.vesk.test/"$SRV4" \
    --txt-record=big.vesk.test,"$big" --pid-file="$WORK/dnsmasq.pid"
  local dns_pid=${PIDS[-1]}
  wait_port u 53
  capture_start dns
  in_c dig +tries=1 +time=2 @"$SRV4" www.vesk.test A > /dev/null
  in_c dig +tries=1 +time=2 +tcp @"$SRV4" www.vesk.test A > /dev/null
  in_c dig +tries=1 +time=2 +bufsize=4096 @"$SRV4" big.vesk.test TXT > /dev/null
  capture_stop dns
  stop_pid "$dns_pid"
  teardown
}

record_dns_cases() {
  setup 1500
  start_s dnsmasq --no-daemon --no-resolv --no-hosts --bind-interfaces --listen-address="$SRV4" --port=53 \
    --local=/vesk.test/ --host-record=host.vesk.test,10.200.0.7,fd00:200::7 \
    --cname=alias.vesk.test,host.vesk.test --local-ttl=300 --pid-file="$WORK/dnsmasq.pid"
  local dns_pid=${PIDS[-1]}
  wait_port u 53
  capture_start dns_cases
  local q=(+tries=1 +time=2 @"$SRV4")
  in_c dig "${q[@]}" host.vesk.test A > /dev/null
  in_c dig "${q[@]}" host.vesk.test AAAA > /dev/null
  in_c dig "${q[@]}" -x 10.200.0.7 > /dev/null
  in_c dig "${q[@]}" alias.vesk.test A > /dev/null
  in_c dig "${q[@]}" missing.vesk.test A > /dev/null
  in_c dig "${q[@]}" +tcp host.vesk.test AAAA > /dev/null
  capture_stop dns_cases
  stop_pid "$dns_pid"
  teardown
}
