#!/usr/bin/env bash
# Process attribution with real programs, in a network namespace of its own
# (loopback plus a dummy interface; no traffic leaves it):
#  - the BPF socket monitor attributes connections of curl, python3 and ssh
#    (and their server) to the pid, executable, user and Debian package that
#    `ss -tnp` and `dpkg-query -S` name; a refused connect is a
#    CONNECT_FAILED of curl; dig's UDP query is attributed too, and repeated
#    datagrams within a second give one event;
#  - the socket lister agrees with `ss -tuln` over hundreds of sockets;
#  - a program whose path holds quotes, a newline and $(...) gives valid
#    JSON everywhere and runs nothing;
#  - as an ordinary user the facade answers "not available".
TAG=procattr
source "$(dirname "$0")/e2e_lib.sh"
SOCKMON="$(realpath "${VESK_BUILD:-build}/vesk-sockmon")"
[ "$(id -u)" -eq 0 ] || { echo "skipped: needs root"; exit 77; }
[ -x "$SOCKMON" ] || { echo "FAIL: $SOCKMON not built"; exit 1; }
NS="vesk-pa-$$"
pa_cleanup() {
  for p in "${PIDS[@]}"; do kill -KILL "$p" 2>/dev/null; done
  exec 3>&- 2>/dev/null
  wait 2>/dev/null
  ip netns del "$NS" 2>/dev/null
  rm -rf "$TMP"
}
trap pa_cleanup EXIT
in_ns() { ip netns exec "$NS" "$@"; }
# For programs started in the background: not through a function, so that
# $! is the program's own pid (ip netns exec replaces itself with it).
NSX="ip netns exec $NS"

ip netns add "$NS" || { echo "FAIL: namespace"; exit 1; }
in_ns ip link set lo up
in_ns ip link add pa0 type veth peer name pa1
in_ns ip addr add 10.79.0.1/24 dev pa0
in_ns ip link set pa0 up
in_ns ip link set pa1 up

# Loopback plus a veth pair inside the namespace (one address to describe).
# Ports of this test, away from the usual services.
PORT=$((47000 + $$ % 900)); PORT6=$((PORT + 1)); CLOSED=$((PORT + 2)); UPORT=$((PORT + 3)); UPORT2=$((PORT + 4))

cd "$TMP" || exit 1
mkfifo "$TMP/in"
$NSX "$SOCKMON" --debug <"$TMP/in" >"$TMP/out" 2>"$TMP/err" &
PIDS+=($!)
exec 3>"$TMP/in"
e2e_wait_for "$TMP/out" '^ready\|^nomonitor' 30
ready=$(grep '^ready\|^nomonitor' "$TMP/out")
case "$ready" in
  ready*) ok "monitor started:${ready#ready}" ;;
  *) echo "FAIL: no monitor: $ready"; cat "$TMP/err" "$TMP/out" | head -20; exit 1 ;;
esac
if [[ "$ready" == *trace_inet_sock_set_state* ]]; then ok "TCP through the sock:inet_sock_set_state tracepoint";
elif [[ "$ready" == *tcp_v4_connect* ]]; then ok "TCP through kprobes"; else fail "no TCP programs attached"; fi
[[ "$ready" == *net_dev_queue* || "$ready" == *trace_netif_tx_entry* ]] && [[ "$ready" == *netif_receive_skb* ]] \
  && ok "both net tracepoints attached" || fail "net tracepoints not attached: $ready"

# ask COMMAND: its reply line (without the "> " mark).
ask() {
  local n m
  n=$(grep -c '^> ' "$TMP/out")
  echo "$*" >&3
  for _ in $(seq 1 200); do
    m=$(grep -c '^> ' "$TMP/out")
    [ "$m" -gt "$n" ] && break
    sleep 0.05
  done
  grep '^> ' "$TMP/out" | tail -n 1 | cut -c3-
}
pkg_of() { dpkg-query -S "$1" 2>/dev/null | head -n 1 | cut -d: -f1; }
# jget JSON KEY
jget() { $PY -c 'import json,sys; d=json.loads(sys.argv[1]); print(d.get(sys.argv[2], ""))' "$1" "$2"; }

