# Recipes for the service captures of this folder, sourced by ../record.sh
# (which provides setup, start_s, capture_start/capture_stop).
RECIPES+=(services/dicom services/collectd services/nmap_clients services/nmap_clients2 services/amqp services/natpmp services/dcerpc services/ceph)

# dcmtk: echoscu's C-ECHO to storescp on DICOM's 11112 and on 4242.
record_dicom() {
  setup 1500
  mkdir -p "$WORK/dicom"
  start_s storescp -od "$WORK/dicom" 11112
  local a_pid=${PIDS[-1]}
  start_s storescp -od "$WORK/dicom" 4242
  local b_pid=${PIDS[-1]}
  wait_port t 11112
  wait_port t 4242
  capture_start dicom
  in_c timeout 10 echoscu "$SRV4" 11112 > /dev/null 2>&1 || true
  in_c timeout 10 echoscu "$SRV4" 4242 > /dev/null 2>&1 || true
  capture_stop dicom
  stop_pid "$a_pid"
  stop_pid "$b_pid"
  teardown
}

# collectd's network plugin: one instance sends its load and memory values
# (with its host name) every second to another that listens on 25826.
record_collectd() {
  setup 1500
  cat > "$WORK/server.conf" <<CONF
Hostname "collector.vesk.test"
Interval 1
BaseDir "$WORK"
PIDFile "$WORK/server.pid"
LoadPlugin network
<Plugin network>
  Listen "$SRV4" "25826"
</Plugin>
CONF
  cat > "$WORK/client.conf" <<CONF
Hostname "probe.vesk.test"
Interval 1
BaseDir "$WORK"
PIDFile "$WORK/client.pid"
LoadPlugin load
LoadPlugin memory
LoadPlugin network
<Plugin network>
  Server "$SRV4" "25826"
</Plugin>
CONF
  start_s collectd -f -C "$WORK/server.conf"
  local srv_pid=${PIDS[-1]}
  wait_port u 25826
  capture_start collectd
  in_c collectd -f -C "$WORK/client.conf" > "$WORK/client.log" 2>&1 &
  local cli_pid=$!
  PIDS+=($cli_pid)
  sleep 4
  stop_pid "$cli_pid"
  capture_stop collectd
  stop_pid "$srv_pid"
  teardown
}

# nmap's bitcoin-info, giop-info and drda-info scripts against listeners
# that accept and keep the connection open: the captures hold the real
# clients' first messages (the listeners answer nothing).
record_nmap_clients() {
  setup 1500
  local p pids=()
  for p in 8333 2809 50000; do
    start_s ncat -l -k "$SRV4" "$p"
    pids+=("${PIDS[-1]}")
  done
  for p in 8333 2809 50000; do wait_port t "$p"; done
  capture_start nmap_clients
  in_c timeout 20 nmap -n -Pn -sT -p 8333 --script bitcoin-info --script-timeout 5s "$SRV4" > /dev/null 2>&1 || true
  in_c timeout 20 nmap -n -Pn -sT -p 2809 --script giop-info --script-timeout 5s "$SRV4" > /dev/null 2>&1 || true
  in_c timeout 20 nmap -n -Pn -sT -p 50000 --script drda-info --script-timeout 5s "$SRV4" > /dev/null 2>&1 || true
  capture_stop nmap_clients
  for p in "${pids[@]}"; do stop_pid "$p"; done
  teardown
}

# More of nmap's scripts, each a real client's first messages: ms-sql-info,
# mongodb-info (also forced onto 27018), oracle-tns-version, ajp-headers
# and cassandra-info against ncat listeners that answer nothing,
# rmi-dumpregistry against rmiregistry on 1099, and bjnp-discover and
# citrix-enum-apps over UDP to a sink that answers nothing.
record_nmap_clients2() {
  setup 1500
  local p pids=()
  for p in 1433 27017 27018 1521 8009 9160; do
    start_s ncat -l -k "$SRV4" "$p"
    pids+=("${PIDS[-1]}")
  done
  start_s rmiregistry -J-Djava.rmi.server.hostname="$SRV4" 1099
  pids+=("${PIDS[-1]}")
  start_udp_sink 8611 8612 1604
  pids+=("${PIDS[-1]}")
  for p in 1433 27017 27018 1521 8009 9160; do wait_port t "$p"; done
  for p in 1 2 3 4; do wait_port t 1099 2> /dev/null && break; done
  wait_port t 1099
  wait_port u 1604
  local n="in_c timeout 20 nmap -n -Pn --script-timeout 5s"
  capture_start nmap_clients2
  $n -sT -p 1433 --script ms-sql-info "$SRV4" > /dev/null 2>&1 || true
  $n -sT -p 27017 --script mongodb-info "$SRV4" > /dev/null 2>&1 || true
  $n -sT -p 27018 --script +mongodb-info "$SRV4" > /dev/null 2>&1 || true
  $n -sT -p 1521 --script oracle-tns-version "$SRV4" > /dev/null 2>&1 || true
  $n -sT -p 8009 --script ajp-headers "$SRV4" > /dev/null 2>&1 || true
  $n -sT -p 9160 --script cassandra-info "$SRV4" > /dev/null 2>&1 || true
  $n -sT -p 1099 --script rmi-dumpregistry "$SRV4" > /dev/null 2>&1 || true
  $n -sU -p 8611 --script bjnp-discover "$SRV4" > /dev/null 2>&1 || true
  $n -sU -p 1604 --script citrix-enum-apps "$SRV4" > /dev/null 2>&1 || true
  capture_stop nmap_clients2
  for p in "${pids[@]}"; do stop_pid "$p"; done
  teardown
}

