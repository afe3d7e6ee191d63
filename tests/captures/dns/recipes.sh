# Recipes for the dns captures of this folder, sourced by ../record.sh
# (which provides setup, start_s, capture_start/capture_stop and the rest).
RECIPES+=(dns/dns dns/dns_cases dns/dns_answers dns/dns_tcp_stream)

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

# DNS answers then connections: an answer names ok.vesk.test at the server's
# first address; HTTP (curl) and TLS (openssl s_client) connections under
# that name go once to the announced address and once to a second address
# of the server that no answer gave.
record_dns_answers() {
  setup 1500
  local other=10.200.0.3
  in_s ip addr add "$other/24" dev vcap-s
  mkdir -p "$WORK/www"
  echo "hello from vesk" > "$WORK/www/index.html"
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 3650 \
    -subj "/CN=ok.vesk.test" -keyout "$WORK/key.pem" -out "$WORK/cert.pem" 2> /dev/null
  start_s dnsmasq --no-daemon --no-resolv --no-hosts --bind-interfaces --listen-address="$SRV4" --port=53 \
    --local=/vesk.test/ --host-record=ok.vesk.test,"$SRV4" --local-ttl=300 --pid-file="$WORK/dnsmasq.pid"
  local dns_pid=${PIDS[-1]}
  start_s /usr/bin/python3 -m http.server 80 --bind 0.0.0.0 --directory "$WORK/www"
  local http_pid=${PIDS[-1]}
  start_s openssl s_server -quiet -accept 443 -cert "$WORK/cert.pem" -key "$WORK/key.pem" -www
  local tls_pid=${PIDS[-1]}
  wait_port u 53
  wait_port t 80
  wait_port t 443
  capture_start dns_answers
  in_c dig +tries=1 +time=2 @"$SRV4" ok.vesk.test A > /dev/null
  local to
  for to in "$SRV4" "$other"; do
    in_c curl -s -m 5 -o /dev/null --resolve "ok.vesk.test:80:$to" http://ok.vesk.test/index.html
  done
  for to in "$SRV4" "$other"; do
    printf 'GET / HTTP/1.0\r\n\r\n' | in_c timeout 10 openssl s_client -quiet -connect "$to:443" \
      -servername ok.vesk.test > /dev/null 2>&1 || true
  done
  capture_stop dns_answers
  stop_pid "$tls_pid"; stop_pid "$http_pid"; stop_pid "$dns_pid"
  teardown
}

# Several DNS queries on one TCP connection: dig +tcp +keepopen with three
# queries, then a python3 client that writes each query's 2-byte length and
# the message in two sends (TCP_NODELAY, so each is a segment of its own),
# three queries on one connection, reading each answer before the next.
record_dns_tcp_stream() {
  setup 1500
  start_s dnsmasq --no-daemon --no-resolv --no-hosts --bind-interfaces --listen-address="$SRV4" --port=53 \
    --local=/vesk.test/ --host-record=host.vesk.test,10.200.0.7,fd00:200::7 \
    --host-record=other.vesk.test,10.200.0.8 --local-ttl=300 --pid-file="$WORK/dnsmasq.pid"
  local dns_pid=${PIDS[-1]}
  wait_port t 53
  cat > "$WORK/dns_tcp_apart.py" <<'PY'
import socket, struct, sys
def query(ident, name, qtype):
    q = b"".join(bytes([len(p)]) + p.encode() for p in name.split(".")) + b"\0"
    return struct.pack("!HHHHHH", ident, 0x0100, 1, 0, 0, 0) + q + struct.pack("!HH", qtype, 1)
def read(s, n):
    b = b""
    while len(b) < n:
        part = s.recv(n - len(b))
        if not part:
            raise EOFError
        b += part
    return b
s = socket.create_connection((sys.argv[1], 53), timeout=3)
s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
for ident, (name, qtype) in enumerate([("host.vesk.test", 1), ("host.vesk.test", 28), ("other.vesk.test", 1)], 0x4d00):
    m = query(ident, name, qtype)
    s.sendall(struct.pack("!H", len(m)))
    s.sendall(m)
    read(s, struct.unpack("!H", read(s, 2))[0])
s.close()
PY
  capture_start dns_tcp_stream
  in_c dig +tcp +keepopen +tries=1 +time=2 @"$SRV4" host.vesk.test A host.vesk.test AAAA other.vesk.test A > /dev/null
  in_c timeout 10 /usr/bin/python3 "$WORK/dns_tcp_apart.py" "$SRV4" || true
  capture_stop dns_tcp_stream
  stop_pid "$dns_pid"
  teardown
}