# A server that accepts on 127.0.0.1:$PORT and [::1]:$PORT6 and says nothing.
cat >"$TMP/silent.py" <<EOF
import select, socket, time
ls = []
for fam, addr in ((socket.AF_INET, ('127.0.0.1', $PORT)), (socket.AF_INET6, ('::1', $PORT6))):
    s = socket.socket(fam); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(addr); s.listen(64); ls.append(s)
held, end = [], time.time() + 600
while time.time() < end:
    r, _, _ = select.select(ls, [], [], 0.2)
    for s in r:
        held.append(s.accept()[0])
EOF
$NSX $PY "$TMP/silent.py" & SERVER=$!; PIDS+=($SERVER)
for _ in $(seq 1 50); do in_ns ss -tlnH | grep -q ":$PORT6 " && break; sleep 0.1; done

# local_port_of PID DPORT: the client's local port as ss shows it.
local_port_of() {
  local lp=""
  for _ in $(seq 1 100); do
    lp=$(in_ns ss -tnpH state established "( dport = :$2 )" | grep "pid=$1," | awk '{print $3}' | sed 's/.*://' | head -n 1)
    [ -n "$lp" ] && break
    sleep 0.05
  done
  echo "$lp"
}

# check_owner NAME PID ADDR FAMILY LPORT PROTO
check_owner() {
  local name=$1 pid=$2 addr=$3 fam=$4 lport=$5 proto=$6 reply exe
  reply=$(ask "$fam" "$addr" "$lport" "$proto")
  exe=$(readlink "/proc/$pid/exe")
  if [ "$(jget "$reply" found)" = 0 ] && [ "$(jget "$reply" pid)" = "$pid" ] &&
     [ "$(jget "$reply" path)" = "$exe" ] && [ "$(jget "$reply" uid)" = 0 ] &&
     [ "$(jget "$reply" user)" = root ] && [ "$(jget "$reply" pkg)" = "$(pkg_of "$exe")" ] &&
     [ -n "$(jget "$reply" pkg)" ]; then
    ok "$name ($proto $addr:$lport) -> pid $pid $exe [$(jget "$reply" pkg)]"
  else
    fail "$name ($proto $addr:$lport, pid $pid, $exe): $reply"
  fi
}

# ---- TCP clients: curl, python3, ssh ----------------------------------------
$NSX curl -s --max-time 600 "http://127.0.0.1:$PORT/" >/dev/null & CURL=$!; PIDS+=($CURL)
$NSX $PY -c "import socket,time; s=socket.create_connection(('127.0.0.1',$PORT)); time.sleep(600)" & PYC=$!; PIDS+=($PYC)
$NSX ssh -o BatchMode=yes -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null \
  -o ConnectTimeout=600 -p "$PORT" root@127.0.0.1 true 2>/dev/null & SSH=$!; PIDS+=($SSH)
$NSX $PY -c "import socket,time; s=socket.create_connection(('::1',$PORT6)); time.sleep(600)" & PY6=$!; PIDS+=($PY6)
for client in "curl $CURL $PORT find4 127.0.0.1" "python3 $PYC $PORT find4 127.0.0.1" \
            "ssh $SSH $PORT find4 127.0.0.1" "python3-ipv6 $PY6 $PORT6 find6 ::1"; do
  set -- $client
  lp=$(local_port_of "$2" "$3")
  if [ -z "$lp" ]; then fail "$1: no connection in ss -tnp"; continue; fi
  check_owner "$1" "$2" "$5" "$4" "$lp" tcp
done
check_owner "accepting server" "$SERVER" 127.0.0.1 find4 "$PORT" tcp

# The CONNECT events themselves, with the client's pid and path. Each
# question makes the monitor handle the events waiting.
connect_events() {  # [quiet]
  ask find4 0.0.0.0 0 tcp >/dev/null
  $PY - "$TMP/out" "$PORT" "$CURL $PYC $SSH" "$@" <<'EOF'
import json, sys
port, pids = int(sys.argv[2]), set(int(p) for p in sys.argv[3].split())
seen = set()
for line in open(sys.argv[1]):
    if line.startswith('{'):
        e = json.loads(line)
        if e.get('TCP_EVENT_TYPE') == 'CONNECT' and e.get('L4_DST_PORT') == port:
            seen.add(e['LOCAL_PROCESS']['PID'])
if not pids <= seen and len(sys.argv) < 5:
    print('missing', pids - seen, 'seen', seen)
sys.exit(0 if pids <= seen else 1)
EOF
}
e2e_wait_until 5 connect_events quiet
connect_events && ok "CONNECT events for curl, python3 and ssh" || fail "CONNECT events"

