#!/usr/bin/env bash
# Engine data named by the rules file takes effect on live traffic:
#  1. a custom protocols file with a "tcp:" port rule and a "host:" rule: an
#     HTTP fetch to the custom port and a TLS connection whose server name
#     is the custom host are classified as the custom protocols, and the
#     policy's markers for them mark their packets;
#  2. after a SIGHUP to rules with a category file, a TLS connection to the
#     server address listed in it gets the category's marker.
# Both servers are local (python3 http.server, openssl s_server) in the
# test's own namespaces.
TAG=hostsdata
. "$(dirname "$0")/e2e_lib.sh"
e2e_require
e2e_setup

RULES="$TMP/rules.json"
cat > "$TMP/protos.txt" <<'TXT'
# custom protocols of the test
tcp:7777@VeskPortProto
host:"HostRule.Example"@VeskHostProto
TXT
cat > "$TMP/custom.json" <<JSON
{"custom_protocols":"$TMP/protos.txt"}
{"pool":{"id":1,"name":"clients","ip":["10.77.0.1/32"],"mac":[]},"policy":{"id":1}}
{"policy":{"id":0,"name":"default","default_marker":"pass","markers":{}}}
{"policy":{"id":1,"name":"custom","default_marker":"pass","markers":{"protocols":{"VeskPortProto":44,"VeskHostProto":45}}}}
JSON
printf '10.77.0.2/32\t34\n' > "$TMP/categories.txt"
cat > "$TMP/category.json" <<JSON
{"category_file":"$TMP/categories.txt"}
{"pool":{"id":1,"name":"clients","ip":["10.77.0.1/32"],"mac":[]},"policy":{"id":1}}
{"policy":{"id":0,"name":"default","default_marker":"pass","markers":{}}}
{"policy":{"id":1,"name":"category","default_marker":"pass","markers":{"categories":{"34":46}}}}
JSON
cp "$TMP/custom.json" "$RULES"

echo hello > "$TMP/index.txt"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$TMP/key.pem" -out "$TMP/cert.pem" \
  -days 1 -subj /CN=hostrule.example >/dev/null 2>&1 || { fail "certificate"; exit 1; }
for m in 44 45 46; do e2e_count_mark "$m"; done
e2e_spawn "$NS_S" /usr/bin/python3 -m http.server 7777 --bind 10.77.0.2 --directory "$TMP"
e2e_spawn "$NS_S" openssl s_server -accept 4433 -cert "$TMP/cert.pem" -key "$TMP/key.pem" -www -quiet
e2e_wait_port tcp 7777
e2e_wait_port tcp 4433
e2e_start_vesk -r "$RULES"
e2e_wait_for "$LOG" "Loaded custom protocols $TMP/protos.txt" 5 && ok "custom protocols loaded" \
  || fail "custom protocols not loaded"

tls_fetch() {  # server name
  in_c curl -sk -m 5 -o /dev/null -w '%{http_code}' --resolve "$1:4433:10.77.0.2" "https://$1:4433/"
}

check_mark() {  # label mark command...
  local label=$1 mark=$2 before after; shift 2
  before=$(e2e_marked_packets "$mark")
  "$@" >/dev/null || true
  after=$(e2e_marked_packets "$mark")
  [ "$after" -gt "$before" ] && ok "$label: packets carry mark $mark ($before -> $after)" \
    || fail "$label: no packet with mark $mark ($before -> $after)"
}

fetch_port() { [ "$(in_c curl -s -m 5 http://10.77.0.2:7777/index.txt)" = hello ] || fail "port 7777 fetch"; }
check_mark "tcp: port rule" 44 fetch_port
check_mark "host: rule (TLS server name)" 45 tls_fetch www.hostrule.example
grep -F "[OXLO OVER]" "$LOG" | grep -q VeskHostProto && ok "flow classified as VeskHostProto" \
  || fail "no flow classified as VeskHostProto"
before=$(e2e_marked_packets 45)
tls_fetch other.example >/dev/null
[ "$(e2e_marked_packets 45)" -eq "$before" ] && ok "another server name is not the custom host" \
  || fail "other.example got the host rule's mark"

# Reload with a category file: the queue thread takes the new module.
cp "$TMP/category.json" "$RULES"
loads=$(grep -c "Loaded rules from" "$LOG")
kill -HUP "$VESK_PID"
e2e_wait_for "$LOG" "categories from $TMP/categories.txt" 5 && ok "category file loaded" \
  || fail "category file not loaded"
# The queue thread takes the new module between two packets.
e2e_wait_more "$LOG" "Loaded rules from" "$loads" 10 || fail "the new module did not take over"
check_mark "category file" 46 tls_fetch plain.example
before=$(e2e_marked_packets 44)
fetch_port
[ "$(e2e_marked_packets 44)" -eq "$before" ] && ok "custom port rule gone with its rules file" \
  || fail "custom port rule still applied after reload"

e2e_stop_vesk
exit $FAIL
