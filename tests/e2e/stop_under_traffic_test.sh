#!/usr/bin/env bash
# vesk is started and stopped (SIGTERM) many times while TCP traffic fills
# the streams it reassembles (gaps held open, segments out of order, so the
# stream budget is reached): every stop ends with status 0, never a crash,
# and (with the sanitizer build, when it has been built) without a report.
TAG=stoploop
. "$(dirname "$0")/e2e_lib.sh"
e2e_require
e2e_setup

ASAN_VESK="${VESK_SOURCE:-.}/build-asan/vesk"
if [ -n "${VESK_STOP_VESK:-}" ]; then
  # Another build of vesk (make test-tsan: ThreadSanitizer); a report fails.
  VESK="$(realpath "$VESK_STOP_VESK")"
  export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"
  echo "using $VESK"
elif [ -x "$ASAN_VESK" ]; then
  VESK="$(realpath "$ASAN_VESK")"
  export ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  echo "using the sanitizer build $VESK"
else
  echo "note: no sanitizer build found, running $VESK"
fi
ROUNDS="${VESK_STOP_ROUNDS:-25}"

e2e_spawn "$NS_S" /usr/bin/python3 -m http.server 80 --bind 0.0.0.0 --directory "$TMP"
e2e_wait_port tcp 80
head -c 200000 /dev/zero | tr '\0' 'x' > "$TMP/index.txt"
# Traffic for the whole test: plain requests, and streams of segments
# sent out of order with gaps (scapy, raw), which the engine holds.
cat > "$TMP/gaps.py" <<'PY'
import sys, time, random
from scapy.all import IP, TCP, Raw, send, conf
conf.verb = 0
end = time.monotonic() + float(sys.argv[1])
port = 20000
while time.monotonic() < end:
    port = 20000 + (port - 19999) % 20000
    seq = random.randrange(1 << 31)
    pkts = [IP(dst="10.77.0.2") / TCP(sport=port, dport=80, flags="S", seq=seq)]
    for i in range(40, 0, -1):  # ahead of a gap at the start: held
        pkts.append(IP(dst="10.77.0.2") / TCP(sport=port, dport=80, flags="A", seq=seq + 1 + 1000 * i, ack=1) / Raw(b"G" * 1000))
    send(pkts)
PY
in_c $PY "$TMP/gaps.py" 600 > /dev/null 2>&1 &
GAPS=$!
PIDS+=($GAPS)
( end=$((SECONDS + 600)); while [ $SECONDS -lt $end ]; do in_c curl -s -m 2 -o /dev/null http://10.77.0.2/index.txt; done ) &
PIDS+=($!)

crashes=0
for round in $(seq 1 "$ROUNDS"); do
  LOG="$TMP/vesk.$round.log"
  ip netns exec "$NS_S" "$VESK" -q 0 -s -v > "$LOG" 2>&1 &
  VESK_PID=$!
  e2e_wait_for "$LOG" "Running \[UUID:" 30 || { fail "round $round: vesk did not start"; tail -5 "$LOG"; break; }
  # Let it take packets for a moment (bounded, on the log).
  e2e_wait_more "$LOG" "CREATE FLOW" 3 5
  kill -TERM "$VESK_PID"
  for _ in $(seq 1 200); do kill -0 "$VESK_PID" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$VESK_PID" 2>/dev/null; then fail "round $round: still running 20 s after SIGTERM"; break; fi
  wait "$VESK_PID"; rc=$?
  VESK_PID=""
  if [ $rc -ne 0 ] || grep -q "ERROR: AddressSanitizer\|runtime error:\|ThreadSanitizer" "$LOG"; then
    crashes=$((crashes + 1))
    fail "round $round: exit status $rc"
    grep -A25 "Sanitizer\|runtime error" "$LOG" | head -40
    break
  fi
done
[ $crashes -eq 0 ] && ok "$ROUNDS start-stop rounds under traffic without a crash"
exit $FAIL
