# Recipes for the media captures of this folder, sourced by ../record.sh
# (which provides setup, start_s, capture_start/capture_stop).
RECIPES+=(media/stun_turn media/rtp media/rtcp)

# coturn's turnserver with long-term credentials (realm example.org):
# turnutils_stunclient sends Binding requests (also to a second server on a
# port of no meaning), turnutils_uclient allocates, binds channels between
# two of its own clients and sends ChannelData through the relay.
record_stun_turn() {
  setup 1500
  start_s turnserver -n --no-cli --no-tls --no-dtls --listening-ip="$SRV4" --relay-ip="$SRV4" \
    --listening-port=3478 --lt-cred-mech --user=vesk:secret --realm=example.org \
    --min-port=49152 --max-port=49200 --pidfile="$WORK/turn1.pid" --log-file=stdout --simple-log
  local turn1=${PIDS[-1]}
  start_s turnserver -n --no-cli --no-tls --no-dtls --listening-ip="$SRV4" --relay-ip="$SRV4" \
    --listening-port=40478 --no-auth --min-port=49300 --max-port=49350 --pidfile="$WORK/turn2.pid" \
    --log-file=stdout --simple-log
  local turn2=${PIDS[-1]}
  wait_port u 3478
  wait_port u 40478
  capture_start stun_turn
  in_c timeout 10 turnutils_stunclient "$SRV4" > /dev/null 2>&1 || true
  in_c timeout 10 turnutils_stunclient -p 40478 "$SRV4" > /dev/null 2>&1 || true
  in_c timeout 20 turnutils_uclient -u vesk -w secret -y -n 5 -m 1 -l 160 "$SRV4" > /dev/null 2>&1 || true
  capture_stop stun_turn
  stop_pid "$turn1"
  stop_pid "$turn2"
  teardown
}

# GStreamer sending RTP: G.711 mu-law audio to port 5004 and again to the
# port of no meaning 41234, JPEG video (packets of at most 800 bytes) to
# port 5006; the server side only listens.
record_rtp() {
  setup 1500
  start_s timeout 15 gst-launch-1.0 -q udpsrc port=5004 ! fakesink
  local sink1=${PIDS[-1]}
  start_s timeout 15 gst-launch-1.0 -q udpsrc port=41234 ! fakesink
  local sink2=${PIDS[-1]}
  start_s timeout 15 gst-launch-1.0 -q udpsrc port=5006 ! fakesink
  local sink3=${PIDS[-1]}
  wait_port u 5004
  wait_port u 41234
  wait_port u 5006
  capture_start rtp
  in_c timeout 10 gst-launch-1.0 -q audiotestsrc num-buffers=25 ! audioconvert ! audioresample ! \
    audio/x-raw,rate=8000,channels=1 ! mulawenc ! rtppcmupay ! udpsink host="$SRV4" port=5004 > /dev/null 2>&1 || true
  in_c timeout 10 gst-launch-1.0 -q videotestsrc num-buffers=5 ! videoconvert ! jpegenc quality=30 ! \
    rtpjpegpay mtu=800 ! udpsink host="$SRV4" port=5006 > /dev/null 2>&1 || true
  in_c timeout 10 gst-launch-1.0 -q audiotestsrc num-buffers=25 ! audioconvert ! audioresample ! \
    audio/x-raw,rate=8000,channels=1 ! mulawenc ! rtppcmupay ! udpsink host="$SRV4" port=41234 > /dev/null 2>&1 || true
  capture_stop rtp
  stop_pid "$sink1"
  stop_pid "$sink2"
  stop_pid "$sink3"
  teardown
}

# GStreamer's rtpbin sending live mu-law audio for about 22 s: RTP to 5004
# and its sender reports (RTCP, about one every 5 s) to 5005.
record_rtcp() {
  setup 1500
  start_s timeout 40 gst-launch-1.0 -q udpsrc port=5004 ! fakesink
  local sink1=${PIDS[-1]}
  start_s timeout 40 gst-launch-1.0 -q udpsrc port=5005 ! fakesink
  local sink2=${PIDS[-1]}
  wait_port u 5004
  wait_port u 5005
  capture_start rtcp
  in_c timeout 30 gst-launch-1.0 -q rtpbin name=rtpbin audiotestsrc is-live=true num-buffers=170 ! audioconvert ! \
    audioresample ! audio/x-raw,rate=8000,channels=1 ! mulawenc ! rtppcmupay ! rtpbin.send_rtp_sink_0 \
    rtpbin.send_rtp_src_0 ! udpsink host="$SRV4" port=5004 \
    rtpbin.send_rtcp_src_0 ! udpsink host="$SRV4" port=5005 sync=false async=false > /dev/null 2>&1 || true
  capture_stop rtcp
  stop_pid "$sink1"
  stop_pid "$sink2"
  teardown
}
