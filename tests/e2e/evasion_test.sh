#!/usr/bin/env bash
# A host-name drop rule holds against the tricks a client can play with the
# bytes that carry the name (evasion_client.py lists them): HTTP requests and
# TLS ClientHellos in tiny TCP segments, a hello in many records, segments
# out of order, a stale decoy right after the handshake, overlapping segments
# with other bytes, a trailing dot, Host header spellings the servers accept,
# an absolute-URI request line, a QUIC ClientHello over two Initials, after
# an Initial of a version the server does not speak or 0-RTT datagrams, and
# a second QUIC hello sent after the server's Retry; and, over IPv4 and IPv6,
# the tricks where the server's TCP stack could read other bytes than the
# engine: a decoy on the SYN, a second SYN with another ISN, an urgent byte
# inside the name, 15 segments held ahead of a gap while the server sends
# duplicate ACKs, an extension method, and a TLS hello retried for another
# name after a HelloRetryRequest.
# Each trick is dropped for blocked.vesk.test and answered for an allowed
# name by real servers: python3's http.server, one openssl s_server per TLS
# case (it serves one connection at a time, and a dropped hello would hold
# it), and ngtcp2's gtlsserver for QUIC.
TAG=evasion
. "$(dirname "$0")/e2e_lib.sh"
e2e_require
command -v /usr/sbin/gtlsserver > /dev/null || { echo "skipped: ngtcp2-server is not installed"; exit 77; }
CLIENT_PY="$(realpath "$(dirname "$0")")/evasion_client.py"
e2e_setup

e2e_evasion_setup evasion

tls_cases=$(/usr/bin/python3 "$CLIENT_PY" tls-count) || { fail "evasion_client.py"; exit 1; }
for i in $(seq 0 $((tls_cases - 1))); do
  in_s ip addr add "10.77.0.$((100 + i))/24" dev eth0
  e2e_spawn "$NS_S" openssl s_server -quiet -accept "10.77.0.$((100 + i)):443" \
    -cert "$TMP/cert.pem" -key "$TMP/key.pem" -www
done
# The TCP tricks' servers of a retried hello (the allowed name's, the
# blocked name's) for each family: P-256 only, so a hello with an X25519
# key share alone is answered with a HelloRetryRequest.
HRR4=10.77.0.200,10.77.0.201
HRR6=fd77::200,fd77::201
for address in ${HRR4//,/ } ${HRR6//,/ }; do
  case $address in *:*) in_s ip -6 addr add "$address/64" dev eth0 nodad; a="[$address]" ;;
                   *) in_s ip addr add "$address/24" dev eth0; a=$address ;; esac
  e2e_spawn "$NS_S" openssl s_server -quiet -accept "$a:443" -groups P-256 \
    -cert "$TMP/cert.pem" -key "$TMP/key.pem" -www
done
tls_servers=$((tls_cases + 4))
e2e_spawn "$NS_S" /usr/bin/python3 -m http.server 80 --bind 10.77.0.2 --directory "$TMP"
e2e_spawn "$NS_S" /usr/bin/python3 -m http.server 80 --bind fd77::2 --directory "$TMP"
e2e_spawn "$NS_S" /usr/sbin/gtlsserver -q -d "$TMP" 10.77.0.2 4433 "$TMP/key.pem" "$TMP/cert.pem"
# The same server asking every new connection for a Retry (address validation).
e2e_spawn "$NS_S" /usr/sbin/gtlsserver -q -V -d "$TMP" 10.77.0.2 4434 "$TMP/key.pem" "$TMP/cert.pem"
e2e_wait_port tcp 80
e2e_wait_port udp 4433
e2e_wait_port udp 4434
listening() { [ "$(in_s ss -Hltn "sport = :$1" | wc -l)" -ge "$2" ]; }
e2e_wait_until 10 listening 443 "$tls_servers" || fail "not every s_server listens"
e2e_wait_until 10 listening 80 2 || fail "not both HTTP servers listen"
# Statistics events to a collector (they need the kernel's accounting): the
# tricks' held and stale segments show in their tcp_stream block.
in_s sysctl -qw net.netfilter.nf_conntrack_acct=1
e2e_start_collector events 300
e2e_start_vesk -r "$TMP/rules.json" -z "$EP" -j

in_c timeout 120 /usr/bin/python3 "$CLIENT_PY" run 10.77.0.2 10.77.0.100 4433 fd77::2 "$HRR4" "$HRR6" \
  > "$TMP/results" 2>&1
rc=$?
cat "$TMP/results"
[ $rc -eq 0 ] || FAIL=1
grep -q "^ok: " "$TMP/results" || fail "no case ran"

# A blocked case without an answer was dropped by the rule (marker 2), not
# lost on the way; an answered allowed case was never given marker 2.
dropped_line() { grep -E "(10\.77\.0\.1|fd77::1):$1 " "$LOG" | grep -F "[OXLO OVER]" | grep -q "\[marker: 2\]$"; }
while read -r port; do
  e2e_wait_until 5 dropped_line "$port" \
    || fail "client port $port: no answer, but no flow line with marker 2"
done < <(sed -n 's/^ok: .* blocked\.vesk\.test (port \([0-9]*\)): no answer$/\1/p' "$TMP/results")
while read -r port; do
  if dropped_line "$port"; then
    fail "client port $port: answered, yet a flow line with marker 2"
  fi
done < <(sed -n 's/^ok: .* (port \([0-9]*\)): answered$/\1/p' "$TMP/results")

# What the engine made of each failing case: its flow lines.
grep "^FAIL: " "$TMP/results" | sed -n 's/.*(port \([0-9]*\)).*/\1/p' | while read -r port; do
  echo "-- client port $port:"
  grep -E "(10\.77\.0\.1|fd77::1):$port " "$LOG" | grep -F "[OXLO" || echo "   (no flow line)"
done

# The engine's stream counters reach the statistics event: the cases held
# segments ahead of a gap and sent stale copies of bytes already read.
stream_counters() {
  $PY - "$OUT" <<'PY2'
import json, sys
keys = ("byte_cap_hits", "segment_cap_hits", "gap_timeouts", "module_cap_hits",
        "idle_packet_cap_hits", "memory_failures", "segments_held", "segments_stale",
        "segments_out_of_window", "overlaps_differing", "bytes_now")
for line in open(sys.argv[1]):
    try:
        m = json.loads(line)
    except ValueError:
        continue
    s = m.get("json", {}).get("tcp_stream") if m.get("topic") == "event" else None
    if s and all(isinstance(s.get(k), int) for k in keys) \
            and s["segments_held"] > 0 and s["segments_stale"] > 0:
        sys.exit(0)
sys.exit(1)
PY2
}
e2e_wait_until 15 stream_counters && ok "statistics event: tcp_stream counts held and stale segments" \
  || fail "no statistics event whose tcp_stream block counts held and stale segments"

# EVASION_LOG=FILE keeps vesk's -v log for a closer look.
[ -n "${EVASION_LOG:-}" ] && cp "$LOG" "$EVASION_LOG"
e2e_stop_vesk
exit $FAIL
