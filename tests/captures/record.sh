#!/usr/bin/env bash
# Records the replay captures of this directory from real Debian clients and
# servers talking between two network namespaces made here (a veth pair,
# 10.200.0.0/24 and fd00:200::/64). Nothing leaves the namespaces.
#
#   bash tests/captures/record.sh [OUTDIR]     (root; default: this directory)
#
# Each capture is taken on the server's side of the veth pair. The flows of
# every capture are described in manifest.json; re-recording changes the
# client ports and timings, not the flows.
set -euo pipefail

OUT=$(realpath "${1:-$(dirname "$0")}")
NS_S=vesk-cap-srv-$$
NS_C=vesk-cap-cli-$$
SRV4=10.200.0.1 CLI4=10.200.0.2
SRV6=fd00:200::1 CLI6=fd00:200::2
WORK=$(mktemp -d /tmp/vesk-capture-XXXXXX)
PIDS=()

cleanup() {
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${PIDS[@]}"; do wait "$p" 2>/dev/null || true; done
  ip netns del "$NS_S" 2>/dev/null || true
  ip netns del "$NS_C" 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT
[ -n "${RECORD_DEBUG:-}" ] && set -x

in_s() { ip netns exec "$NS_S" "$@"; }
in_c() { ip netns exec "$NS_C" "$@"; }

# Starts a background command in the server namespace and remembers its PID
# (ip netns exec replaces itself with the command, so the PID is the server's).
start_s() { ip netns exec "$NS_S" "$@" > "$WORK/server.log" 2>&1 & PIDS+=($!); }

stop_pid() { kill "$1" 2>/dev/null || true; wait "$1" 2>/dev/null || true; }

# Waits (bounded) until a TCP or UDP port listens in the server namespace.
wait_port() {
  local proto=$1 port=$2 i
  for i in $(seq 1 50); do
    if in_s ss -H -l"${proto}"n "sport = :$port" | grep -q .; then return 0; fi
    sleep 0.1
  done
  echo "record: nothing listens on $proto/$port" >&2
  return 1
}

setup() {
  local mtu=$1
  ip netns add "$NS_S"
  ip netns add "$NS_C"
  ip link add vcap-s netns "$NS_S" type veth peer name vcap-c netns "$NS_C"
  in_s ip link set lo up
  in_c ip link set lo up
  in_s ip link set vcap-s mtu "$mtu" up
  in_c ip link set vcap-c mtu "$mtu" up
  in_s ip addr add "$SRV4/24" dev vcap-s
  in_c ip addr add "$CLI4/24" dev vcap-c
  in_s ip -6 addr add "$SRV6/64" dev vcap-s nodad
  in_c ip -6 addr add "$CLI6/64" dev vcap-c nodad
}

teardown() {
  ip netns del "$NS_S"
  ip netns del "$NS_C"
}

# capture NAME: starts tcpdump on the server side; IPv6 neighbour discovery,
# router solicitations and ARP stay out of the file.
capture_start() {
  ip netns exec "$NS_S" tcpdump -Z root -q -U -s 0 -i vcap-s -w "$WORK/$1.pcap" 'ip or (ip6 and (tcp or udp))' \
    > "$WORK/tcpdump-$1.log" 2>&1 &
  CAP_PID=$!
  PIDS+=($CAP_PID)
  local i
  for i in $(seq 1 50); do
    grep -q "listening on" "$WORK/tcpdump-$1.log" 2>/dev/null && break
    sleep 0.1
  done
  sleep 0.5
}

capture_stop() {
  sleep 0.5
  stop_pid "$CAP_PID"
  cp "$WORK/$1.pcap" "$OUT/$1.pcap"
  echo "record: $1.pcap $(stat -c %s "$OUT/$1.pcap") bytes"
}

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

record_http() {
  setup 1500
  mkdir -p "$WORK/www"
  echo "hello from vesk" > "$WORK/www/index.html"
  start_s /usr/bin/python3 -m http.server 80 --bind :: --directory "$WORK/www"
  local http_pid=${PIDS[-1]}
  wait_port t 80
  capture_start http
  in_c curl -s -o /dev/null --resolve "www.vesk.test:80:$SRV4" http://www.vesk.test/index.html
  in_c curl -s -o /dev/null -g "http://[$SRV6]/index.html"
  capture_stop http
  stop_pid "$http_pid"
  teardown
}

record_ssh() {
  setup 1500
  ssh-keygen -q -t ed25519 -N '' -f "$WORK/hostkey"
  mkdir -p /run/sshd
  start_s /usr/sbin/sshd -D -e -p 22 -h "$WORK/hostkey" -o ListenAddress="$SRV4" \
    -o PasswordAuthentication=no -o KbdInteractiveAuthentication=no -o UsePAM=no \
    -o PidFile="$WORK/sshd.pid"
  local sshd_pid=${PIDS[-1]}
  wait_port t 22
  capture_start ssh
  # No credentials: the client gets through the key exchange and is refused.
  in_c timeout 10 ssh -F /dev/null -o BatchMode=yes -o StrictHostKeyChecking=no \
    -o UserKnownHostsFile=/dev/null -o ConnectTimeout=5 nobody@"$SRV4" true > /dev/null 2>&1 || true
  capture_stop ssh
  stop_pid "$sshd_pid"
  teardown
}

record_tls() {
  setup 1500
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 3650 \
    -subj "/CN=www.vesk.test" -keyout "$WORK/key.pem" -out "$WORK/cert.pem" 2> /dev/null
  start_s openssl s_server -quiet -accept 443 -cert "$WORK/cert.pem" -key "$WORK/key.pem" -www
  local tls_pid=${PIDS[-1]}
  wait_port t 443
  capture_start tls
  printf 'GET / HTTP/1.0\r\n\r\n' | in_c timeout 10 openssl s_client -quiet -connect "$SRV4:443" \
    -servername www.vesk.test > /dev/null 2>&1 || true
  capture_stop tls
  stop_pid "$tls_pid"
  teardown
}

record_icmp() {
  setup 1500
  capture_start icmp
  in_c ping -c 2 -i 0.2 -W 2 "$SRV4" > /dev/null
  capture_stop icmp
  teardown
}

record_dns
record_http
record_ssh
record_tls
record_icmp
