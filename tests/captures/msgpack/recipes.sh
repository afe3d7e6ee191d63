# Recipes for the MessagePack captures of this folder, sourced by
# ../record.sh (which provides setup, start_s, capture_start/capture_stop
# and the rest).
RECIPES+=(msgpack/msgpack)

# nvim --headless --listen on 6666 driven by python3-pynvim: msgpack-rpc
# requests and responses over TCP.
record_msgpack() {
  setup 1500
  start_s env HOME="$WORK" XDG_STATE_HOME="$WORK" nvim --headless --clean --listen "$SRV4:6666"
  local nvim_pid=${PIDS[-1]}
  wait_port t 6666
  capture_start msgpack
  in_c timeout 10 /usr/bin/python3 -c "
import sys, pynvim
n = pynvim.attach('tcp', address=sys.argv[1], port=6666)
n.command('let g:vesk = 42')
n.eval('g:vesk')
n.close()" "$SRV4" || true
  capture_stop msgpack
  stop_pid "$nvim_pid"
  teardown
}
