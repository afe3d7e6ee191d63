# Recipes for the tls captures of this folder, sourced by ../record.sh
# (which provides setup, start_s, capture_start/capture_stop and the rest).
RECIPES+=(tls/tls tls/tls_cases tls/tls_split)

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

# ClientHellos that do not arrive in one record of one segment, over a veth of
# MTU 1280 without segmentation offload: openssl s_client cutting its records
# at 512 bytes (-max_send_frag) with a long ALPN list, so that the hello
# spans four records and two segments; the same hello in one record over two
# segments; and headless chromium, whose post-quantum key share makes a hello
# of about 1.8 KB.
record_tls_split() {
  setup 1280
  in_c ethtool -K vcap-c tso off gso off > /dev/null
  make_tls_certificates
  start_s openssl s_server -quiet -accept 443 -cert "$WORK/self.pem" -key "$WORK/self.key" -www
  local tls_pid=${PIDS[-1]}
  wait_port t 443
  local alpn="http/1.1" i
  for i in 1 2 3 4 5 6; do alpn+=",$(printf "p$i%.0s" $(seq 1 120))"; done
  capture_start tls_split
  tls_client -tls1_2 -connect "$SRV4:443" -servername blocked.vesk.test -alpn "$alpn" -max_send_frag 512
  tls_client -tls1_3 -connect "$SRV4:443" -servername big.vesk.test -alpn "$alpn"
  in_c timeout 30 chromium --headless --no-sandbox --disable-gpu --no-first-run --ignore-certificate-errors \
    --user-data-dir="$WORK/chromium" --host-resolver-rules="MAP www.vesk.test $SRV4" \
    --dump-dom https://www.vesk.test/ > /dev/null 2>&1 || true
  capture_stop tls_split
  stop_pid "$tls_pid"
  teardown
}
