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

# Certificates made for the TLS cases: a self-signed one for www.vesk.test,
# one that expired in 2021 (signed with `openssl ca`, which takes explicit
# dates), and a wildcard one for *.vesk.test valid past 2050, so that its end
# date is a GeneralizedTime.
make_tls_certificates() {
  local ec=(-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes)
  openssl req -x509 "${ec[@]}" -days 3650 -subj "/C=XX/O=Vesk Test/CN=www.vesk.test" \
    -keyout "$WORK/self.key" -out "$WORK/self.pem" 2> /dev/null
  mkdir -p "$WORK/ca/newcerts"
  : > "$WORK/ca/index.txt"
  echo 01 > "$WORK/ca/serial"
  printf '%s\n' '[ca]' 'default_ca = vesk' '[vesk]' "dir = $WORK/ca" 'database = $dir/index.txt' \
    'new_certs_dir = $dir/newcerts' 'serial = $dir/serial' 'default_md = sha256' 'policy = any' \
    '[any]' 'commonName = supplied' > "$WORK/ca.cnf"
  openssl req -new "${ec[@]}" -subj "/CN=old.vesk.test" -keyout "$WORK/old.key" -out "$WORK/old.csr" 2> /dev/null
  openssl ca -batch -config "$WORK/ca.cnf" -selfsign -keyfile "$WORK/old.key" -in "$WORK/old.csr" \
    -startdate 20200101000000Z -enddate 20210101000000Z -out "$WORK/old.pem" > /dev/null 2>&1
  openssl req -x509 "${ec[@]}" -days 10000 -subj "/O=Vesk Test/CN=*.vesk.test" \
    -addext "subjectAltName=DNS:*.vesk.test,DNS:vesk.test" -keyout "$WORK/wild.key" -out "$WORK/wild.pem" 2> /dev/null
}

# s_client with a request on its standard input; bounded by timeout.
tls_client() { printf 'GET / HTTP/1.0\r\n\r\n' | in_c timeout 10 openssl s_client -quiet "$@" > /dev/null 2>&1 || true; }

record_tls_cases() {
  setup 1500
  make_tls_certificates
  start_s openssl s_server -quiet -accept 443 -cert "$WORK/self.pem" -key "$WORK/self.key" -alpn h2,http/1.1 -www
  local self_pid=${PIDS[-1]}
  start_s openssl s_server -quiet -accept 8443 -cert "$WORK/old.pem" -key "$WORK/old.key" -www
  local old_pid=${PIDS[-1]}
  start_s openssl s_server -quiet -accept 9443 -cert "$WORK/wild.pem" -key "$WORK/wild.key" -www
  local wild_pid=${PIDS[-1]}
  start_s openssl s_server -quiet -dtls -accept 4433 -cert "$WORK/self.pem" -key "$WORK/self.key"
  local dtls_pid=${PIDS[-1]}
  wait_port t 443
  wait_port t 8443
  wait_port t 9443
  wait_port u 4433
  capture_start tls_cases
  tls_client -tls1_2 -connect "$SRV4:443" -servername www.vesk.test -alpn h2,http/1.1
  in_c curl -sk -m 5 --http1.1 -o /dev/null --tlsv1.3 --resolve "www.vesk.test:443:$SRV4" https://www.vesk.test/ || true
  in_c curl -sk -m 5 --http1.1 -o /dev/null --tls-max 1.2 --resolve "www.vesk.test:443:$SRV4" https://www.vesk.test/ || true
  tls_client -tls1_2 -connect "$SRV4:8443" -servername old.vesk.test
  tls_client -tls1_2 -connect "$SRV4:9443" -servername mail.vesk.test
  tls_client -tls1_2 -connect "$SRV4:9443" -servername x.vesk.test.evil.net
  printf 'hello\n' | in_c timeout 5 openssl s_client -quiet -dtls -connect "$SRV4:4433" \
    -servername www.vesk.test > /dev/null 2>&1 || true
  capture_stop tls_cases
  stop_pid "$self_pid"; stop_pid "$old_pid"; stop_pid "$wild_pid"; stop_pid "$dtls_pid"
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

record_icmp() {
  setup 1500
  capture_start icmp
  in_c ping -c 2 -i 0.2 -W 2 "$SRV4" > /dev/null
  capture_stop icmp
  teardown
}

# HTTP as real clients send it: odd header case and spacing, a server on a
# port HTTP does not use, a client that sends its headers slowly (Slowloris)
# and a request of 100 lines.
record_http_cases() {
  setup 1500
  mkdir -p "$WORK/www"
  echo "hello from vesk" > "$WORK/www/index.html"
  start_s /usr/bin/python3 -m http.server 80 --bind "$SRV4" --directory "$WORK/www"
  local http_pid=${PIDS[-1]}
  start_s /usr/bin/python3 -m http.server 8081 --bind "$SRV4" --directory "$WORK/www"
  local alt_pid=${PIDS[-1]}
  wait_port t 80
  wait_port t 8081
  capture_start http_cases
  in_c curl -s -o /dev/null -H "hOsT:    www.vesk.test   " -H "user-AGENT:curl-odd-case/1.0" \
    "http://$SRV4/index.html"
  in_c curl -s -o /dev/null -H "Host: alt.vesk.test" "http://$SRV4:8081/index.html"
  in_c timeout 20 /usr/bin/python3 - "$SRV4" <<'PY'
import socket, sys, time
s = socket.create_connection((sys.argv[1], 80), timeout=10)
for part in (b"GET /index.html HTTP/1.1\r\n", b"Host: slow.vesk.test\r\n",
             b"User-Agent: slow-client/1.0\r\n", b"\r\n"):
    s.sendall(part)
    time.sleep(2)
s.recv(4096)
s.close()
PY
  local headers=() i
  for i in $(seq 1 97); do headers+=(-H "X-Line-$i: value-$i"); done
  in_c curl -s -o /dev/null -H "Host: long.vesk.test" "${headers[@]}" "http://$SRV4/index.html"
  capture_stop http_cases
  stop_pid "$alt_pid"
  stop_pid "$http_pid"
  teardown
}

# RECORD_ONLY="tls_cases dns_cases" re-records only those captures.
for r in ${RECORD_ONLY:-dns http ssh tls icmp tls_cases dns_cases http_cases}; do
  "record_$r"
done
