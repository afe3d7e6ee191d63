# Recipes for the streaming captures of this folder, sourced by ../record.sh
# (which provides setup, start_s, capture_start/capture_stop).
RECIPES+=(streaming/rtmp streaming/mpegts)

# nginx with Debian's RTMP module (a minimal configuration of its own, one
# process, on 1935 and on the port of no meaning 19350): ffmpeg publishes a few
# seconds of a test picture as FLV to each, rtmpdump plays the first stream
# while it is live. Segments of at most 1000 bytes, so C0+C1 spans two.
record_rtmp() {
  setup 1500
  small_segments 1000
  cat > "$WORK/nginx.conf" <<CONF
load_module /usr/lib/nginx/modules/ngx_rtmp_module.so;
daemon off;
master_process off;
pid $WORK/nginx.pid;
error_log $WORK/nginx-error.log;
events { worker_connections 64; }
rtmp {
  server { listen $SRV4:1935; application live { live on; } }
  server { listen $SRV4:19350; application live { live on; } }
}
CONF
  start_s nginx -e "$WORK/nginx-error.log" -p "$WORK" -c "$WORK/nginx.conf"
  local nginx_pid=${PIDS[-1]}
  wait_port t 1935
  wait_port t 19350
  capture_start rtmp
  in_c timeout 15 ffmpeg -nostdin -loglevel error -re -f lavfi -i testsrc=d=3:s=160x120:r=10 \
    -f flv "rtmp://$SRV4/live/x" > /dev/null 2>&1 &
  local publish=$!
  PIDS+=($publish)
  sleep 1
  in_c timeout 10 rtmpdump -q -v -r "rtmp://$SRV4/live/x" -B 1 -o /dev/null > /dev/null 2>&1 || true
  wait "$publish" 2> /dev/null || true
  in_c timeout 15 ffmpeg -nostdin -loglevel error -re -f lavfi -i testsrc=d=2:s=160x120:r=10 \
    -f flv "rtmp://$SRV4:19350/live/y" > /dev/null 2>&1 || true
  capture_stop rtmp
  stop_pid "$nginx_pid"
  teardown
}

# ffmpeg sending two seconds of a test picture as an MPEG transport stream
# in 1316-byte datagrams (7 x 188) to port 1234 and to the port of no
# meaning 41234; socat only receives.
record_mpegts() {
  setup 1500
  start_s timeout 20 socat -u UDP-RECV:1234 /dev/null
  local sink1=${PIDS[-1]}
  start_s timeout 20 socat -u UDP-RECV:41234 /dev/null
  local sink2=${PIDS[-1]}
  wait_port u 1234
  wait_port u 41234
  capture_start mpegts
  in_c timeout 15 ffmpeg -nostdin -loglevel error -re -f lavfi -i testsrc=d=2:s=160x120:r=10 \
    -f mpegts "udp://$SRV4:1234?pkt_size=1316" > /dev/null 2>&1 || true
  in_c timeout 15 ffmpeg -nostdin -loglevel error -re -f lavfi -i testsrc=d=1:s=160x120:r=10 \
    -f mpegts "udp://$SRV4:41234?pkt_size=1316" > /dev/null 2>&1 || true
  capture_stop mpegts
  stop_pid "$sink1"
  stop_pid "$sink2"
  teardown
}