# ---- a refused connect ----------------------------------------------------------
$NSX curl -s --max-time 3 "http://127.0.0.1:$CLOSED/" >/dev/null & FAILED=$!; PIDS+=($FAILED)
wait "$FAILED" 2>/dev/null
# The monitor's event may come after curl has gone on a loaded machine:
# look again for a bounded while.
connect_failed() {
  ask find4 0.0.0.0 0 tcp >/dev/null
  $PY - "$TMP/out" "$CLOSED" "$FAILED" <<'EOF'
import json, sys
port, pid = int(sys.argv[2]), int(sys.argv[3])
for line in open(sys.argv[1]):
    if line.startswith('{'):
        e = json.loads(line)
        p = e.get('LOCAL_PROCESS', {})
        if e.get('TCP_EVENT_TYPE') == 'CONNECT_FAILED' and e.get('L4_DST_PORT') == port and \
           p.get('PID') == pid and p.get('PROCESS_PATH', '').endswith('curl'):
            sys.exit(0)
sys.exit(1)
EOF
}
e2e_wait_until 10 connect_failed; seen=$?
[ $seen -eq 0 ] && ok "refused connect: CONNECT_FAILED of curl" || fail "no CONNECT_FAILED for curl"

# ---- UDP: dig, and the one-per-second dedupe ------------------------------------------
# A UDP server that never answers, so dig waits for its reply.
$NSX $PY -c "import socket,time; s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM); s.bind(('127.0.0.1',$UPORT)); time.sleep(600)" & PIDS+=($!)
for _ in $(seq 1 50); do in_ns ss -ulnH | grep -q ":$UPORT " && break; sleep 0.1; done
$NSX dig @127.0.0.1 -p "$UPORT" x.test +tries=1 +time=60 >/dev/null & DIG=$!; PIDS+=($DIG)
dsport=""
for _ in $(seq 1 60); do
  sleep 0.05; ask find4 0.0.0.0 0 udp >/dev/null
  dsport=$($PY - "$TMP/out" "$UPORT" "$DIG" <<'EOF'
import json, sys
for line in open(sys.argv[1]):
    if line.startswith('{'):
        e = json.loads(line)
        if e.get('UDP_EVENT_TYPE') and e.get('L4_DST_PORT') == int(sys.argv[2]) and \
           e.get('DIRECTION') == 'TX' and e.get('LOCAL_PROCESS', {}).get('PID') == int(sys.argv[3]):
            print(e['L4_SRC_PORT']); break
EOF
)
  [ -n "$dsport" ] && break
done
if [ -n "$dsport" ]; then check_owner dig "$DIG" 127.0.0.1 find4 "$dsport" udp; else fail "no UDP event for dig"; fi

# Three datagrams at once; then, once their event is out and more than a
# second has passed since the first, a fourth from the same socket. The
# sender writes how long the three took: only a burst within the second
# must give a single event.
$NSX $PY - "$TMP/udp.burst" "$TMP/udp.go" <<EOF & UDPC=$!; PIDS+=($UDPC)
import os, socket, sys, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
start = time.monotonic()
for _ in range(3): s.sendto(b'x', ('127.0.0.1', $UPORT2))
open(sys.argv[1], 'w').write('%.3f' % (time.monotonic() - start))
for _ in range(300):
    if os.path.exists(sys.argv[2]): break
    time.sleep(0.1)
while time.monotonic() - start < 1.2: time.sleep(0.05)
s.sendto(b'y', ('127.0.0.1', $UPORT2))
EOF
# The monitor sees every namespace: count only this sender's events.
udp_events() {
  ask find4 0.0.0.0 0 udp >/dev/null
  $PY - "$TMP/out" "$UPORT2" "$UDPC" <<'EOF'
import json, sys
port, pid = int(sys.argv[2]), int(sys.argv[3])
print(sum(1 for line in open(sys.argv[1]) if line.startswith('{') and
          json.loads(line).get('L4_DST_PORT') == port and
          json.loads(line).get('LOCAL_PROCESS', {}).get('PID') == pid))
EOF
}
one_udp_event() { [ "$(udp_events)" -ge 1 ]; }
two_udp_events() { [ "$(udp_events)" -ge 2 ]; }
e2e_wait_until 10 one_udp_event
touch "$TMP/udp.go"
wait "$UDPC"
e2e_wait_until 10 two_udp_events
n=$(udp_events)
burst=$(cat "$TMP/udp.burst" 2>/dev/null)
if [ "$n" = 2 ]; then ok "UDP datagrams within a second give one event ($n events for 4 datagrams)"
elif $PY -c "import sys; sys.exit(0 if float(sys.argv[1] or 9) < 1 else 1)" "$burst"; then
  fail "UDP dedupe: $n events for 4 datagrams"
