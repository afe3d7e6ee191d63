#!/usr/bin/env bash
# SIGHUP reloads while connections complete: every request succeeds, vesk
# keeps running, and (with the sanitizer build, when it has been built) no
# memory error is reported from the rules swap.
TAG=reload
. "$(dirname "$0")/e2e_lib.sh"
e2e_require
e2e_setup

ASAN_VESK="${VESK_SOURCE:-.}/build-asan/vesk"
if [ -x "$ASAN_VESK" ]; then
  VESK="$(realpath "$ASAN_VESK")"
  export ASAN_OPTIONS=detect_leaks=1:halt_on_error=1 UBSAN_OPTIONS=print_stacktrace=1
  echo "using the sanitizer build $VESK"
else
  echo "note: no sanitizer build found, running $VESK"
fi

for m in 7 8; do
  cat > "$TMP/rules$m.json" <<JSON
{ "policy": { "id": 0, "name": "mark $m", "default_marker": $m, "markers": { "categories": { }, "protocols": { }}}}
JSON
done
cp "$TMP/rules7.json" "$TMP/rules.json"
# Big enough (well over 33 packets) that every connection completes its
# flow, and so asks the rules, even when nothing classifies it earlier.
head -c 100000 /dev/zero | tr '\0' 'v' > "$TMP/index.txt"
e2e_spawn "$NS_S" /usr/bin/python3 -m http.server 80 --bind :: --directory "$TMP"
e2e_wait_port tcp 80
e2e_start_vesk -r "$TMP/rules.json"

# Traffic: 60 short requests, alternating families.
(
  okc=0
  for i in $(seq 1 60); do
    if [ $((i % 2)) -eq 0 ]; then url="http://10.77.0.2/index.txt"; else url="http://[fd77::2]/index.txt"; fi
    [ "$(in_c curl -s -m 5 -o /dev/null -w '%{size_download}' "$url")" = 100000 ] && okc=$((okc + 1))
  done
  echo "$okc" > "$TMP/traffic.result"
) &
traffic=$!
PIDS+=($traffic)

# Reloads in quick succession, alternating rules files.
for i in $(seq 1 40); do
  if [ $((i % 2)) -eq 0 ]; then cp "$TMP/rules7.json" "$TMP/rules.json"; else cp "$TMP/rules8.json" "$TMP/rules.json"; fi
  kill -HUP "$VESK_PID" 2>/dev/null || break
  sleep 0.05
done
for _ in $(seq 1 300); do kill -0 "$traffic" 2>/dev/null || break; sleep 0.1; done
wait "$traffic" 2>/dev/null

kill -0 "$VESK_PID" 2>/dev/null && ok "vesk survived the reloads" || fail "vesk died: $(tail -20 "$LOG")"
[ "$(cat "$TMP/traffic.result" 2>/dev/null)" = 60 ] && ok "all 60 requests answered" \
  || fail "requests answered: $(cat "$TMP/traffic.result" 2>/dev/null)"
reloads=$(grep -c "SIGHUP received: reloading rules..." "$LOG")
[ "$reloads" -ge 2 ] && ok "$reloads reloads done" || fail "only $reloads reloads"
over=$(grep -c "\[OXLO OVER\].*\[marker: [78]\]$" "$LOG")
[ "$over" -ge 30 ] && ok "$over flows completed with marker 7 or 8 during reloads" \
  || fail "only $over flows completed with a marker of the rules"

e2e_stop_vesk
if grep -Eq "ERROR: (Address|Leak|Thread)Sanitizer|runtime error:" "$LOG"; then
  fail "sanitizer report:"; grep -E -A30 "Sanitizer|runtime error" "$LOG" | head -60
else
  ok "no sanitizer report"
fi
exit $FAIL
