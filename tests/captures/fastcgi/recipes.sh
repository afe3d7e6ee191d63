# Recipes for the FastCGI captures of this folder, sourced by ../record.sh
# (which provides setup, start_s, capture_start/capture_stop and the rest).
RECIPES+=(fastcgi/fastcgi fastcgi/fastcgi_service)

# fcgiwrap on the server's side (TCP 9000) runs a shell CGI script; nginx
# on the client's side (127.0.0.1:8080) passes requests to it with
# fastcgi_pass. FCGI_PIDS names the two processes.
start_fastcgi_pair() {
  mkdir -p "$WORK/cgi" "$WORK/nginx/tmp"
  printf '#!/bin/sh\nprintf "Content-Type: text/plain\\r\\n\\r\\nhello\\n"\n' > "$WORK/cgi/hello.sh"
  chmod 755 "$WORK" "$WORK/cgi" "$WORK/cgi/hello.sh"
  cat > "$WORK/nginx/nginx.conf" <<CONF
daemon off;
pid $WORK/nginx/nginx.pid;
error_log $WORK/nginx/error.log;
events {}
http {
  access_log off;
  client_body_temp_path $WORK/nginx/tmp;
  fastcgi_temp_path $WORK/nginx/tmp;
  server {
    listen 127.0.0.1:8080;
    location / {
      include /etc/nginx/fastcgi_params;
      fastcgi_param SCRIPT_FILENAME $WORK/cgi/hello.sh;
      fastcgi_param SCRIPT_URL \$uri;
      fastcgi_pass $SRV4:9000;
    }
  }
}
CONF
  start_s fcgiwrap -s "tcp:$SRV4:9000"
  local fcgi_pid=${PIDS[-1]}
  ip netns exec "$NS_C" nginx -c "$WORK/nginx/nginx.conf" > "$WORK/nginx.log" 2>&1 &
  local nginx_pid=$!
  PIDS+=($nginx_pid)
  wait_port t 9000
  local i
  for i in $(seq 1 50); do
    in_c ss -H -ltn "sport = :8080" | grep -q . && break
    sleep 0.1
  done
  FCGI_PIDS=("$nginx_pid" "$fcgi_pid")
}

# curl's requests through nginx, one of them with a 200-character user
# agent (a 4-byte pair length).
record_fastcgi() {
  setup 1500
  start_fastcgi_pair
  capture_start fastcgi
  in_c curl -s -m 5 -H 'Host: app.vesk.test' http://127.0.0.1:8080/hello > /dev/null || true
  in_c curl -s -m 5 -H 'Host: app.vesk.test' -A "vesk-$(printf 'a%.0s' $(seq 1 200))" \
    http://127.0.0.1:8080/long > /dev/null || true
  capture_stop fastcgi
  stop_pid "${FCGI_PIDS[0]}"
  stop_pid "${FCGI_PIDS[1]}"
  teardown
}

# A request whose Host belongs to a known service: nginx passes it on as
# HTTP_HOST, and the FastCGI flow is paired with that service.
record_fastcgi_service() {
  setup 1500
  start_fastcgi_pair
  capture_start fastcgi_service
  in_c curl -s -m 5 -H 'Host: teams.microsoft.com' http://127.0.0.1:8080/hello > /dev/null || true
  capture_stop fastcgi_service
  stop_pid "${FCGI_PIDS[0]}"
  stop_pid "${FCGI_PIDS[1]}"
  teardown
}