else ok "UDP dedupe not judged: the first three datagrams took $burst s"; fi

# ---- the socket lister against ss, over many sockets ------------------------------------
cat >"$TMP/many.py" <<'EOF'
import socket, sys, time
keep = []
for i in range(150):
    for fam, typ, addr in ((socket.AF_INET, socket.SOCK_STREAM, '0.0.0.0'),
                           (socket.AF_INET6, socket.SOCK_STREAM, '::'),
                           (socket.AF_INET, socket.SOCK_DGRAM, '0.0.0.0'),
                           (socket.AF_INET6, socket.SOCK_DGRAM, '::'),
                           (socket.AF_INET, socket.SOCK_DGRAM, '127.0.0.1')):
        s = socket.socket(fam, typ)
        if fam == socket.AF_INET6:
            s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
        s.bind((addr, 0))
        if typ == socket.SOCK_STREAM:
            s.listen(4)
        keep.append(s)
open(sys.argv[1], 'w').write('ok')
time.sleep(600)
EOF
$NSX $PY "$TMP/many.py" "$TMP/many.ready" & MANY=$!; PIDS+=($MANY)
for _ in $(seq 1 100); do [ -s "$TMP/many.ready" ] && break; sleep 0.1; done
reply=$(ask sockets)
in_ns ss -tulnpH >"$TMP/ss.txt"
$PY - "$reply" "$TMP/ss.txt" "$MANY" <<'EOF' && ok "socket list matches ss -tuln ($(echo "$reply" | grep -o local_port | wc -l) sockets)" || fail "socket list differs from ss"
import json, re, sys
listed = json.loads(sys.argv[1])
ours = {(r['l4_proto'], r['local_ip'], r['local_port']): r['pid'] for r in listed}
ss = {}
for line in open(sys.argv[2]):
    f = line.split()
    proto = 6 if f[0] == 'tcp' else 17
    ip, port = f[4].rsplit(':', 1)
    ip = ip.strip('[]').split('%')[0]
    if ip == '*': ip = '0.0.0.0'
    if ip == '127.0.0.1': continue
    m = re.search(r'pid=(\d+)', line)
    ss[(proto, ip, int(port))] = int(m.group(1)) if m else None
bad = {k: (ours.get(k), v) for k, v in ss.items() if ours.get(k) != v}
bad.update({k: (v, None) for k, v in ours.items() if k not in ss})
many = sum(1 for v in ours.values() if v == int(sys.argv[3]))
if bad or many != 600:
    print('differences', list(bad.items())[:5], 'sockets of the load process', many)
    sys.exit(1)
EOF

# ---- a hostile program path ---------------------------------------------------------------
EVIL="$TMP/ev il\"'\$(touch pwned);touch pwned2;"$'\n'"x"
cp /usr/bin/python3.11 "$EVIL"
$NSX "$EVIL" -c "
import socket, time
l = socket.socket(); l.bind(('0.0.0.0', 0)); l.listen(1)
u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); u.bind(('0.0.0.0', 0))
c = socket.create_connection(('127.0.0.1', $PORT)); time.sleep(600)
" & EVILPID=$!; PIDS+=($EVILPID)
lp=$(local_port_of "$EVILPID" "$PORT")
reply=$(ask find4 127.0.0.1 "${lp:-0}" tcp)
[ "$(jget "$reply" path)" = "$EVIL" ] && [ "$(jget "$reply" pkg)" = "" ] && [ "$(jget "$reply" pid)" = "$EVILPID" ] \
  && ok "hostile path attributed as it is" || fail "hostile path lookup: $reply"