# rabbitmq-server (its own node, config and data under $WORK, epmd on the
# namespace's loopback) with AMQP listeners on 5672 and 7672: python3-pika
# declares a queue, publishes one message and gets it back on 5672, then
# publishes another that amqp-get (amqp-tools) fetches on 7672.
record_amqp() {
  setup 1500
  local i
  start_rabbitmq "$(printf 'listeners.tcp.1 = %s:5672\nlisteners.tcp.2 = %s:7672\nloopback_users = none' "$SRV4" "$SRV4")" '[].'
  # The broker takes some seconds to boot; wait_port waits 5 s a call.
  for i in $(seq 1 12); do wait_port t 7672 2> /dev/null && break; done
  wait_port t 5672
  cat > "$WORK/amqp_client.py" <<'PY'
import sys, pika
params = pika.ConnectionParameters(sys.argv[1], 5672, credentials=pika.PlainCredentials("guest", "guest"),
                                   heartbeat=0, socket_timeout=5, blocked_connection_timeout=5)
c = pika.BlockingConnection(params)
ch = c.channel()
ch.queue_declare("vesk")
ch.basic_publish("", "vesk", b"hello")
for _ in range(20):
    method, _, body = ch.basic_get("vesk", auto_ack=True)
    if method:
        break
    c.sleep(0.1)
ch.basic_publish("", "vesk", b"hello again")
c.close()
PY
  capture_start amqp
  in_c timeout 15 /usr/bin/python3 "$WORK/amqp_client.py" "$SRV4" || true
  in_c timeout 15 amqp-get -s "$SRV4:7672" -q vesk > /dev/null 2>&1 || true
  capture_stop amqp
  stop_pid "$RMQ_PID"
  stop_pid "$RMQ_EPMD_PID"
  teardown
}

# miniupnpd with NAT-PMP only (no UPnP, no STUN) on the server namespace's
# veth, its external side a second veth pair inside that namespace with a
# private address, its nftables chains made in that namespace; natpmpc asks
# for the public address and for a TCP mapping on 5351. With a private
# external address miniupnpd answers both with "network failure".
record_natpmp() {
  setup 1500
  mkdir -p "$WORK/natpmp"
  in_s ip link add ext0 type veth peer name ext1
  in_s ip link set ext0 up
  in_s ip link set ext1 up
  in_s ip addr add 10.201.0.1/24 dev ext0
  cat > "$WORK/natpmp/rules.nft" <<'NFT'
table inet filter {
  chain forward { type filter hook forward priority 0; policy drop; jump miniupnpd; }
  chain miniupnpd { }
  chain prerouting { type nat hook prerouting priority -100; policy accept; jump prerouting_miniupnpd; }
  chain postrouting { type nat hook postrouting priority 100; policy accept; jump postrouting_miniupnpd; }
  chain prerouting_miniupnpd { }
  chain postrouting_miniupnpd { }
}
NFT
  in_s nft -f "$WORK/natpmp/rules.nft"
  cat > "$WORK/natpmp/miniupnpd.conf" <<CONF
ext_ifname=ext0
listening_ip=vcap-s
enable_natpmp=yes
enable_upnp=no
ext_perform_stun=no
lease_file=$WORK/natpmp/leases
secure_mode=yes
allow 1024-65535 10.200.0.0/24 1024-65535
deny 0-65535 0.0.0.0/0 0-65535
CONF
  start_s miniupnpd -d -f "$WORK/natpmp/miniupnpd.conf" -P "$WORK/natpmp/pid"
  local mu_pid=${PIDS[-1]}
  wait_port u 5351
  # Its start-up announcement stays out of the capture.
  sleep 1
  capture_start natpmp
  in_c timeout 10 natpmpc -g "$SRV4" > /dev/null 2>&1 || true
  in_c timeout 10 natpmpc -g "$SRV4" -a 4000 4000 tcp 60 > /dev/null 2>&1 || true
  capture_stop natpmp
  stop_pid "$mu_pid"
  teardown
}

