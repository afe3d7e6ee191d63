# Shared helpers of the end-to-end tests (sourced, not run). Each test gets
# two namespaces of its own joined by a veth pair:
#   client  10.77.0.1/24  fd77::1/64   (namespace $NS_C)
#   server  10.77.0.2/24  fd77::2/64   (namespace $NS_S, where vesk runs)
# Traffic never leaves them. Everything is removed on exit, also on failure.
set -u
VESK="$(realpath "${VESK_BUILD:-build}/vesk")"
SRC="$(realpath "${VESK_SOURCE:-.}")"
COLLECTOR="$SRC/tests/tools/vesk_collector.py"
PY=/usr/bin/python3
TAG="${TAG:-e2e}"
NS_C="vesk-$TAG-c-$$"
NS_S="vesk-$TAG-s-$$"
TMP=$(mktemp -d "/tmp/vesk-$TAG.XXXXXX")
chmod 755 "$TMP"
PIDS=()
VESK_PID=""
FAIL=0

e2e_cleanup() {
  for p in "${PIDS[@]}" $VESK_PID; do kill -KILL "$p" 2>/dev/null; done
  wait 2>/dev/null
  ip netns del "$NS_C" 2>/dev/null
  ip netns del "$NS_S" 2>/dev/null
  rm -rf "$TMP"
}
trap e2e_cleanup EXIT

ok() { echo "ok: $*"; }
fail() { echo "FAIL: $*"; FAIL=1; }
in_c() { ip netns exec "$NS_C" "$@"; }
in_s() { ip netns exec "$NS_S" "$@"; }

e2e_require() {
  [ "$(id -u)" -eq 0 ] || { echo "skipped: needs root"; exit 77; }
  [ -x "$VESK" ] || { echo "FAIL: $VESK not built"; exit 1; }
  if [ ! -e /proc/net/netfilter/nfnetlink_queue ]; then
    modprobe nfnetlink_queue 2>/dev/null
    [ -e /proc/net/netfilter/nfnetlink_queue ] || { echo "skipped: kernel without NFQUEUE support"; exit 77; }
  fi
}

# Two namespaces, a veth pair, addresses, and the queueing rules in the
# server namespace: the CONNMARK set of the README, plus counting rules per
# mark in the filter table (they run after the verdict set the mark).
e2e_setup() {
  ip netns add "$NS_C" && ip netns add "$NS_S" || { echo "FAIL: namespaces"; exit 1; }
  ip link add "vc$$" netns "$NS_C" type veth peer name "vs$$" netns "$NS_S" || exit 1
  in_c ip link set lo up; in_s ip link set lo up
  in_c ip link set "vc$$" name eth0; in_s ip link set "vs$$" name eth0
  in_c ip addr add 10.77.0.1/24 dev eth0; in_s ip addr add 10.77.0.2/24 dev eth0
  in_c ip -6 addr add fd77::1/64 dev eth0 nodad; in_s ip -6 addr add fd77::2/64 dev eth0 nodad
  in_c ip link set eth0 up; in_s ip link set eth0 up
  for ipt in iptables ip6tables; do
    in_s $ipt -t mangle -A PREROUTING -i eth0 -j CONNMARK --restore-mark
    in_s $ipt -t mangle -A OUTPUT -o eth0 -j CONNMARK --restore-mark
    in_s $ipt -t mangle -A PREROUTING -i eth0 -m mark --mark 0 -j NFQUEUE --queue-num 0 --queue-bypass
    in_s $ipt -t mangle -A OUTPUT -o eth0 -m mark --mark 0 -j NFQUEUE --queue-num 0 --queue-bypass
    in_s $ipt -t mangle -A INPUT -i eth0 -m mark ! --mark 0 -j CONNMARK --save-mark
    in_s $ipt -t mangle -A POSTROUTING -o eth0 -m mark ! --mark 0 -j CONNMARK --save-mark
  done
  for _ in $(seq 1 50); do in_c ping -c1 -W1 10.77.0.2 >/dev/null 2>&1 && break; sleep 0.1; done
}

# Counts TCP and UDP packets carrying a given mark in both directions
# (filter INPUT and OUTPUT run after the queue's verdict). Other packets
# (ICMP, IPv6 neighbour discovery) get the default marker of their policy
# too, but are not what the tests count.
e2e_count_mark() {  # mark
  for ipt in iptables ip6tables; do
    for proto in tcp udp; do
      in_s $ipt -A INPUT -i eth0 -p $proto -m mark --mark "$1" -j ACCEPT
      in_s $ipt -A OUTPUT -o eth0 -p $proto -m mark --mark "$1" -j ACCEPT
    done
  done
}
e2e_marked_packets() {  # mark -> packets counted by both families' rules
  local total=0 n
  for ipt in iptables ip6tables; do
    n=$(in_s $ipt -L -v -n -x | awk -v m="0x$(printf '%x' "$1")" '/mark match/ && $NF == m {s += $1} END {print s+0}')
    total=$((total + n))
  done
  echo "$total"
}