sockets=$(ask sockets)
$PY - "$sockets" "$EVIL" "$EVILPID" <<'EOF' && ok "socket list valid JSON with the hostile path" || fail "hostile path in the socket list"
import json, sys
sockets, evil, pid = json.loads(sys.argv[1]), sys.argv[2], int(sys.argv[3])
mine = [r for r in sockets if r['pid'] == pid]
assert [(r['proc_name'], r['proc_pkg']) for r in mine] == [(evil, '')] * 2, mine
EOF

# The host description needs the process-event connector, which exists in
# the initial network namespace only: it is checked there, with listeners
# that only listen (no traffic): a hostile one on any address, python3 on
# any address, and one on 127.0.0.1 (left out).
"$EVIL" -c "
import socket, sys, time
l = socket.socket(); l.bind(('0.0.0.0', 0)); l.listen(1)
p = socket.socket(); p.bind(('127.0.0.1', 0)); p.listen(1)
open(sys.argv[1], 'w').write('%d %d' % (l.getsockname()[1], p.getsockname()[1])); time.sleep(600)
" "$TMP/evil.ports" & PIDS+=($!)
$PY -c "
import socket, sys, time
l = socket.socket(); l.bind(('0.0.0.0', 0)); l.listen(1)
open(sys.argv[1], 'w').write('%d' % l.getsockname()[1]); time.sleep(600)
" "$TMP/py.port" & PIDS+=($!)
for _ in $(seq 1 100); do [ -s "$TMP/evil.ports" ] && [ -s "$TMP/py.port" ] && break; sleep 0.1; done
host=$(printf '%s\nquit\n' 'host lab"1\n$(touch pwned)' | "$SOCKMON" --no-monitor 2>/dev/null | grep '^> ' | cut -c3-)
ip -4 -o addr show | awk '{print $4}' | cut -d/ -f1 >"$TMP/addrs"
$PY - "$host" "$EVIL" "$(cat "$TMP/evil.ports")" "$(cat "$TMP/py.port")" "$TMP/addrs" <<'EOF' && ok "host description valid JSON with the hostile name and path" || fail "host description"
import json, sys
host = json.loads(sys.argv[1])
evil, (evil_port, lo_port), py_port = sys.argv[2], map(int, sys.argv[3].split()), int(sys.argv[4])
assert host['instance-name'] == 'lab"1\n$(touch pwned)', host['instance-name']
want = set(open(sys.argv[5]).read().split()) - {'127.0.0.1', '192.168.122.1', '192.168.16.1'}
assert set(host['ip-addresses']) == want, (host['ip-addresses'], want)
tcp4 = {r['port']: r for r in host['listening-ports']['tcp4']}
assert tcp4[evil_port]['proc'] == evil and tcp4[evil_port]['pkg'] == '', tcp4.get(evil_port)
assert tcp4[py_port]['proc'].startswith('/usr/bin/python3') and tcp4[py_port]['pkg'] == 'python3.11-minimal', tcp4.get(py_port)
assert lo_port not in tcp4, 'a 127.0.0.1 listener is left out'
EOF
# Every event line the monitor printed is valid JSON too.
$PY -c "
import json, sys
n = 0
for line in open('$TMP/out'):
    if line.startswith('{'): json.loads(line); n += 1
print(n)" >"$TMP/nevents" && ok "all $(cat "$TMP/nevents") event lines are valid JSON" || fail "an event line is not JSON"
ls "$TMP"/pwned* /pwned* >/dev/null 2>&1 && fail "a hostile name ran a command" || ok "no hostile name ran anything"

# ---- without root ---------------------------------------------------------------------------
out=$(printf 'sockets\nhost lab\nfind4 127.0.0.1 %s tcp\nquit\n' "$PORT" |
      in_ns setpriv --reuid=65534 --regid=65534 --clear-groups "$SOCKMON" 2>/dev/null); rc=$?
if [ $rc = 0 ] && [ "$(echo "$out" | grep -c '^> null$')" = 2 ] && echo "$out" | grep -q '^nomonitor fd=-1 poll=0' &&
   echo "$out" | grep -q '^> {"found":-1}$'; then
  ok "as uid 65534: no monitor, null lists, lookups -1, exit 0"
else
  fail "as uid 65534 (rc $rc): $out"
fi

echo quit >&3
[ $FAIL = 0 ] && echo "PASS" || { echo "--- monitor stderr"; tail -n 20 "$TMP/err"; }
exit $FAIL
