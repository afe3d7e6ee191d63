# Recipes for the game captures of this folder, sourced by ../record.sh
# (which provides setup, start_s, capture_start/capture_stop).
RECIPES+=(games/kcp)

# kcptun server and client with plain KCP (no cipher, no erasure coding, no
# compression) carrying one TCP exchange to a python3 echo server.
record_kcp() {
  setup 1500
  start_s /usr/bin/python3 -c "
import socket
s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(('127.0.0.1', 12948)); s.listen(1)
c, _ = s.accept(); c.sendall(c.recv(4096)); c.close()"
  local echo_pid=${PIDS[-1]}
  start_s kcptun-server -l "$SRV4:29900" -t 127.0.0.1:12948 --crypt none --datashard 0 --parityshard 0 --nocomp
  local srv_pid=${PIDS[-1]}
  wait_port u 29900
  in_c kcptun-client -r "$SRV4:29900" -l 127.0.0.1:12000 --crypt none --datashard 0 --parityshard 0 --nocomp \
    > "$WORK/client.log" 2>&1 &
  local cli_pid=$!
  PIDS+=($cli_pid)
  local i
  for i in $(seq 1 50); do
    in_c ss -H -ltn "sport = :12000" | grep -q . && break
    sleep 0.1
  done
  capture_start kcp
  in_c timeout 5 /usr/bin/python3 -c "
import socket
s = socket.create_connection(('127.0.0.1', 12000), timeout=5)
s.sendall(b'hello over kcp'); print(s.recv(4096)); s.close()" || true
  sleep 1
  capture_stop kcp
  stop_pid "$cli_pid"
  stop_pid "$srv_pid"
  stop_pid "$echo_pid"
  teardown
}
