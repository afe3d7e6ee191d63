# Recipes for the messaging captures of this folder, sourced by ../record.sh
# (which provides setup, start_s, capture_start/capture_stop).
RECIPES+=(messaging/irc messaging/nats_zmq messaging/xmpp)

# ngircd with sic as the client: registration, a join and a message.
record_irc() {
  setup 1500
  printf '[Global]\nName = irc.vesk.test\nListen = %s\nPorts = 6667\n[Options]\nPAM = no\nIdent = no\nDNS = no\n' \
    "$SRV4" > "$WORK/ngircd.conf"
  start_s /usr/sbin/ngircd -n -f "$WORK/ngircd.conf"
  local irc_pid=${PIDS[-1]}
  wait_port t 6667
  capture_start irc
  (sleep 2; echo ":j #vesk"; sleep 1; echo ":m #vesk hello"; sleep 1) | in_c timeout 8 sic -h "$SRV4" -p 6667 -n alice > /dev/null 2>&1 || true
  capture_stop irc
  stop_pid "$irc_pid"
  teardown
}

# nats-server with a python3 socket client (CONNECT, SUB, PUB, PING), and
# python3-zmq REQ/REP.
record_nats_zmq() {
  setup 1500
  start_s nats-server -a "$SRV4" -p 4222
  local nats_pid=${PIDS[-1]}
  cat > "$WORK/rep.py" <<'PY'
import sys, zmq
s = zmq.Context().socket(zmq.REP)
s.bind("tcp://%s:5555" % sys.argv[1])
s.send(s.recv())
PY
  start_s /usr/bin/python3 "$WORK/rep.py" "$SRV4"
  local rep_pid=${PIDS[-1]}
  wait_port t 4222
  wait_port t 5555
  capture_start nats_zmq
  in_c timeout 5 /usr/bin/python3 -c "
import socket, sys
s = socket.create_connection((sys.argv[1], 4222), timeout=5)
s.recv(4096)
s.sendall(b'CONNECT {\"verbose\":false}\r\nSUB vesk 1\r\nPUB vesk 5\r\nhello\r\nPING\r\n')
s.recv(4096); s.close()" "$SRV4" || true
  in_c timeout 5 /usr/bin/python3 -c "
import sys, zmq
s = zmq.Context().socket(zmq.REQ)
s.connect('tcp://%s:5555' % sys.argv[1])
s.send(b'hello'); s.recv()" "$SRV4" || true
  capture_stop nats_zmq
  stop_pid "$rep_pid"
  stop_pid "$nats_pid"
  teardown
}

# prosody with one user and sendxmpp sending a message without TLS.
record_xmpp() {
  setup 1500
  mkdir -p "$WORK/prosody/data"
  chown -R prosody "$WORK/prosody" 2> /dev/null || true
  chmod 755 "$WORK"
  cat > "$WORK/prosody/prosody.cfg.lua" <<CONF
pidfile = "$WORK/prosody/prosody.pid"
data_path = "$WORK/prosody/data"
interfaces = { "$SRV4" }
c2s_ports = { 5222 }
daemonize = false
log = { error = "$WORK/prosody/error.log" }
modules_enabled = { "roster"; "saslauth"; "disco"; "ping" }
authentication = "internal_plain"
c2s_require_encryption = false
allow_unencrypted_plain_auth = true
VirtualHost "vesk.test"
CONF
  prosodyctl --config "$WORK/prosody/prosody.cfg.lua" register alice vesk.test secret > /dev/null 2>&1 || true
  start_s runuser -u prosody -- prosody --config "$WORK/prosody/prosody.cfg.lua"
  local xmpp_pid=${PIDS[-1]}
  wait_port t 5222
  capture_start xmpp
  echo "hello" | in_c timeout 10 sendxmpp -u alice -p secret -j "$SRV4:5222" -o vesk.test -n alice@vesk.test > /dev/null 2>&1 || true
  capture_stop xmpp
  stop_pid "$xmpp_pid"
  teardown
}
