# Recipes for the RTSP and MPEG-DASH captures of this folder, sourced by
# ../record.sh (which provides setup, start_s, capture_start/capture_stop).
RECIPES+=(rtsp/rtsp rtsp/rtsp_http rtsp/mpegdash)

# ffmpeg's RTSP server (the demuxer listening for a client that records)
# and ffmpeg's RTSP client publishing two seconds of a test picture over
# TCP-interleaved RTP, on the port of no meaning 8554 and on 554.
record_rtsp() {
  setup 1500
  local port
  capture_start rtsp
  for port in 8554 554; do
    start_s timeout 20 ffmpeg -nostdin -loglevel error -rtsp_flags listen -timeout 15 \
      -i "rtsp://$SRV4:$port/x" -t 2 -f null -
    local srv=${PIDS[-1]}
    wait_port t "$port"
    in_c timeout 15 ffmpeg -nostdin -loglevel error -re -f lavfi -i testsrc=size=160x120:rate=10 -t 2 \
      -c:v mpeg4 -rtsp_transport tcp -f rtsp "rtsp://$SRV4:$port/x" > /dev/null 2>&1 || true
    stop_pid "$srv"
  done
  capture_stop rtsp
  teardown
}

# ffmpeg's RTSP client tunnelling through HTTP (-rtsp_transport http): its
# GET asks for application/x-rtsp-tunnelled; python3's http.server, which
# knows nothing of RTSP, answers 404 and the client gives up.
record_rtsp_http() {
  setup 1500
  mkdir -p "$WORK/www"
  chmod -R a+rX "$WORK"
  start_s /usr/bin/python3 -m http.server 8000 --bind "$SRV4" --directory "$WORK/www"
  local web=${PIDS[-1]}
  wait_port t 8000
  capture_start rtsp_http
  in_c timeout 10 ffmpeg -nostdin -loglevel quiet -rtsp_transport http -i "rtsp://$SRV4:8000/x" -t 1 \
    -f null - > /dev/null 2>&1 || true
  capture_stop rtsp_http
  stop_pid "$web"
  teardown
}

# python3's http.server serving an MP4 segment, an MP4 movie and a page;
# curl fetches each on its own connection.
record_mpegdash() {
  setup 1500
  mkdir -p "$WORK/www"
  head -c 2000 /dev/zero > "$WORK/www/seg.m4s"
  head -c 2000 /dev/zero > "$WORK/www/movie.mp4"
  echo "<html>vesk</html>" > "$WORK/www/index.html"
  chmod -R a+rX "$WORK"
  start_s /usr/bin/python3 -m http.server 8000 --bind "$SRV4" --directory "$WORK/www"
  local web=${PIDS[-1]}
  wait_port t 8000
  capture_start mpegdash
  in_c curl -s -m 10 "http://$SRV4:8000/seg.m4s" -o /dev/null || true
  in_c curl -s -m 10 "http://$SRV4:8000/movie.mp4" -o /dev/null || true
  in_c curl -s -m 10 "http://$SRV4:8000/index.html" -o /dev/null || true
  capture_stop mpegdash
  stop_pid "$web"
  teardown
}
