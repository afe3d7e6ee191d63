#!/usr/bin/env bash
# SIGHUP during a long TCP connection, with rules that name engine data: the
# flow is not restarted (one "[CREATE FLOW]" for it), whether the engine data
# is unchanged (no new module) or changed (a new module for new flows).
TAG=rlflow
. "$(dirname "$0")/e2e_lib.sh"
e2e_require
e2e_setup

echo "tcp:7777@LongProto" > "$TMP/protos.txt"
printf '10.99.0.0/24\t14\n' > "$TMP/cats.txt"
rules() {  # marker
  cat > "$TMP/rules.json" <<JSON
{"custom_protocols": "$TMP/protos.txt"}
{"category_file": "$TMP/cats.txt"}
{"policy": {"id": 0, "name": "p", "default_marker": $1, "markers": {}}}
JSON
}
rules 5

# A sink on port 9000 and a client that sends one byte every 0.3 s (few
# enough packets that the flow never completes by itself).
cat > "$TMP/sink.py" <<'PYEOF'
import socket, sys
s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("10.77.0.2", 9000)); s.listen(1); s.settimeout(30)
c, _ = s.accept(); c.settimeout(30)
while c.recv(100): pass
PYEOF
cat > "$TMP/client.py" <<'PYEOF'
import os, socket, sys, time
c = socket.create_connection(("10.77.0.2", 9000), timeout=10)
c.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
# Sends until told to stop (bounded), so the connection lives across both
# reloads however long they take.
for i in range(300):
    c.send(b"x"); time.sleep(0.3)
    if i == 2: open(sys.argv[1], "w").write("ready")
    if i > 2 and os.path.exists(sys.argv[2]): break
c.close()
PYEOF
e2e_spawn "$NS_S" $PY "$TMP/sink.py"
e2e_wait_port tcp 9000
e2e_start_vesk -r "$TMP/rules.json"
builds=$(grep -c "Loaded custom protocols" "$LOG")

in_c $PY "$TMP/client.py" "$TMP/ready" "$TMP/stop" &
client=$!
PIDS+=($client)
e2e_wait_for "$TMP/ready" ready 10 || fail "client did not start"
loads=$(grep -c "Loaded rules from" "$LOG")
kill -HUP "$VESK_PID"                    # same engine data
e2e_wait_more "$LOG" "Loaded rules from" "$loads" 30
echo "tcp:7778@LongProto" > "$TMP/protos.txt"
kill -HUP "$VESK_PID"                    # changed engine data
e2e_wait_more "$LOG" "Loaded rules from" $((loads + 1)) 30
touch "$TMP/stop"
wait "$client" || fail "client connection failed"

[ "$(grep -c "Loaded rules from" "$LOG")" -ge $((loads + 2)) ] && ok "two reloads done" || fail "reloads not done"
rebuilt=$(( $(grep -c "Loaded custom protocols" "$LOG") - builds ))
[ "$rebuilt" -eq 1 ] && ok "module rebuilt only for the changed engine data" \
  || fail "module built $rebuilt times for one change"
created=$(grep -F "[CREATE FLOW]" "$LOG" | grep -c ":9000\]")
[ "$created" -eq 1 ] && ok "the connection kept its flow across both reloads" \
  || fail "the connection's flow was created $created times"

e2e_stop_vesk
exit $FAIL
