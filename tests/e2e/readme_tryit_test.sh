#!/usr/bin/env bash
# The README's "Try it" walk-through runs as written: its commands are taken
# from the README itself, with only the namespace names, the rules file and
# the served directory made this run's own (tests run side by side) and the
# binaries of this build. A new user's terminal sees vesk start before the
# curl lines are typed; here the script waits for vesk's "Running" line and
# the server's socket instead. The plain request is answered (200), the one
# for the blocked name dropped (000), and the last line leaves nothing behind.
TAG=tryit
. "$(dirname "$0")/e2e_lib.sh"
e2e_require

C="vesk-try-c-$$"; S="vesk-try-s-$$"
block=$(sed -n '/^### Try it/,/^`--queue-bypass`/p' "$SRC/README.md" | sed -n 's/^    //p')
[ -n "$block" ] || { echo "FAIL: no Try it commands in the README"; exit 1; }
echo "$block" | grep -q '^ip netns add try-c' || { echo "FAIL: the commands no longer start with the namespaces"; exit 1; }

# Everything the walk-through makes is removed also when this test fails.
tryit_cleanup() {
  ip netns pids "$S" 2>/dev/null | xargs -r kill -KILL 2>/dev/null
  ip netns del "$C" 2>/dev/null
  ip netns del "$S" 2>/dev/null
  e2e_cleanup
}
trap tryit_cleanup EXIT

mkdir -p "$TMP/www"
echo "$block" | sed -e "s/try-c/$C/g" -e "s/try-s/$S/g" \
  -e "s|/tmp/try-rules.json|$TMP/try-rules.json|g" -e "s|--directory /tmp|--directory $TMP/www|" \
  -e "s|\./build/vesk|$VESK|" -e "s|python3 |$PY |" \
  -e "s|\(-r $TMP/try-rules.json\) &|\1 > $TMP/vesk.out 2>\&1 \&|" > "$TMP/steps.sh"
# Before the first curl: wait as a user would until vesk runs and the server listens.
awk -v tmp="$TMP" -v s="$S" '
  /curl/ && !waited {
    print "for _ in $(seq 1 150); do grep -q \"Running \\[UUID\" " tmp "/vesk.out && ip netns exec " s " ss -Hltn \"sport = :80\" | grep -q . && break; sleep 0.1; done"
    waited = 1
  }
  { print }' "$TMP/steps.sh" > "$TMP/run.sh"

out=$(timeout 120 bash "$TMP/run.sh" 2> "$TMP/run.err")
echo "$out"
codes=$(echo "$out" | grep -E '^[0-9]{3}$' | tr '\n' ' ')
[ "$codes" = "200 000 " ] && ok "plain request answered, blocked name dropped" \
  || { fail "curl codes [$codes], expected [200 000 ]"; cat "$TMP/run.err" "$TMP/vesk.out"; }
grep -q "Loaded rules from $TMP/try-rules.json" "$TMP/vesk.out" && ok "vesk names the rules file it loaded" \
  || fail "no 'Loaded rules from' line for the walk-through's file"
ip netns list | grep -qE "^($C|$S)( |$)" && fail "the last line left a namespace" || ok "the last line removes the namespaces"
[ -e "$TMP/try-rules.json" ] && fail "the last line left the rules file" || ok "the last line removes the rules file"
exit $FAIL
