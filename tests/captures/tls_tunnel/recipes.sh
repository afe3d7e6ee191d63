# Recipes for the TLS-in-TLS captures of this folder, sourced by
# ../record.sh (which provides setup, start_s, capture_start/capture_stop
# and the rest).
RECIPES+=(tls_tunnel/tls_tunnel tls_tunnel/ssh_in_tls)

# An HTTPS proxy: stunnel terminates TLS on 8443 in front of tinyproxy
# (HTTP CONNECT), which reaches nginx's HTTPS on 9443 over the server's
# loopback. curl -x https://... fetches through it (TLS inside TLS on the
# wire), then fetches from nginx directly (plain TLS).
record_tls_tunnel() {
  setup 1500
  mkdir -p "$WORK/tun/www" "$WORK/tun/tmp"
  echo hello > "$WORK/tun/www/index.html"
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 3650 \
    -subj "/CN=proxy.vesk.test" -keyout "$WORK/tun/key.pem" -out "$WORK/tun/cert.pem" 2> /dev/null
  # nginx sends a chain of three 4096-bit RSA certificates, the size of the
  # server flight of a public site.
  local c
  openssl req -x509 -newkey rsa:4096 -nodes -days 3650 -subj "/CN=Vesk Root" \
    -keyout "$WORK/tun/ca1.key" -out "$WORK/tun/ca1.pem" 2> /dev/null
  openssl req -newkey rsa:4096 -nodes -subj "/CN=Vesk Intermediate" -keyout "$WORK/tun/ca2.key" \
    -out "$WORK/tun/ca2.csr" 2> /dev/null
  openssl x509 -req -in "$WORK/tun/ca2.csr" -CA "$WORK/tun/ca1.pem" -CAkey "$WORK/tun/ca1.key" -days 3650 \
    -CAcreateserial -out "$WORK/tun/ca2.pem" 2> /dev/null
  openssl req -newkey rsa:4096 -nodes -subj "/CN=www.vesk.test" -keyout "$WORK/tun/www.key" \
    -out "$WORK/tun/www.csr" 2> /dev/null
  openssl x509 -req -in "$WORK/tun/www.csr" -CA "$WORK/tun/ca2.pem" -CAkey "$WORK/tun/ca2.key" -days 3650 \
    -CAcreateserial -out "$WORK/tun/www.pem" 2> /dev/null
  for c in www ca2 ca1; do cat "$WORK/tun/$c.pem"; done > "$WORK/tun/chain.pem"
  cat > "$WORK/tun/nginx.conf" <<CONF
daemon off;
pid $WORK/tun/nginx.pid;
error_log $WORK/tun/error.log;
events {}
http {
  access_log off;
  client_body_temp_path $WORK/tun/tmp;
  server {
    listen $SRV4:9443 ssl;
    ssl_certificate $WORK/tun/chain.pem;
    ssl_certificate_key $WORK/tun/www.key;
    root $WORK/tun/www;
  }
}
CONF
  cat > "$WORK/tun/tinyproxy.conf" <<CONF
Port 8888
Listen 127.0.0.1
Timeout 10
MaxClients 4
Allow 127.0.0.1
ConnectPort 9443
CONF
  cat > "$WORK/tun/stunnel.conf" <<CONF
foreground = yes
pid =
[proxy]
accept = $SRV4:8443
connect = 127.0.0.1:8888
cert = $WORK/tun/cert.pem
key = $WORK/tun/key.pem
CONF
  start_s nginx -c "$WORK/tun/nginx.conf"
  local nginx_pid=${PIDS[-1]}
  start_s tinyproxy -d -c "$WORK/tun/tinyproxy.conf"
  local proxy_pid=${PIDS[-1]}
  start_s stunnel4 "$WORK/tun/stunnel.conf"
  local stunnel_pid=${PIDS[-1]}
  wait_port t 9443
  wait_port t 8888
  wait_port t 8443
  capture_start tls_tunnel
  in_c curl -s -m 10 -k --proxy-insecure -x "https://$SRV4:8443" "https://$SRV4:9443/" > /dev/null || true
  in_c curl -s -m 10 -k "https://$SRV4:9443/" > /dev/null || true
  capture_stop tls_tunnel
  stop_pid "$stunnel_pid"
  stop_pid "$proxy_pid"
  stop_pid "$nginx_pid"
  teardown
}

# SSH inside TLS, the heuristic's near miss: stunnel terminates TLS on 7443
# in front of sshd, and ssh reaches it through openssl s_client as its proxy
# command (the key exchange and a refused login travel inside the tunnel).
record_ssh_in_tls() {
  setup 1500
  mkdir -p "$WORK/tun"
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 3650 \
    -subj "/CN=tunnel.vesk.test" -keyout "$WORK/tun/key.pem" -out "$WORK/tun/cert.pem" 2> /dev/null
  start_sshd 22
  local sshd_pid=${PIDS[-1]}
  cat > "$WORK/tun/stunnel.conf" <<CONF
foreground = yes
pid =
[ssh]
accept = $SRV4:7443
connect = $SRV4:22
cert = $WORK/tun/cert.pem
key = $WORK/tun/key.pem
CONF
  start_s stunnel4 "$WORK/tun/stunnel.conf"
  local stunnel_pid=${PIDS[-1]}
  wait_port t 22
  wait_port t 7443
  capture_start ssh_in_tls
  ssh_refused -o ProxyCommand="openssl s_client -quiet -connect $SRV4:7443 -servername tunnel.vesk.test" nobody@"$SRV4"
  ssh_refused -o KexAlgorithms=curve25519-sha256 \
    -o ProxyCommand="openssl s_client -quiet -connect $SRV4:7443 -servername tunnel.vesk.test" nobody@"$SRV4"
  capture_stop ssh_in_tls
  stop_pid "$stunnel_pid"
  stop_pid "$sshd_pid"
  teardown
}
