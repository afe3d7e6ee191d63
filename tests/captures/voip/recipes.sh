# Recipes for the VoIP captures of this folder, sourced by ../record.sh
# (which provides setup, start_s, capture_start/capture_stop).
RECIPES+=(voip/megaco)

# Megaco on Erlang/OTP's megaco application (Debian erlang-megaco and
# erlang-dev for its headers), driven by megaco_peer.escript: a media
# gateway registers with a ServiceChange (Restart, cold boot) and the
# controller replies. Once in the long text encoding on port 2944, once in
# the compact one with the controller on the port of no meaning 40944.
record_megaco() {
  setup 1500
  local peer="$HERE/voip/megaco_peer.escript"
  start_s timeout 30 escript "$peer" mgc "$SRV4" 2944 pretty 25
  local mgc1=${PIDS[-1]}
  start_s timeout 30 escript "$peer" mgc "$SRV4" 40944 compact 25
  local mgc2=${PIDS[-1]}
  wait_port u 2944
  wait_port u 40944
  capture_start megaco
  in_c timeout 15 escript "$peer" mg "$CLI4" 2945 "$SRV4" 2944 pretty > /dev/null 2>&1 || true
  in_c timeout 15 escript "$peer" mg "$CLI4" 40945 "$SRV4" 40944 compact > /dev/null 2>&1 || true
  capture_stop megaco
  stop_pid "$mgc1"
  stop_pid "$mgc2"
  teardown
}
