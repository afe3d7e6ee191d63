#!/usr/bin/env bash
# Protocol markers end to end: the client's pool is bound to a policy that
# drops DNS and marks HTTP with 42. dig through the queue gets no answer,
# curl works and its packets carry mark 42. A SIGHUP whose rules file is
# missing keeps that policy; a SIGHUP with a policy that passes DNS lets
# dig through again.
TAG=polproto
. "$(dirname "$0")/e2e_lib.sh"
e2e_require
e2e_setup

RULES="$TMP/rules.json"
cat > "$TMP/strict.json" <<'JSON'
# clients of the test bound to policy 1
{"pool":{"id":1,"name":"clients","ip":["10.77.0.1/32","fd77::1"],"mac":[]},"policy":{"id":1}}
{"policy":{"id":0,"name":"default","default_marker":"pass","markers":{}}}
{"policy":{"id":1,"name":"strict","default_marker":"pass","markers":{"protocols":{"DNS":"drop","HTTP":42}}}}
JSON
cat > "$TMP/open.json" <<'JSON'
{"pool":{"id":1,"name":"clients","ip":["10.77.0.1/32","fd77::1"],"mac":[]},"policy":{"id":1}}
{"policy":{"id":0,"name":"default","default_marker":"pass","markers":{}}}
{"policy":{"id":1,"name":"open","default_marker":"pass","markers":{"protocols":{"HTTP":43}}}}
JSON
cp "$TMP/strict.json" "$RULES"
echo hello > "$TMP/index.txt"
e2e_count_mark 42
e2e_count_mark 43
e2e_spawn "$NS_S" dnsmasq --keep-in-foreground --no-resolv --no-hosts --port=53 \
  --listen-address=10.77.0.2,fd77::2 --bind-interfaces --address=/vesk.test/10.77.0.9 \
  --pid-file="$TMP/dnsmasq.pid" --user=root
e2e_spawn "$NS_S" /usr/bin/python3 -m http.server 80 --bind :: --directory "$TMP"
e2e_wait_port udp 53
e2e_wait_port tcp 80
e2e_start_vesk -r "$RULES"

check_policy() {  # label dns-expected(yes|no) mark
  local label=$1 dns=$2 mark=$3 answer before after
  for server in 10.77.0.2 fd77::2; do
    answer=$(in_c dig +short +time=1 +tries=1 @"$server" "q$RANDOM.vesk.test" A)
    if [ "$dns" = yes ]; then
      [ "$answer" = "10.77.0.9" ] && ok "$label: dig @$server answered" || fail "$label: dig @$server got [$answer]"
    else
      case "$answer" in
        *10.77.0.9*) fail "$label: DNS to $server answered [$answer]" ;;
        *) ok "$label: DNS to $server dropped" ;;
      esac
    fi
  done
  before=$(e2e_marked_packets "$mark")
  for url in "http://10.77.0.2/index.txt" "http://[fd77::2]/index.txt"; do
    [ "$(in_c curl -s -m 5 "$url")" = hello ] && ok "$label: $url fetched" || fail "$label: $url failed"
  done
  after=$(e2e_marked_packets "$mark")
  [ "$after" -gt "$before" ] && ok "$label: HTTP packets carry mark $mark ($before -> $after)" \
    || fail "$label: no packet with mark $mark ($before -> $after)"
}

check_policy "strict" no 42

# A reload whose file is missing keeps the policy in force.
rm -f "$RULES"
refusals=$(grep -c "refused (" "$LOG")
kill -HUP "$VESK_PID"
e2e_wait_for "$LOG" "SIGHUP received: reloading rules..." 5 || fail "no reload"
e2e_wait_for "$LOG" "Unable to open file $RULES" 5 && ok "missing rules file reported" \
  || fail "missing rules file not reported"
e2e_wait_more "$LOG" "refused (" "$refusals" 5 || fail "the failed reload did not end"
check_policy "after failed reload" no 42

# A good reload replaces it.
cp "$TMP/open.json" "$RULES"
loads=$(grep -c "Loaded rules from" "$LOG")
kill -HUP "$VESK_PID"
e2e_wait_more "$LOG" "Loaded rules from" "$loads" 5 || fail "open rules not loaded"
check_policy "open" yes 43

e2e_stop_vesk
exit $FAIL
