# Recipes for the PROXY-protocol captures of this folder, sourced by
# ../record.sh (which provides setup, start_s, capture_start/capture_stop
# and the rest).
RECIPES+=(haproxy/haproxy)

# nginx on the server accepting the PROXY header (proxy_protocol) on 8081;
# haproxy on the client's side relays curl's requests to it with
# send-proxy (version 1) and send-proxy-v2; curl --haproxy-protocol sends
# a version-1 header itself.
record_haproxy() {
  setup 1500
  mkdir -p "$WORK/nginx/www" "$WORK/nginx/tmp"
  echo ok > "$WORK/nginx/www/index.html"
  cat > "$WORK/nginx/nginx.conf" <<CONF
daemon off;
pid $WORK/nginx/nginx.pid;
error_log $WORK/nginx/error.log;
events {}
http {
  access_log off;
  client_body_temp_path $WORK/nginx/tmp;
  server { listen $SRV4:8081 proxy_protocol; root $WORK/nginx/www; }
}
CONF
  cat > "$WORK/haproxy.cfg" <<CONF
global
  log stdout format raw local0 emerg
defaults
  mode tcp
  timeout connect 2s
  timeout client 5s
  timeout server 5s
frontend v1
  bind 127.0.0.1:8001
  default_backend v1
frontend v2
  bind 127.0.0.1:8002
  default_backend v2
backend v1
  server s $SRV4:8081 send-proxy
backend v2
  server s $SRV4:8081 send-proxy-v2
CONF
  start_s nginx -c "$WORK/nginx/nginx.conf"
  local nginx_pid=${PIDS[-1]}
  ip netns exec "$NS_C" haproxy -f "$WORK/haproxy.cfg" -db > "$WORK/haproxy.log" 2>&1 &
  local haproxy_pid=$!
  PIDS+=($haproxy_pid)
  wait_port t 8081
  sleep 1
  capture_start haproxy
  in_c curl -s -m 5 http://127.0.0.1:8001/ > /dev/null || true
  in_c curl -s -m 5 http://127.0.0.1:8002/ > /dev/null || true
  in_c curl -s -m 5 --haproxy-protocol "http://$SRV4:8081/" > /dev/null || true
  capture_stop haproxy
  stop_pid "$haproxy_pid"
  stop_pid "$nginx_pid"
  teardown
}
