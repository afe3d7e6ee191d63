# Recipes for the quic captures of this folder, sourced by ../record.sh
# (which provides setup, start_s, capture_start/capture_stop and the rest).
# Peers: Debian's ngtcp2 examples (gtlsserver, gtlsclient), and headless
# Chromium when it is installed.
RECIPES+=(quic/quic quic/quic_versions quic/quic_0rtt quic/quic_chromium)

quic_certificate() {
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 3650 \
    -subj "/CN=q.test" -addext "subjectAltName=DNS:q.test" \
    -keyout "$WORK/key.pem" -out "$WORK/cert.pem" 2> /dev/null
}

# gtlsclient sends "localhost" as SNI to a numeric address (its --sni does
# not change that), so the client namespace gets a hosts file of its own
# that names the server; `ip netns exec` mounts it over /etc/hosts.
quic_names() {
  mkdir -p "/etc/netns/$NS_C"
  printf '%s %s\n' "$SRV4" q.test "$SRV4" www.q.test "$SRV4" draft29.q.test "$SRV4" v2draft.q.test \
    "$SRV4" negotiate.q.test > "/etc/netns/$NS_C/hosts"
}
quic_names_done() { rm -rf "/etc/netns/$NS_C"; }

# One request with gtlsclient, bounded by timeout; extra options first.
quic_client() { in_c timeout 10 gtlsclient -q --exit-on-all-streams-close --timeout=5s "$@" > /dev/null 2>&1 || true; }

record_quic() {
  setup 1500
  quic_certificate
  quic_names
  start_s gtlsserver -q "$SRV4" 4433 "$WORK/key.pem" "$WORK/cert.pem"
  local s1=${PIDS[-1]}
  start_s gtlsserver -q "$SRV4" 443 "$WORK/key.pem" "$WORK/cert.pem"
  local s2=${PIDS[-1]}
  wait_port u 4433
  wait_port u 443
  capture_start quic
  quic_client q.test 4433 https://q.test/
  quic_client www.q.test 443 https://www.q.test/
  capture_stop quic
  stop_pid "$s1"
  stop_pid "$s2"
  quic_names_done
  teardown
}

record_quic_versions() {
  setup 1500
  quic_certificate
  quic_names
  start_s gtlsserver -q "$SRV4" 4433 "$WORK/key.pem" "$WORK/cert.pem"
  local s=${PIDS[-1]}
  wait_port u 4433
  capture_start quic_versions
  quic_client --version=0xff00001d draft29.q.test 4433 https://draft29.q.test/
  quic_client --version=0x709a50c4 v2draft.q.test 4433 https://v2draft.q.test/
  quic_client --version=0x1a2a3a4a negotiate.q.test 4433 https://negotiate.q.test/
  capture_stop quic_versions
  stop_pid "$s"
  quic_names_done
  teardown
}

# The first connection stores the session ticket and transport parameters,
# the second resumes with them and sends its request as 0-RTT data.
record_quic_0rtt() {
  setup 1500
  quic_certificate
  quic_names
  start_s gtlsserver -q "$SRV4" 4433 "$WORK/key.pem" "$WORK/cert.pem"
  local s=${PIDS[-1]}
  wait_port u 4433
  quic_client --session-file="$WORK/session" --tp-file="$WORK/tp" q.test 4433 https://q.test/
  capture_start quic_0rtt
  quic_client --session-file="$WORK/session" --tp-file="$WORK/tp" q.test 4433 https://q.test/
  capture_stop quic_0rtt
  stop_pid "$s"
  quic_names_done
  teardown
}

# Headless Chromium forced onto QUIC for q.test:4433. Its ClientHello (with
# a post-quantum key share) is too large for one Initial: it spans two, in
# CRYPTO frames split and reordered. The certificate is not trusted, which
# does not matter: only the client's Initials are read.
record_quic_chromium() {
  command -v chromium > /dev/null || { echo "record: chromium not installed, quic_chromium skipped" >&2; return 0; }
  setup 1500
  quic_certificate
  start_s gtlsserver -q "$SRV4" 4433 "$WORK/key.pem" "$WORK/cert.pem"
  local s=${PIDS[-1]}
  wait_port u 4433
  capture_start quic_chromium
  in_c timeout 20 chromium --headless=new --no-sandbox --disable-gpu --no-first-run --user-data-dir="$WORK/chromium" \
    --enable-quic --origin-to-force-quic-on=q.test:4433 --host-resolver-rules="MAP q.test $SRV4" \
    --ignore-certificate-errors --dump-dom https://q.test:4433/ > "$WORK/chromium.log" 2>&1 || true
  grep -o "Page load failed.*" "$WORK/chromium.log" >&2 || true
  capture_stop quic_chromium
  stop_pid "$s"
  teardown
}
