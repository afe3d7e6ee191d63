#!/usr/bin/env bash
# A drop policy in force stays in force through every damaged reload or
# push: SIGHUP with an empty, binary, invalid-only or default-less rules
# file, and pushes of "{}", binary junk and an oversize message. A backlog
# of 20 junk pushes followed by a good one gets the good one applied at once.
TAG=failopen
. "$(dirname "$0")/e2e_lib.sh"
e2e_require
e2e_setup

cat > "$TMP/drop.json" <<'JSON'
{ "policy": { "id": 0, "name": "drop", "default_marker": "drop", "markers": { }}}
JSON
cat > "$TMP/pass.json" <<'JSON'
{ "policy": { "id": 0, "name": "pass", "default_marker": "pass", "markers": { }}}
JSON
cp "$TMP/drop.json" "$TMP/rules.json"
e2e_spawn "$NS_S" dnsmasq --keep-in-foreground --no-resolv --no-hosts --port=53 \
  --listen-address=10.77.0.2 --bind-interfaces --address=/vesk.test/10.77.0.9 \
  --pid-file="$TMP/dnsmasq.pid" --user=root
e2e_wait_port udp 53

answers() {  # n prefix: answers to n queries, each a new flow
  local got=0 a
  for i in $(seq 1 "$1"); do
    a=$(in_c dig +short +time=1 +tries=1 @10.77.0.2 "$2$i.vesk.test" A)
    [ "$a" = "10.77.0.9" ] && got=$((got + 1))
  done
  echo "$got"
}
refusals() { grep -c "refused (" "$LOG"; }
loaded() { grep -c "Loaded rules from" "$LOG"; }
# The log lines that end the handling of a push, whatever became of it.
HANDLED='refused (\|Invalid rules received\|Uncompress error\|Connection to .* lost\|RECV error\|Message truncated\|Loaded rules from'

EP="ipc://$TMP/policy.sock"
e2e_start_vesk -r "$TMP/rules.json" -p "$EP"
[ "$(answers 3 a)" -eq 0 ] && ok "drop policy in force" || fail "drop policy not in force"

# Damaged rules files on SIGHUP.
: > "$TMP/empty"
head -c 4096 /dev/urandom > "$TMP/binary"
printf '{}\nnot json\n{"policy": 1}\n' > "$TMP/invalid"
echo '{ "policy": { "id": 1, "name": "p", "default_marker": "pass", "markers": { }}}' > "$TMP/nodefault"
for f in empty binary invalid nodefault; do
  before=$(refusals); loads=$(loaded)
  cp "$TMP/$f" "$TMP/rules.json"
  kill -HUP "$VESK_PID"
  for _ in $(seq 1 50); do [ "$(refusals)" -gt "$before" ] && break; sleep 0.1; done
  [ "$(refusals)" -gt "$before" ] && ok "$f rules file refused" || fail "$f rules file not refused"
  [ "$(loaded)" -eq "$loads" ] || fail "$f rules file logged as loaded"
  [ "$(answers 2 "h$f")" -eq 0 ] && ok "$f rules file: still dropped" || fail "$f rules file opened the firewall"
done
cp "$TMP/drop.json" "$TMP/rules.json"

# Damaged pushes.
push() {  # files...
  in_s timeout 20 $PY "$COLLECTOR" publish "$EP" ips "$@" --seconds 15 || fail "push of $*"
}
echo '{}' > "$TMP/braces"
head -c 3000000 /dev/urandom > "$TMP/oversize"
for f in braces binary oversize; do
  loads=$(loaded); handled=$(grep -c "$HANDLED" "$LOG")
  push "$TMP/$f"
  e2e_wait_more "$LOG" "$HANDLED" "$handled" 10 || fail "$f push: no word of it in the log"
  [ "$(loaded)" -eq "$loads" ] || fail "$f push logged as loaded"
  [ "$(answers 2 "p$f")" -eq 0 ] && ok "$f push: still dropped" || fail "$f push opened the firewall"
done
grep -q "Connection to .* lost" "$LOG" && ok "oversize push cut off and reconnected" \
  || fail "no reconnection after the oversize push"

# A backlog of 20 junk pushes, then a good one: applied within a second.
files=()
for _ in $(seq 1 20); do files+=("$TMP/binary"); done
loads=$(loaded)
push "${files[@]}" "$TMP/pass.json" &
pusher=$!
PIDS+=($pusher)
# The publisher ends 0.5 s after its last send: with at most 0.5 s more,
# the good push must be in force within a second of being sent.
wait "$pusher"
for _ in $(seq 1 5); do [ "$(loaded)" -gt "$loads" ] && break; sleep 0.1; done
[ "$(loaded)" -gt "$loads" ] && ok "good push after a backlog of 20 applied" || fail "good push not applied"
[ "$(grep -c "Loaded rules from" "$LOG")" -eq $((loads + 1)) ] && ok "the backlog cost one load" \
  || fail "loads after the backlog: $(( $(loaded) - loads ))"
[ "$(answers 3 z)" -eq 3 ] && ok "pass policy from the push in force" || fail "pass push not in force"

e2e_stop_vesk
exit $FAIL
