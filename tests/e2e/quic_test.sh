#!/usr/bin/env bash
# QUIC through the queue: Debian's ngtcp2 example client fetches a page from
# its server on a non-standard port, over IPv4 and IPv6. The flow completes
# when the server answers the client's first Initial, decrypted in the
# firewall: QUIC with the host name of the ClientHello, and the request
# still succeeds.
TAG=quic
. "$(dirname "$0")/e2e_lib.sh"
e2e_require
command -v gtlsclient >/dev/null && command -v /usr/sbin/gtlsserver >/dev/null ||
  { echo "skipped: ngtcp2-client or ngtcp2-server is not installed"; exit 77; }
e2e_setup

cat > "$TMP/rules.json" <<'JSON'
{ "policy": { "id": 0, "name": "mark 9", "default_marker": 9, "markers": { "categories": { }, "protocols": { }}}}
JSON
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 30 -subj "/CN=q.test" \
  -keyout "$TMP/key.pem" -out "$TMP/cert.pem" 2> /dev/null
echo hello-over-quic > "$TMP/index.html"
# The client sends the name it connects to as SNI: a hosts file of the
# client namespace's own (mounted over /etc/hosts by ip netns exec) names
# the server. Removed with the namespace.
mkdir -p "/etc/netns/$NS_C"
printf '10.77.0.2 q.test\nfd77::2 q6.test\n' > "/etc/netns/$NS_C/hosts"
trap 'rm -rf "/etc/netns/$NS_C"; e2e_cleanup' EXIT
e2e_count_mark 9
e2e_spawn "$NS_S" /usr/sbin/gtlsserver -q -d "$TMP" '*' 4433 "$TMP/key.pem" "$TMP/cert.pem"
e2e_wait_port udp 4433
e2e_start_vesk -r "$TMP/rules.json"

for host in q.test q6.test; do
  mkdir -p "$TMP/got-$host"
  in_c timeout 10 gtlsclient -q --exit-on-all-streams-close --timeout=5s --download="$TMP/got-$host" \
    "$host" 4433 "https://$host/index.html" > /dev/null 2>&1
  out=$(cat "$TMP/got-$host/index.html" 2>/dev/null)
  [ "$out" = hello-over-quic ] && ok "gtlsclient $host through the queue" || fail "gtlsclient $host fetched [$out]"
done

e2e_wait_for "$LOG" "OXLO OVER.*fd77::2:4433\]" 5
over=$(e2e_over_lines 4433)
echo "$over"
for family in IPv4:q.test IPv6:q6.test; do
  line=$(echo "$over" | grep -F "[${family%%:*}][UDP]" | head -1)
  if [ -z "$line" ]; then fail "no [OXLO OVER] line for ${family%%:*}"; continue; fi
  echo "$line" | grep -Eq ":4433\]\[QUIC[^]]*\]" && ok "${family%%:*} flow classified as QUIC" || fail "${family%%:*}: $line"
  echo "$line" | grep -qF "${family#*:}" && ok "${family%%:*} host ${family#*:}" || fail "${family%%:*} host: $line"
  echo "$line" | grep -q "\[marker: 9\]$" && ok "${family%%:*} marker 9" || fail "${family%%:*} marker: $line"
done
marked=$(e2e_marked_packets 9)
[ "$marked" -ge 10 ] && ok "$marked packets carry mark 9" || fail "only $marked packets carry mark 9"

e2e_stop_vesk
exit $FAIL
