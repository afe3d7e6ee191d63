#!/usr/bin/env bash
# Records the replay captures of this directory from real Debian clients and
# servers talking between two network namespaces made here (a veth pair,
# 10.200.0.0/24 and fd00:200::/64). Nothing leaves the namespaces.
#
#   bash tests/captures/record.sh [PROTOCOL[/CAPTURE]...]     (root)
#
# Each protocol has a folder here with its captures, their manifest.json and
# recipes.sh, which defines record_<capture> for every capture of the folder
# and lists them in RECIPES. Without arguments every capture is recorded
# again; "tls" records the folder's captures, "tls/tls_cases" only one.
# OUT=DIR writes the captures under DIR instead of this directory.
#
# Each capture is taken on the server's side of the veth pair. The flows of
# every capture are described in manifest.json; re-recording changes the
# client ports and timings, not the flows.
set -euo pipefail

HERE=$(realpath "$(dirname "$0")")
OUT=$(realpath "${OUT:-$HERE}")
NS_S=vesk-cap-srv-$$
NS_C=vesk-cap-cli-$$
SRV4=10.200.0.1 CLI4=10.200.0.2
SRV6=fd00:200::1 CLI6=fd00:200::2
WORK=$(mktemp -d /tmp/vesk-capture-XXXXXX)
PIDS=()

cleanup() {
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${PIDS[@]}"; do wait "$p" 2>/dev/null || true; done
  ip netns del "$NS_S" 2>/dev/null || true
  ip netns del "$NS_C" 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT
[ -n "${RECORD_DEBUG:-}" ] && set -x

in_s() { ip netns exec "$NS_S" "$@"; }
in_c() { ip netns exec "$NS_C" "$@"; }

# Starts a background command in the server namespace and remembers its PID
# (ip netns exec replaces itself with the command, so the PID is the server's).
start_s() { ip netns exec "$NS_S" "$@" > "$WORK/server.log" 2>&1 & PIDS+=($!); }

stop_pid() { kill "$1" 2>/dev/null || true; wait "$1" 2>/dev/null || true; }

# A UDP sink in the server namespace on the given ports: it reads what
# arrives and answers nothing (for clients that only need a port open).
start_udp_sink() {  # port...
  cat > "$WORK/udp_sink.py" <<PY
import select, socket, sys
socks = []
for port in sys.argv[1:]:
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("$SRV4", int(port)))
    socks.append(s)
for _ in range(200):
    for s in select.select(socks, [], [], 30)[0]:
        s.recv(4096)
PY
  start_s /usr/bin/python3 "$WORK/udp_sink.py" "$@"
}

# rabbitmq-server in the server namespace with its own node, config and data
# under $WORK and epmd on the namespace's loopback; RMQ_EPMD_PID and RMQ_PID
# name the two processes. The broker takes seconds to boot: wait for its ports.
start_rabbitmq() {  # rabbitmq.conf text, enabled-plugins term
  local rmq=$WORK/rabbitmq
  mkdir -p "$rmq/mnesia" "$rmq/log"
  printf '%s\n' "$1" > "$rmq/rabbitmq.conf"
  echo "$2" > "$rmq/enabled_plugins"
  start_s env HOME="$rmq" ERL_EPMD_ADDRESS=127.0.0.1 epmd
  RMQ_EPMD_PID=${PIDS[-1]}
  wait_port t 4369
  start_s env HOME="$rmq" ERL_EPMD_ADDRESS=127.0.0.1 RABBITMQ_CONF_ENV_FILE=/dev/null \
    RABBITMQ_NODENAME=vesk@localhost RABBITMQ_CONFIG_FILE="$rmq/rabbitmq.conf" \
    RABBITMQ_ENABLED_PLUGINS_FILE="$rmq/enabled_plugins" RABBITMQ_MNESIA_BASE="$rmq/mnesia" \
    RABBITMQ_LOG_BASE="$rmq/log" RABBITMQ_PID_FILE="$rmq/pid" RABBITMQ_LOGS=- \
    /usr/lib/rabbitmq/bin/rabbitmq-server
  RMQ_PID=${PIDS[-1]}
}

# Waits (bounded) until a TCP or UDP port listens in the server namespace.
wait_port() {
  local proto=$1 port=$2 i
  for i in $(seq 1 50); do
    if in_s ss -H -l"${proto}"n "sport = :$port" | grep -q .; then return 0; fi
    sleep 0.1
  done
  echo "record: nothing listens on $proto/$port" >&2
  return 1
}

setup() {
  local mtu=$1
  ip netns add "$NS_S"
  ip netns add "$NS_C"
  ip link add vcap-s netns "$NS_S" type veth peer name vcap-c netns "$NS_C"
  in_s ip link set lo up
  in_c ip link set lo up
  in_s ip link set vcap-s mtu "$mtu" up
  in_c ip link set vcap-c mtu "$mtu" up
  in_s ip addr add "$SRV4/24" dev vcap-s
  in_c ip addr add "$CLI4/24" dev vcap-c
  in_s ip -6 addr add "$SRV6/64" dev vcap-s nodad
  in_c ip -6 addr add "$CLI6/64" dev vcap-c nodad
}

# Sets the veth pair to a small MTU after setup (below 1280 the veth keeps
# its IPv4 addresses only) and turns off the segmentation offloads, so the
# capture holds the segments a real link carries, not one large buffer.
small_segments() {
  in_s ip link set vcap-s mtu "$1"
  in_c ip link set vcap-c mtu "$1"
  in_s ethtool -K vcap-s tso off gso off gro off > /dev/null
  in_c ethtool -K vcap-c tso off gso off gro off > /dev/null
}

teardown() {
  ip netns del "$NS_S"
  ip netns del "$NS_C"
}

# capture NAME: starts tcpdump on the server side (in immediate mode, so the
# last packets are written before it is stopped); IPv6 neighbour discovery,
# router solicitations and ARP stay out of the file.
capture_start() {
  ip netns exec "$NS_S" tcpdump -Z root -q -U --immediate-mode -s 0 -i vcap-s -w "$WORK/$1.pcap" 'ip or (ip6 and (tcp or udp))' \
    > "$WORK/tcpdump-$1.log" 2>&1 &
  CAP_PID=$!
  PIDS+=($CAP_PID)
  local i
  for i in $(seq 1 50); do
    grep -q "listening on" "$WORK/tcpdump-$1.log" 2>/dev/null && break
    sleep 0.1
  done
  sleep 0.5
}

capture_stop() {
  sleep 0.5
  stop_pid "$CAP_PID"
  mkdir -p "$OUT/$CAPTURE_DIR"
  cp "$WORK/$1.pcap" "$OUT/$CAPTURE_DIR/$1.pcap"
  echo "record: $CAPTURE_DIR/$1.pcap $(stat -c %s "$OUT/$CAPTURE_DIR/$1.pcap") bytes"
}

RECIPES=()
for recipes in "$HERE"/*/recipes.sh; do
  # shellcheck source=/dev/null
  . "$recipes"
done

ARGS=("$@")
wanted() {  # recipe -> 0 when the command line asks for it
  [ ${#ARGS[@]} -eq 0 ] && return 0
  local a
  for a in "${ARGS[@]}"; do
    if [ "$a" = "$1" ] || [ "$a" = "${1%%/*}" ]; then return 0; fi
  done
  return 1
}

for r in "${RECIPES[@]}"; do
  wanted "$r" || continue
  CAPTURE_DIR=${r%%/*}
  "record_${r#*/}"
done
