#!/usr/bin/env bash
# A rules path that is not a plain file of at most 4 MiB (a device that
# never ends, a fifo without writer, a directory, a socket, a file one byte
# too large) neither wedges nor bloats vesk:
#  - at start-up each ends vesk with status 1 before the machine is changed
#    (the namespace's conntrack settings and nfacct objects stay as they
#    were), and so does a collector key that cannot be used;
#  - at a reload each is refused, the rules in force stay, and a later good
#    reload is taken; a pushed policy of 1 MiB is taken too.
TAG=rulespath
. "$(dirname "$0")/e2e_lib.sh"
e2e_require
e2e_setup

# The bad paths. The socket keeps its inode after its owner exits.
mkfifo "$TMP/fifo"
mkdir "$TMP/dir"
$PY -c 'import socket,sys; socket.socket(socket.AF_UNIX).bind(sys.argv[1])' "$TMP/sock"
{ echo '{ "policy": { "id": 0, "name": "big", "default_marker": "pass", "markers": { }}}'
  head -c $((4 * 1024 * 1024)) /dev/zero | tr '\0' '#'; } > "$TMP/big.json"
[ "$(stat -c %s "$TMP/big.json")" -gt $((4 * 1024 * 1024)) ] || fail "big file not over 4 MiB"
BAD=(/dev/zero "$TMP/fifo" "$TMP/dir" "$TMP/sock" "$TMP/big.json")

for m in 7 8; do
  echo "{ \"policy\": { \"id\": 0, \"name\": \"mark $m\", \"default_marker\": $m, \"markers\": { }}}" > "$TMP/rules$m.json"
done

# What vesk would change on the machine, as seen from its namespace.
state() {
  for f in nf_conntrack_acct nf_conntrack_timestamp; do
    echo "$f=$(in_s cat /proc/sys/net/netfilter/$f 2>/dev/null)"
  done
  in_s nfacct list 2>/dev/null | sort
}
HAVE_NFACCT=0
command -v nfacct > /dev/null && HAVE_NFACCT=1
in_s modprobe nf_conntrack 2>/dev/null
in_s sh -c 'echo 0 > /proc/sys/net/netfilter/nf_conntrack_acct; echo 0 > /proc/sys/net/netfilter/nf_conntrack_timestamp' 2>/dev/null
[ $HAVE_NFACCT -eq 1 ] && in_s nfacct add keep-me
[ $HAVE_NFACCT -eq 1 ] || echo "note: nfacct not installed, only the sysctls are compared"
before=$(state)

# 1. Start-up: exit 1, nothing changed, for each bad path and a bad key.
startup_refused() {  # what, vesk arguments...
  local what=$1; shift
  in_s timeout -s KILL 20 "$VESK" -q 0 "$@" > "$TMP/start.log" 2>&1; local rc=$?
  [ $rc -eq 1 ] && ok "start-up with $what: exit 1" \
    || { fail "start-up with $what: exit $rc"; tail -5 "$TMP/start.log"; }
  [ "$(state)" = "$before" ] && ok "start-up with $what: machine unchanged" \
    || fail "start-up with $what changed the machine: $(state | tr '\n' ' ')"
  grep -q "Executed:\|Failed command" "$TMP/start.log" && fail "start-up with $what ran the conntrack commands"
}
for p in "${BAD[@]}"; do startup_refused "$p" -r "$p"; done
startup_refused "a missing rules file" -r "$TMP/missing.json"
# 41 characters, not hex: no CURVE key; the exporter cannot be set up.
startup_refused "a bad -y key" -r "$TMP/rules7.json" -z tcp://127.0.0.1:5599 \
  -y 0123456789012345678901234567890123456789x
startup_refused "a bad -z endpoint" -r "$TMP/rules7.json" -z "no-such-transport://x"

# 2. Reloads through a link that is pointed at each bad path in turn.
e2e_count_mark 7
e2e_count_mark 8
head -c 20000 /dev/zero | tr '\0' 'v' > "$TMP/index.txt"
e2e_spawn "$NS_S" /usr/bin/python3 -m http.server 80 --bind 0.0.0.0 --directory "$TMP"
e2e_wait_port tcp 80
ln -sfn "$TMP/rules7.json" "$TMP/rules.json"
EP="tcp://127.0.0.1:5557"
e2e_start_vesk -r "$TMP/rules.json" -p "$EP"
request() { in_c curl -s -m 5 -o /dev/null -w '%{size_download}' http://10.77.0.2/index.txt; }
for p in "${BAD[@]}"; do
  ln -sfn "$p" "$TMP/rules.json"
  refused=$(grep -c "refused" "$LOG")
  kill -HUP "$VESK_PID"
  e2e_wait_more "$LOG" "refused" "$refused" 10 && ok "reload from $p refused" || fail "reload from $p not refused"
done
kill -0 "$VESK_PID" 2>/dev/null && ok "vesk still running" || fail "vesk died"
rss=$(awk '/^VmRSS/ {print $2}' "/proc/$VESK_PID/status" 2>/dev/null)
[ -n "$rss" ] && [ "$rss" -lt 500000 ] && ok "memory bounded (${rss} kB)" || fail "memory ${rss:-?} kB"
m7=$(e2e_marked_packets 7)
[ "$(request)" = 20000 ] || fail "request under the rules in force"
[ "$(e2e_marked_packets 7)" -gt "$m7" ] && ok "the rules in force still apply (mark 7)" || fail "mark 7 not applied"

loads=$(grep -c "Loaded rules from $TMP/rules.json" "$LOG")
ln -sfn "$TMP/rules8.json" "$TMP/rules.json"
kill -HUP "$VESK_PID"
e2e_wait_more "$LOG" "Loaded rules from $TMP/rules.json" "$loads" 10 && ok "a later good reload is taken" \
  || fail "the good reload was not taken"
m8=$(e2e_marked_packets 8)
[ "$(request)" = 20000 ] || fail "request under the new rules"
[ "$(e2e_marked_packets 8)" -gt "$m8" ] && ok "the new rules apply (mark 8)" || fail "mark 8 not applied"

# 3. A pushed policy of 1 MiB (comment lines fill it) is taken.
{ cat "$TMP/rules7.json"; for _ in $(seq 1 1100); do printf '#%01000d\n' 0; done; } > "$TMP/push.json"
[ "$(stat -c %s "$TMP/push.json")" -gt $((1024 * 1024)) ] || fail "push not over 1 MiB"
pushes=$(grep -c "Loaded rules from /tmp/vesk-" "$LOG")
in_s timeout 20 $PY "$COLLECTOR" publish "$EP" ips "$TMP/push.json" --seconds 15 || fail "push not sent"
e2e_wait_more "$LOG" "Loaded rules from /tmp/vesk-" "$pushes" 10 && ok "a 1 MiB push is taken" \
  || { fail "the 1 MiB push was not taken"; grep "ZMQ" "$LOG" | tail -3; }

e2e_stop_vesk
exit $FAIL
