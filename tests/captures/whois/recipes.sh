# Recipes for the Whois captures of this folder, sourced by ../record.sh
# (which provides setup, start_s, capture_start/capture_stop and the rest).
RECIPES+=(whois/whois)

# The whois client against a small python3 listener on 43 and on 4321 that
# answers one line per connection; the query for a text with a space is no
# domain name.
record_whois() {
  setup 1500
  cat > "$WORK/whois_server.py" <<'PY'
import socket, sys, threading

def serve(port):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind((sys.argv[1], port))
    s.listen(4)
    while True:
        c, _ = s.accept()
        c.recv(512)
        c.sendall(b"% vesk test whois\r\nDomain Name: EXAMPLE.COM\r\n")
        c.close()

for port in (43, 4321):
    threading.Thread(target=serve, args=(port,), daemon=True).start()
threading.Event().wait(30)
PY
  start_s /usr/bin/python3 "$WORK/whois_server.py" "$SRV4"
  local w_pid=${PIDS[-1]}
  wait_port t 43
  wait_port t 4321
  capture_start whois
  in_c timeout 5 whois -h "$SRV4" example.com > /dev/null || true
  in_c timeout 5 whois -h "$SRV4" -p 4321 vesk.test > /dev/null || true
  in_c timeout 5 whois -h "$SRV4" 'a b' > /dev/null || true
  capture_stop whois
  stop_pid "$w_pid"
  teardown
}