# Waits (bounded) until a file holds a pattern.
e2e_wait_for() {  # file pattern seconds
  for _ in $(seq 1 $(( $3 * 10 ))); do
    grep -q -- "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

# Waits (bounded) until a file holds a pattern on more than `count` lines:
# for a log line that comes once per event, counted before the event.
e2e_wait_more() {  # file pattern count seconds
  for _ in $(seq 1 $(( $4 * 10 ))); do
    [ "$(grep -c -- "$2" "$1" 2>/dev/null)" -gt "$3" ] && return 0
    sleep 0.1
  done
  return 1
}

# Waits (bounded) until a command succeeds. A check that something does
# NOT happen waits on the failure the same way: the bound is the window
# in which it would show, and the wait ends as soon as it does.
e2e_wait_until() {  # seconds command...
  local tenths=$(( $1 * 10 )); shift
  for _ in $(seq 1 "$tenths"); do
    "$@" && return 0
    sleep 0.1
  done
  return 1
}

# Starts the test's collector in the server namespace: it listens on EP
# (ipc://$TMP/NAME.sock) and writes what it receives to OUT ($TMP/NAME.jsonl).
# Not through in_s: $! must be the collector itself, so that stopping it by
# PID stops it rather than leaving it until its time runs out.
COLLECTOR_PID=""
e2e_start_collector() {  # name seconds [collector arguments...]
  local name=$1 seconds=$2; shift 2
  OUT="$TMP/$name.jsonl"; EP="ipc://$TMP/$name.sock"
  ip netns exec "$NS_S" $PY "$COLLECTOR" listen "$EP" "$OUT" --seconds "$seconds" "$@" &
  COLLECTOR_PID=$!; PIDS+=($COLLECTOR_PID)
  e2e_wait_for "$OUT" listening 10 || fail "collector $name did not start"
}

# Starts vesk on queue 0 in the server namespace with -v and waits until it runs.
e2e_start_vesk() {  # extra vesk arguments...
  LOG="$TMP/vesk.log"
  # Not through a shell function: $! must be vesk itself (ip netns exec
  # execs it in place), so that signals reach it.
  ip netns exec "$NS_S" "$VESK" -q 0 -s -v "$@" > "$LOG" 2>&1 &
  VESK_PID=$!
  if ! e2e_wait_for "$LOG" "Running \[UUID:" 15; then
    fail "vesk did not start"; cat "$LOG"; exit 1
  fi
}

e2e_stop_vesk() {
  [ -n "$VESK_PID" ] || return
  kill -TERM "$VESK_PID"
  for _ in $(seq 1 100); do kill -0 "$VESK_PID" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$VESK_PID" 2>/dev/null; then fail "vesk still running 10 s after SIGTERM"; return; fi
  wait "$VESK_PID"; local rc=$?
  VESK_PID=""
  [ $rc -eq 0 ] && ok "vesk stopped with status 0" || fail "vesk exit status $rc"
}

# Starts a background process in a namespace and remembers it for cleanup.
e2e_spawn() {  # namespace command...
  local ns=$1; shift
  ip netns exec "$ns" "$@" > "$TMP/spawn.$#.$RANDOM.log" 2>&1 &
  PIDS+=($!)
}

e2e_wait_port() {  # tcp|udp port
  for _ in $(seq 1 100); do
    in_s ss -Hln"${1:0:1}" "sport = :$2" | grep -q . && return 0
    sleep 0.1
  done
  fail "nothing listens on $1 port $2"; return 1
}

# "[OXLO OVER]" lines for flows towards a server port.
e2e_over_lines() {  # port
  grep -F "[OXLO OVER]" "$LOG" | grep -E " <-> [^] ]*:$1\]\[" || true
}

# The evasion tests' common ground: a rules file whose policy NAME passes
# with marker 9 and drops blocked.vesk.test, a file to serve, a certificate
# for the TLS servers, and the client namespace made ready for raw
# connections. Those use source ports 40000-40999, which the client's kernel
# knows nothing of: it would reset them, so its resets from those ports are
# dropped, except the raw client's own (socket mark 0x77).
e2e_evasion_setup() {
  cat > "$TMP/rules.json" <<JSON
{"policy":{"id":0,"name":"$1","default_marker":9,"markers":{"hostnames":{"blocked.vesk.test":"drop"}}}}
JSON
  echo hello > "$TMP/index.txt"
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 30 \
    -subj "/CN=vesk.test" -keyout "$TMP/key.pem" -out "$TMP/cert.pem" 2> /dev/null
  in_c sysctl -qw net.ipv4.ip_local_port_range="50000 60999"
  local ipt
  for ipt in iptables ip6tables; do
    in_c $ipt -A OUTPUT -o eth0 -p tcp --sport 40000:40999 --tcp-flags RST RST \
      -m mark ! --mark 0x77 -j DROP
  done
}
