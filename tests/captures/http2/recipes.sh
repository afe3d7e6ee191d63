# Recipes for the HTTP/2 captures of this folder, sourced by ../record.sh
# (which provides setup, start_s, capture_start/capture_stop and the rest).
RECIPES+=(http2/http2)

# nghttpd serving cleartext HTTP/2 (prior knowledge, no upgrade) on 8080 and
# on 9999; nghttp and curl --http2-prior-knowledge fetch a small file.
record_http2() {
  setup 1500
  mkdir -p "$WORK/www"
  echo '{"hello": "world"}' > "$WORK/www/data.json"
  start_s nghttpd --no-tls -a "$SRV4" -d "$WORK/www" 8080
  local h2_pid=${PIDS[-1]}
  start_s nghttpd --no-tls -a "$SRV4" -d "$WORK/www" 9999
  local h2b_pid=${PIDS[-1]}
  wait_port t 8080
  wait_port t 9999
  capture_start http2
  in_c timeout 10 nghttp "http://$SRV4:8080/data.json" > /dev/null || true
  in_c curl -s -m 10 --http2-prior-knowledge "http://$SRV4:8080/data.json" > /dev/null || true
  in_c curl -s -m 10 --http2-prior-knowledge "http://$SRV4:9999/data.json" > /dev/null || true
  capture_stop http2
  stop_pid "$h2_pid"
  stop_pid "$h2b_pid"
  teardown
}
