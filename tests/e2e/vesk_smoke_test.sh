#!/usr/bin/env bash
# Start-up and shutdown as root: vesk binds a queue in a namespace of its own,
# reaches "Running", reloads on SIGHUP and stops cleanly on SIGTERM.
set -u
VESK="$(realpath "${VESK_BUILD:-build}/vesk")"
ns="vesk-smoke-$$"
tmp=$(mktemp -d /tmp/vesk-smoke.XXXXXX)
pid=""
fail=0

cleanup() {
  [ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null
  ip netns del "$ns" 2>/dev/null
  rm -rf "$tmp"
}
trap cleanup EXIT

if [ "$(id -u)" -ne 0 ]; then echo "skipped: needs root"; exit 77; fi
ip netns add "$ns" || { echo "FAIL: cannot create namespace"; exit 1; }
ip -n "$ns" link set lo up

wait_for() {  # file pattern seconds
  for _ in $(seq 1 $(( $3 * 10 ))); do
    grep -q -- "$2" "$1" && return 0
    sleep 0.1
  done
  echo "FAIL: no '$2' within $3 s"; cat "$1"; fail=1; return 1
}

stop_and_check() {  # log
  kill -TERM "$pid"
  for _ in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$pid" 2>/dev/null; then echo "FAIL: still running 10 s after SIGTERM"; fail=1; return; fi
  wait "$pid"; rc=$?; pid=""
  [ $rc -eq 0 ] && echo "ok: exit status 0" || { echo "FAIL: exit status $rc"; fail=1; }
  lines=("Shutting down...")
  grep -q "Polling NF_QUEUE" "$1" && lines+=("Leaving netfilter packet poll loop")
  for line in "${lines[@]}"; do
    grep -qF "$line" "$1" && echo "ok: $line" || { echo "FAIL: missing '$line'"; fail=1; }
  done
  # Every line of our own follows the log format.
  bad=$(grep -v '^\[OXLO\]' "$1" | grep -Ev '^[0-9]{2}/(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)/[0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2} \[[A-Za-z_.]+\.cpp:[0-9]+\] (ERROR: |WARNING: )?.+$')
  [ -z "$bad" ] && echo "ok: log line format" || { echo "FAIL: lines not in log format:"; echo "$bad"; fail=1; }
}

# 1. Default policy, SIGHUP without -r. Run from a directory that holds a
#    public suffix list at the last place the queues look for one, so that
#    one is found even without Debian's.
mkdir -p "$tmp/run/packages/etc/vesk"
psl=/usr/share/publicsuffix/public_suffix_list.dat
[ -r "$psl" ] && cp "$psl" "$tmp/run/packages/etc/vesk/"
(cd "$tmp/run" && exec ip netns exec "$ns" "$VESK" -q 0 -s -v) > "$tmp/log1" 2>&1 &
pid=$!
if wait_for "$tmp/log1" "Running \[UUID: [0-9A-F-]\{36\}\]\[Source ID: [0-9]*\]$" 10; then
  echo "ok: reached Running (no export format named without -z)"
  grep -q "Reading NFQUEUE 0 to 0: packets arrive only through the iptables rules" "$tmp/log1" \
    && echo "ok: queues and recipe named" || { echo "FAIL: queues not named"; fail=1; }
  grep -q "Polling NF_QUEUE 0" "$tmp/log1" && echo "ok: queue bound" || { echo "FAIL: queue not bound"; fail=1; }
  if [ -r "$psl" ]; then
    grep -q "Successfully loaded .*public_suffix_list.dat" "$tmp/log1" && echo "ok: public suffix list loaded" \
      || { echo "FAIL: public suffix list not loaded"; fail=1; }
  fi
  grep -q "Loaded rules from the built-in pass-all policy$" "$tmp/log1" && ! grep -q "/tmp/vesk-" "$tmp/log1" \
    && echo "ok: built-in policy named, no scratch file" || { echo "FAIL: built-in policy not named"; fail=1; }
  kill -HUP "$pid"
  wait_for "$tmp/log1" "SIGHUP received (no action)" 5 && echo "ok: SIGHUP without rules"
  stop_and_check "$tmp/log1"
fi

# 2. With a rules file: SIGHUP reloads it.
cat > "$tmp/rules.json" <<'JSON'
{ "pool": { "id":1, "name": "empty pool", "ip":  [ ], "mac": [] }, "policy": { "id":1 }}
{ "policy": { "id": 1, "name": "pass rule", "default_marker": "pass", "markers": { "categories": { }, "protocols": { }}}}
JSON
ip netns exec "$ns" "$VESK" -q 0 -s -r "$tmp/rules.json" > "$tmp/log2" 2>&1 &
pid=$!
if wait_for "$tmp/log2" "Running \[UUID:" 10; then
  kill -HUP "$pid"
  wait_for "$tmp/log2" "SIGHUP received: reloading rules..." 5 && echo "ok: SIGHUP reload"
  wait_for "$tmp/log2" "Loaded rules from $tmp/rules.json" 5
  [ "$(grep -c "Loaded rules from $tmp/rules.json" "$tmp/log2")" -ge 2 ] && echo "ok: loaded twice" \
    || { echo "FAIL: rules not reloaded"; fail=1; }
  stop_and_check "$tmp/log2"
fi

# 3. Several queues (5:3 binds 5, 6 and 7), and none at all (0:0 still runs).
for q in 5:3 0:0; do
  ip netns exec "$ns" "$VESK" -q "$q" -s > "$tmp/log3" 2>&1 &
  pid=$!
  if wait_for "$tmp/log3" "Running \[UUID:" 15; then
    bound=$(grep -o "Polling NF_QUEUE [0-9]*" "$tmp/log3" | awk '{print $3}' | tr '\n' ' ')
    expected=$([ "$q" = 5:3 ] && echo "5 6 7 " || echo "")
    [ "$bound" = "$expected" ] && echo "ok: -q $q binds [$bound]" || { echo "FAIL: -q $q bound [$bound]"; fail=1; }
    stop_and_check "$tmp/log3"
  fi
done

exit $fail
