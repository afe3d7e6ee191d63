# Recipes for the http captures of this folder, sourced by ../record.sh
# (which provides setup, start_s, capture_start/capture_stop and the rest).
RECIPES+=(http/http http/http_cases http/http_attacks http/http_split http/http_json)

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

# Query strings that carry cross-site scripting and SQL injection, sent by
# curl as an attacker would, and ordinary values that look a little alike
# (a quote in a name, an ampersand and a ">" in a phrase).
record_http_attacks() {
  setup 1500
  mkdir -p "$WORK/www"
  echo "hello from vesk" > "$WORK/www/index.html"
  start_s /usr/bin/python3 -m http.server 80 --bind "$SRV4" --directory "$WORK/www"
  local http_pid=${PIDS[-1]}
  wait_port t 80
  capture_start http_attacks
  local q
  for q in "q=%3Cscript%3Ealert(1)%3C%2Fscript%3E" \
           "q=%22%20onmouseover%3D%22alert(1)" \
           "id=1%20UNION%20SELECT%201,2,3" \
           "id=1%27%20OR%20%271%27%3D%271" \
           "id=1%20AND%20SLEEP(5)--%20x" \
           "q=hello%20world&page=2" \
           "name=O%27Brien&sort=desc" \
           "q=rock%20%26%20roll%20%3E%20jazz"; do
    in_c curl -s -o /dev/null -H "Host: www.vesk.test" "http://$SRV4/index.html?$q"
  done
  capture_stop http_attacks
  stop_pid "$http_pid"
  teardown
}

# Requests that reach the server in more than one TCP segment: curl with a
# 1,500-character path over a veth of MTU 1280 (the Host line travels in the
# second segment), and a python3 client that writes its request in two sends
# with Nagle off, cutting the Host line in the middle of the name.
record_http_split() {
  setup 1280
  # Segmentation offload would hand the server one 1,579-byte segment.
  in_c ethtool -K vcap-c tso off gso off > /dev/null
  mkdir -p "$WORK/www"
  echo "hello from vesk" > "$WORK/www/index.html"
  start_s /usr/bin/python3 -m http.server 80 --bind "$SRV4" --directory "$WORK/www"
  local http_pid=${PIDS[-1]}
  wait_port t 80
  capture_start http_split
  local path
  path=/$(printf 'a%.0s' $(seq 1 1500))
  in_c curl -s -o /dev/null --resolve "split.vesk.test:80:$SRV4" "http://split.vesk.test$path" || true
  in_c timeout 10 /usr/bin/python3 - "$SRV4" <<'PY'
import socket, sys, time
s = socket.create_connection((sys.argv[1], 80), timeout=5)
s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
s.sendall(b"GET /index.html HTTP/1.1\r\nHost: bl")
time.sleep(0.3)
s.sendall(b"ocked.vesk.test\r\nUser-Agent: two-sends/1.0\r\n\r\n")
s.recv(4096)
s.close()
PY
  capture_stop http_split
  stop_pid "$http_pid"
  teardown
}

# nginx serving a JSON document (application/json) to curl, copied into
# its own buffer (sendfile off), so the headers and the body leave in one
# segment.
record_http_json() {
  setup 1500
  mkdir -p "$WORK/www" "$WORK/nginx/tmp"
  printf '{"service": "vesk", "version": 1, "rules": [{"host": "www.vesk.test", "verdict": "pass"}]}\n' \
    > "$WORK/www/status.json"
  chmod -R a+rX "$WORK"
  cat > "$WORK/nginx/nginx.conf" <<CONF
daemon off;
pid $WORK/nginx/nginx.pid;
error_log $WORK/nginx/error.log;
events {}
http {
  access_log off;
  include /etc/nginx/mime.types;
  client_body_temp_path $WORK/nginx/tmp;
  proxy_temp_path $WORK/nginx/tmp;
  fastcgi_temp_path $WORK/nginx/tmp;
  uwsgi_temp_path $WORK/nginx/tmp;
  scgi_temp_path $WORK/nginx/tmp;
  server {
    listen $SRV4:80;
    root $WORK/www;
    sendfile off;
  }
}
CONF
  start_s nginx -c "$WORK/nginx/nginx.conf"
  local nginx_pid=${PIDS[-1]}
  wait_port t 80
  capture_start http_json
  in_c curl -s -o /dev/null --resolve "api.vesk.test:80:$SRV4" http://api.vesk.test/status.json
  capture_stop http_json
  stop_pid "$nginx_pid"
  teardown
}