# samba-dcerpcd standing alone (its endpoint mapper on 135, the other
# interfaces on one port of a small dynamic range) and rpcclient over
# ncacn_ip_tcp as a guest: srvinfo asks the endpoint mapper where srvsvc is
# (a DCE/RPC bind and an ept_map call on 135), then binds there and calls
# NetSrvGetInfo.
record_dcerpc() {
  setup 1500
  local smb=$WORK/smb
  mkdir -p "$smb/state"
  chmod 755 "$WORK" "$smb"
  cat > "$smb/smb.conf" <<CONF
[global]
  interfaces = $SRV4/24
  bind interfaces only = yes
  map to guest = Bad User
  server role = standalone server
  lock directory = $smb/state
  state directory = $smb/state
  cache directory = $smb/state
  private dir = $smb/state
  pid directory = $smb/state
  ncalrpc dir = $smb/state/ncalrpc
  log file = $smb/log
  disable spoolss = yes
  load printers = no
  rpc start on demand helpers = no
  rpc server dynamic port range = 49152-49159
CONF
  start_s /usr/libexec/samba/samba-dcerpcd --foreground --no-process-group --libexec-rpcds --configfile="$smb/smb.conf"
  local rpc_pid=${PIDS[-1]}
  local i
  for i in $(seq 1 4); do wait_port t 135 2> /dev/null && break; done
  wait_port t 135
  capture_start dcerpc
  in_c timeout 15 rpcclient -U% -s "$smb/smb.conf" "ncacn_ip_tcp:$SRV4" -c srvinfo > /dev/null 2>&1 || true
  capture_stop dcerpc
  stop_pid "$rpc_pid"
  teardown
}

# ceph-mon: one monitor (cephx, its keyring and data in the work folder,
# bound to the server's address: msgr2 on 3300, msgr1 on 6789) and the ceph
# CLI asking it for the cluster status over each.
record_ceph() {
  setup 1500
  local d="$WORK/ceph" fsid=6f1c2a8e-3b4d-4c5e-9f70-81a2b3c4d5e6
  mkdir -p "$d/mon" "$d/run" "$d/log"
  cat > "$d/ceph.conf" <<CONF
[global]
fsid = $fsid
mon_initial_members = a
mon_host = [v2:$SRV4:3300,v1:$SRV4:6789]
public_addr = $SRV4
auth_cluster_required = cephx
auth_service_required = cephx
auth_client_required = cephx
ms_bind_ipv6 = false
mon_data = $d/mon/\$cluster-\$id
run_dir = $d/run
admin_socket = $d/run/\$name.asok
log_file = $d/log/\$name.log
mon_allow_pool_delete = false
CONF
  ceph-authtool --create-keyring "$d/keyring" --gen-key -n mon. --cap mon 'allow *' > /dev/null
  ceph-authtool "$d/keyring" --gen-key -n client.admin --cap mon 'allow *' --cap osd 'allow *' \
    --cap mgr 'allow *' --cap mds 'allow *' > /dev/null
  monmaptool --create --addv a "[v2:$SRV4:3300,v1:$SRV4:6789]" --fsid "$fsid" "$d/monmap" > /dev/null
  ceph-mon --mkfs -i a -c "$d/ceph.conf" --monmap "$d/monmap" --keyring "$d/keyring"
  start_s ceph-mon -f -i a -c "$d/ceph.conf"
  local mon_pid=${PIDS[-1]}
  wait_port t 3300
  wait_port t 6789
  capture_start ceph
  in_c timeout 20 ceph -s -c "$d/ceph.conf" --keyring "$d/keyring" -n client.admin --connect-timeout 10 \
    -m "v2:$SRV4:3300" > "$WORK/ceph-v2.log" 2>&1 || true
  in_c timeout 20 ceph -s -c "$d/ceph.conf" --keyring "$d/keyring" -n client.admin --connect-timeout 10 \
    -m "v1:$SRV4:6789" > "$WORK/ceph-v1.log" 2>&1 || true
  capture_stop ceph
  cat "$WORK/ceph-v2.log" "$WORK/ceph-v1.log" >&2
  stop_pid "$mon_pid"
  teardown
}
