#!/usr/bin/env bash
# A blacklist server that accepts and never answers: vesk with three queues
# starts at once (downloading once for all queues, once more per reload),
# keeps its drop policy in force meanwhile, and stops within a second of
# SIGTERM.
TAG=blstall
. "$(dirname "$0")/e2e_lib.sh"
e2e_require
e2e_setup

cat > "$TMP/stall.py" <<'PYEOF'
import socket, sys, time
s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", 8081)); s.listen(16); s.settimeout(1)
held, deadline = [], time.time() + 120
while time.time() < deadline:
    try:
        c, _ = s.accept()
    except socket.timeout:
        continue
    held.append(c)
    with open(sys.argv[1], "a") as f:
        f.write("connection\n")
PYEOF
e2e_spawn "$NS_S" $PY "$TMP/stall.py" "$TMP/connections"
e2e_wait_port tcp 8081
cat > "$TMP/rules.json" <<'JSON'
{"blacklists": ["http://127.0.0.1:8081/list.txt"]}
{"policy": {"id": 0, "name": "drop", "default_marker": "drop", "markers": {}}}
JSON
connections() { grep -c connection "$TMP/connections" 2>/dev/null || echo 0; }

start=$(date +%s%N)
e2e_start_vesk -q 0:3 -r "$TMP/rules.json"
took=$(( ($(date +%s%N) - start) / 1000000 ))
[ "$took" -lt 6000 ] && ok "start-up took $took ms with a stalled blacklist server" \
  || fail "start-up took $took ms"
grep -q "Blacklist downloads still running" "$LOG" && ok "the log says the blacklists are pending" \
  || fail "no word of the pending blacklists"
more_than() { [ "$(connections)" -gt "$1" ]; }
e2e_wait_until 2 more_than 0 || fail "no blacklist download at start"
# A queue that started a download of its own would connect within a second.
e2e_wait_until 1 more_than 1
[ "$(connections)" -eq 1 ] && ok "one download for three queues" || fail "$(connections) downloads at start"

in_c dig +time=1 +tries=1 @10.77.0.2 x.vesk.test A >/dev/null 2>&1
grep -F "[OXLO OVER]" "$LOG" | grep -q "\[marker: 2\]" && ok "drop policy in force while downloading" \
  || fail "no flow dropped while downloading"

loads=$(grep -c "Loaded rules from" "$LOG")
kill -HUP "$VESK_PID"
e2e_wait_more "$LOG" "Loaded rules from" $((loads + 2)) 5 || fail "the reload did not reach every queue"
e2e_wait_until 3 more_than 1 || fail "no blacklist download for the reload"
e2e_wait_until 1 more_than 2
[ "$(connections)" -eq 2 ] && ok "one more download for the reload" || fail "$(connections) downloads after one reload"

start=$(date +%s%N)
kill -TERM "$VESK_PID"
for _ in $(seq 1 100); do kill -0 "$VESK_PID" 2>/dev/null || break; sleep 0.05; done
took=$(( ($(date +%s%N) - start) / 1000000 ))
if kill -0 "$VESK_PID" 2>/dev/null; then
  fail "vesk still running 5 s after SIGTERM"
else
  wait "$VESK_PID"; rc=$?; VESK_PID=""
  [ "$took" -lt 1000 ] && ok "stopped $took ms after SIGTERM" || fail "stopped only $took ms after SIGTERM"
  [ $rc -eq 0 ] && ok "exit status 0" || fail "exit status $rc"
fi
exit $FAIL
