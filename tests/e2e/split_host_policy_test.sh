#!/usr/bin/env bash
# A host-name drop rule cannot be evaded by splitting what carries the name.
# The link has an MTU of 1280 and no segmentation offload, so the kernel
# hands vesk the segments as they travel:
# - HTTP: a python3 client writes its request in two sends cut inside the
#   Host line; curl asks for a 1,500-character path, so the Host line is in
#   the second segment;
# - TLS: openssl s_client cuts its records at 512 bytes and offers a long
#   ALPN list, so the ClientHello spans four records and two segments.
# Each is dropped for blocked.vesk.test and answered for open.vesk.test.
TAG=splitpol
. "$(dirname "$0")/e2e_lib.sh"
e2e_require
command -v ethtool > /dev/null || { echo "skipped: needs ethtool"; exit 77; }
e2e_setup
for ns in "$NS_C" "$NS_S"; do ip netns exec "$ns" ip link set eth0 mtu 1280; done
in_c ethtool -K eth0 tso off gso off > /dev/null

cat > "$TMP/rules.json" <<'JSON'
{"policy":{"id":0,"name":"split","default_marker":9,"markers":{"hostnames":{"blocked.vesk.test":"drop"}}}}
JSON
echo hello > "$TMP/index.txt"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 30 \
  -subj "/CN=vesk.test" -keyout "$TMP/key.pem" -out "$TMP/cert.pem" 2> /dev/null
e2e_spawn "$NS_S" /usr/bin/python3 -m http.server 80 --bind 10.77.0.2 --directory "$TMP"
e2e_spawn "$NS_S" openssl s_server -quiet -accept 443 -cert "$TMP/cert.pem" -key "$TMP/key.pem" -www
e2e_wait_port tcp 80
e2e_wait_port tcp 443
e2e_start_vesk -r "$TMP/rules.json"

two_sends() {  # host -> the status line, or nothing without an answer
  in_c timeout 8 /usr/bin/python3 - "$1" <<'PY'
import socket, sys, time
host = sys.argv[1].encode()
s = socket.create_connection(("10.77.0.2", 80), timeout=3)
s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
s.sendall(b"GET /index.txt HTTP/1.1\r\nHost: " + host[:2])
time.sleep(0.3)
s.sendall(host[2:] + b"\r\nConnection: close\r\n\r\n")
try:
    print(s.recv(64).split(b"\r\n")[0].decode())
except OSError:
    pass
PY
}

long_path() {  # host -> the HTTP status code curl got (000 without an answer)
  local path
  path=/$(printf 'a%.0s' $(seq 1 1500))
  in_c curl -s -m 4 -o /dev/null -w '%{http_code}' --resolve "$1:80:10.77.0.2" "http://$1$path"
}

split_hello() {  # server name -> the protocol line of a completed handshake
  local alpn="http/1.1" i
  for i in 1 2 3 4 5 6; do alpn+=",$(printf "p$i%.0s" $(seq 1 120))"; done
  echo | in_c timeout 6 openssl s_client -brief -connect 10.77.0.2:443 -servername "$1" \
    -alpn "$alpn" -max_send_frag 512 2>&1 | grep -m1 "Protocol version"
}

for host in open.vesk.test blocked.vesk.test; do
  got=$(two_sends "$host")
  case $host in
    open.*) [[ $got == "HTTP/1.0 200"* ]] && ok "two-send request for $host answered" || fail "two-send $host got [$got]" ;;
    *) [ -z "$got" ] && ok "two-send request for $host dropped" || fail "two-send $host answered [$got]" ;;
  esac
  got=$(long_path "$host")
  case $host in
    open.*) [ "$got" = 404 ] && ok "long request for $host answered" || fail "long request $host got [$got]" ;;
    *) [ "$got" = 000 ] && ok "long request for $host dropped" || fail "long request $host answered [$got]" ;;
  esac
  got=$(split_hello "$host")
  case $host in
    open.*) [ -n "$got" ] && ok "split hello for $host completes" || fail "split hello for $host failed" ;;
    *) [ -z "$got" ] && ok "split hello for $host dropped" || fail "split hello for $host completed [$got]" ;;
  esac
done

# The dropped flows were classified on the whole name.
e2e_wait_for "$LOG" "info: blocked.vesk.test" 5
for port in 80 443; do
  n=$(e2e_over_lines "$port" | grep -F "[info: blocked.vesk.test]" | grep -c "\[marker: 2\]$")
  [ "$n" -ge 1 ] && ok "port $port: $n flows of blocked.vesk.test with marker 2" \
    || { fail "port $port: no dropped flow of blocked.vesk.test"; e2e_over_lines "$port"; }
done
if e2e_over_lines 80 | grep -q "info: bl\]"; then fail "a flow was classified on the cut host"; fi

cp "$LOG" /tmp/splitpol.log; e2e_stop_vesk
exit $FAIL
