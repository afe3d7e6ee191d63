#!/usr/bin/env bash
# A host-name drop rule holds when the client takes the engine past one of
# its bounds (evasion_bounds_client.py lists them): headers or a hello too
# long to keep, too many segments held ahead of a gap, too many duplicates,
# a gap held open too long, a flow table full of connections in progress.
# Past a bound the name cannot be read as the server reads it, so the flow
# gets the strictest verdict its policy could give: drop under this policy
# (it drops a host name), for the allowed name too. Just below each bound
# the name is read: the allowed name is answered, the blocked one dropped.
TAG=evbound
. "$(dirname "$0")/e2e_lib.sh"
e2e_require
CLIENT_PY="$(realpath "$(dirname "$0")")/evasion_bounds_client.py"
e2e_setup

e2e_evasion_setup bounds

# One s_server per TLS case: it serves one connection at a time.
TLS=10.77.0.100,10.77.0.101,10.77.0.102,10.77.0.103
for address in ${TLS//,/ }; do
  in_s ip addr add "$address/24" dev eth0
  e2e_spawn "$NS_S" openssl s_server -quiet -accept "$address:443" \
    -cert "$TMP/cert.pem" -key "$TMP/key.pem" -www
done
e2e_spawn "$NS_S" /usr/bin/python3 -m http.server 80 --bind 10.77.0.2 --directory "$TMP"
e2e_spawn "$NS_S" /usr/bin/python3 -m http.server 80 --bind fd77::2 --directory "$TMP"
http_listening() { [ "$(in_s ss -Hltn "sport = :80" | wc -l)" -ge 2 ]; }
e2e_wait_until 10 http_listening || fail "not both HTTP servers listen"
listening() { [ "$(in_s ss -Hltn "sport = :443" | wc -l)" -ge 4 ]; }
e2e_wait_until 10 listening || fail "not every s_server listens"

results() {  # name: the client's lines, and whether each case went as it should
  cat "$TMP/$1"
  grep -q "^ok: " "$TMP/$1" || fail "$1: no case ran"
}

# A blocked or past-the-bound case without an answer was dropped by vesk
# (a flow line with marker 2), not lost on the way.
dropped_line() { grep -E "(10\.77\.0\.1|fd77::1):$1 " "$LOG" | grep -F "[OXLO OVER]" | grep -q "\[marker: 2\]$"; }
check_drops() {  # results file
  while read -r port; do
    e2e_wait_until 5 dropped_line "$port" \
      || fail "client port $port: no answer, but no flow line with marker 2"
  done < <(sed -n 's/^ok: .* (port \([0-9]*\)): no answer$/\1/p' "$TMP/$1")
}

# Statistics events to a collector (they need the kernel's accounting).
in_s sysctl -qw net.netfilter.nf_conntrack_acct=1
e2e_start_collector events 200
e2e_start_vesk -r "$TMP/rules.json" -z "$EP" -j
in_c timeout 120 $PY "$CLIENT_PY" bounds 10.77.0.2 "$TLS" fd77::2 > "$TMP/bounds" 2>&1 || FAIL=1
results bounds
check_drops bounds
# The statistics event counts the exception verdict per cause.
exception_counts() {
  $PY - "$OUT" <<'PY2'
import json, sys
for line in open(sys.argv[1]):
    try:
        m = json.loads(line)
    except ValueError:
        continue
    d = m.get("json", {}).get("drops") if m.get("topic") == "event" else None
    if d and d.get("stream_unread", 0) > 0 and isinstance(d.get("no_memory"), int) \
            and isinstance(d.get("too_many_flows"), int):
        sys.exit(0)
sys.exit(1)
PY2
}
e2e_wait_until 15 exception_counts && ok "statistics event: the exception verdict counted per cause" \
  || fail "no statistics event counting stream_unread, no_memory and too_many_flows"
grep -q "Flow decided before its stream could all be read" "$LOG" \
  && ok "the exception verdict for a stream not all read is logged" \
  || fail "no log line for the exception verdict of a stream not all read"
# EVASION_LOG=FILE keeps vesk's -v log of the bound cases for a closer look.
[ -n "${EVASION_LOG:-}" ] && cp "$LOG" "$EVASION_LOG"
e2e_stop_vesk

# The flow table full of connections in progress (the request cut short:
# the engine waits for the rest). Below the limit the names are read; at it
# a new connection cannot be tracked and gets the exception verdict (its
# SYN is dropped: no answer, and no flow line). The run below the limit
# goes first: the connections a run leaves closing would fill the next
# run's table before its own.
e2e_start_vesk -r "$TMP/rules.json" -F 50
in_c timeout 60 $PY "$CLIENT_PY" table 10.77.0.2 40 1 > "$TMP/room" 2>&1 || FAIL=1
results room
check_drops room
e2e_stop_vesk
e2e_start_vesk -r "$TMP/rules.json" -F 50
in_c timeout 60 $PY "$CLIENT_PY" table 10.77.0.2 60 0 > "$TMP/full" 2>&1 || FAIL=1
results full
grep -q "Flow table full, no flow idle: .*\[marker: 2\]" "$LOG" \
  && ok "a full table gives new flows the exception verdict (drop), logged" \
  || fail "no log line for the full table's exception verdict"
e2e_stop_vesk
exit $FAIL
