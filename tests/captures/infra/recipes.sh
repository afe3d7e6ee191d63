# Recipes for the infrastructure captures of this folder, sourced by
# ../record.sh (which provides setup, start_s, capture_start/capture_stop and
# the rest). Real daemons and clients from Debian in two namespaces.
RECIPES+=(infra/nontcp infra/ntp infra/snmp infra/syslog infra/radius infra/ike infra/ike_exchanges infra/mndp infra/munin infra/rmcp infra/vrrp infra/zabbix infra/bgp infra/netflow infra/ptp infra/openflow infra/sflow infra/gtp infra/ldp)

# Like capture_start, but keeps every IP protocol (IPv6 too) except
# neighbour discovery.
capture_start_all() {
  ip netns exec "$NS_S" tcpdump -Z root -q -U -s 0 -i vcap-s -w "$WORK/$1.pcap" \
    'ip or (ip6 and not (icmp6 and ip6[40] >= 133 and ip6[40] <= 137))' > "$WORK/tcpdump-$1.log" 2>&1 &
  CAP_PID=$!
  PIDS+=($CAP_PID)
  local i
  for i in $(seq 1 50); do
    grep -q "listening on" "$WORK/tcpdump-$1.log" 2>/dev/null && break
    sleep 0.1
  done
  sleep 0.5
}

# A UDP sink in the server namespace, so that no port-unreachable answers
# join the capture.
udp_sink() { start_s socat -u "UDP-RECVFROM:$1,fork,reuseaddr" /dev/null; wait_port u "$1"; }

record_nontcp() {
  setup 1500
  capture_start_all nontcp
  in_c ping -c 2 -i 0.2 -W 2 "$SRV4" > /dev/null
  in_c ping -6 -c 2 -i 0.2 -W 2 "$SRV6" > /dev/null
  # An IGMP join on the client's side.
  in_c ip route add 239.0.0.0/8 dev vcap-c
  in_c timeout 1 socat -u "UDP4-RECV:5000,ip-add-membership=239.1.2.3:vcap-c" /dev/null || true
  capture_stop nontcp
  teardown
}

record_ntp() {
  setup 1500
  printf 'allow all\nlocal stratum 8\nbindaddress %s\nport 123\npidfile %s/chronyd.pid\ncmdport 0\n' "$SRV4" "$WORK" > "$WORK/chrony.conf"
  start_s chronyd -f "$WORK/chrony.conf" -x -d
  wait_port u 123
  sleep 1
  capture_start ntp
  in_c ntpdate -q "$SRV4" > /dev/null 2>&1 || true
  in_c sntp -t 2 "$SRV4" > /dev/null 2>&1 || true
  capture_stop ntp
  teardown
}

record_snmp() {
  setup 1500
  printf 'rocommunity public\nagentaddress udp:%s:161\n' "$SRV4" > "$WORK/snmpd.conf"
  start_s snmpd -f -Lo -C -c "$WORK/snmpd.conf" -p "$WORK/snmpd.pid"
  wait_port u 161
  capture_start snmp
  in_c snmpget -v1 -c public -r 0 -t 2 "$SRV4" 1.3.6.1.2.1.99.0 > /dev/null 2>&1 || true
  in_c snmpget -v2c -c public -r 0 -t 2 "$SRV4" 1.3.6.1.2.1.1.1.0 > /dev/null 2>&1 || true
  in_c snmpwalk -v2c -c public -r 0 -t 2 "$SRV4" 1.3.6.1.2.1.1 > /dev/null 2>&1 || true
  capture_stop snmp
  teardown
}

record_syslog() {
  setup 1500
  udp_sink 514
  udp_sink 5514
  start_s socat -u TCP-LISTEN:601,fork,reuseaddr /dev/null
  wait_port t 601
  capture_start syslog
  in_c logger -n "$SRV4" -P 514 -d -t vesk "hello from the client"
  in_c logger --rfc5424 -n "$SRV4" -P 5514 -d -t vesk "hello in rfc 5424"
  in_c logger -n "$SRV4" -P 601 -T -t vesk "hello over tcp"
  sleep 0.3
  capture_stop syslog
  teardown
}

record_radius() {
  setup 1500
  cp -r /etc/freeradius/3.0 "$WORK/raddb"
  printf 'client vesk { ipaddr = %s\n secret = testing123 }\n' "$CLI4" >> "$WORK/raddb/clients.conf"
  printf 'bob Cleartext-Password := "hello"\n' > "$WORK/raddb/mods-config/files/authorize.vesk"
  cat "$WORK/raddb/mods-config/files/authorize" >> "$WORK/raddb/mods-config/files/authorize.vesk"
  mv "$WORK/raddb/mods-config/files/authorize.vesk" "$WORK/raddb/mods-config/files/authorize"
  chmod -R a+rX "$WORK"
  start_s freeradius -f -d "$WORK/raddb" -l stdout
  wait_port u 1812
  capture_start radius
  echo 'User-Name = bob, User-Password = hello' | in_c radclient -r 1 -t 2 "$SRV4:1812" auth testing123 > /dev/null 2>&1 || true
  echo 'User-Name = bob, User-Password = wrong' | in_c radclient -r 1 -t 2 "$SRV4:1812" auth testing123 > /dev/null 2>&1 || true
  capture_stop radius
  teardown
}

record_ike() {
  setup 1500
  udp_sink 500
  capture_start ike
  in_c timeout 4 charon-cmd --host "$SRV4" --identity client@vesk.test --profile ikev2-eap > /dev/null 2>&1 < /dev/null || true
  capture_stop ike
  teardown
}

# strongSwan's charon (swanctl's configuration through vici, certificates
# of a small CA made here) answers charon-cmd; the client offers AES-256 and
# AES-128 with SHA-256 over Curve25519 and MODP-3072 (or, in one proposal of
# its own, AES-GCM-16 256 and 128), and the responder's configuration picks
# and gives the client an address of its own. Each
# exchange goes into its own capture: IKE_SA_INIT on UDP 500, then IKE_AUTH
# and the DELETE when the client stops on 4500, where both sides move.
ike_pki() {
  local d=$WORK/ike
  mkdir -p "$d"
  openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/CN=vesk-ike-ca" -keyout "$d/ca.key" -out "$d/ca.pem" 2> /dev/null
  for who in server client; do
    openssl req -newkey rsa:2048 -nodes -subj "/CN=$who.vesk.test" -keyout "$d/$who.key" -out "$d/$who.csr" 2> /dev/null
    printf 'subjectAltName=DNS:%s.vesk.test\n' "$who" > "$d/$who.ext"
    openssl x509 -req -in "$d/$who.csr" -CA "$d/ca.pem" -CAkey "$d/ca.key" -CAcreateserial -days 30 \
      -extfile "$d/$who.ext" -out "$d/$who.pem" 2> /dev/null
  done
  # swanctl reads its credentials from folders beside its configuration.
  mkdir -p "$d/x509" "$d/x509ca" "$d/private"
  cp "$d/server.pem" "$d/x509/"; cp "$d/ca.pem" "$d/x509ca/"; cp "$d/server.key" "$d/private/"
}

ike_exchange() {  # capture name, responder's IKE proposal, its ESP proposal, client's IKE proposal
  local d=$WORK/ike
  local plugins="random nonce openssl gmp pem pkcs1 x509 pubkey revocation constraints curve25519 gcm aes sha1 sha2 hmac kdf kernel-netlink socket-default"
  # The client keeps to port 500 as the daemon does (its default is a
  # random port), so each exchange is one flow.
  cat > "$d/strongswan.conf" <<CONF
charon-cmd {
  load = $plugins
  port = 500
  port_nat_t = 4500
  install_routes = no
}
charon {
  load = $plugins vici
  install_routes = no
  plugins {
    vici {
      socket = unix://$d/charon.vici
    }
  }
}
CONF
  cat > "$d/swanctl.conf" <<CONF
connections {
  vesk {
    version = 2
    local_addrs = $SRV4
    proposals = $2
    pools = clients
    local {
      auth = pubkey
      certs = server.pem
      id = server.vesk.test
    }
    remote {
      auth = pubkey
      id = client.vesk.test
      cacerts = ca.pem
    }
    children {
      net {
        local_ts = $SRV4/32
        esp_proposals = $3
      }
    }
  }
}
pools {
  clients {
    addrs = 10.203.0.0/28
  }
}
secrets {
  private-server {
    file = server.key
  }
}
CONF
  rm -f "$d/charon.vici"
  start_s env STRONGSWAN_CONF="$d/strongswan.conf" /usr/lib/ipsec/charon
  local charon=${PIDS[-1]} i
  for i in $(seq 1 50); do [ -S "$d/charon.vici" ] && break; sleep 0.1; done
  in_s swanctl --load-all --file "$d/swanctl.conf" --uri "unix://$d/charon.vici" > "$WORK/swanctl.log" 2>&1 ||
    { cat "$WORK/swanctl.log" >&2; return 1; }
  wait_port u 500
  capture_start "$1"
  ip netns exec "$NS_C" timeout 20 env STRONGSWAN_CONF="$d/strongswan.conf" charon-cmd --host "$SRV4" \
    --identity client.vesk.test --remote-identity server.vesk.test --cert "$d/ca.pem" --cert "$d/client.pem" --rsa "$d/client.key" \
    --profile ikev2-pub --ike-proposal "${4:-aes256-aes128-sha256-curve25519-modp3072}" \
    --esp-proposal aes256gcm16-aes128gcm16 < /dev/null > "$WORK/charon-cmd.log" 2>&1 &
  local client=$!
  PIDS+=($client)
  for i in $(seq 1 150); do grep -q "CHILD_SA .* established" "$WORK/charon-cmd.log" && break; sleep 0.1; done
  stop_pid "$client"
  capture_stop "$1"
  stop_pid "$charon"
}

record_ike_exchanges() {
  setup 1500
  ike_pki
  ike_exchange ike_aes256 aes256-sha256-curve25519 aes256gcm16
  ike_exchange ike_aes128 aes128-sha256-modp3072 aes128gcm16
  ike_exchange ike_gcm256 aes256gcm16-prfsha256-curve25519 aes256gcm16 aes256gcm16-aes128gcm16-prfsha256-curve25519
  teardown
}

record_mndp() {
  setup 1500
  in_s ip route add 255.255.255.255/32 dev vcap-s 2>/dev/null || true
  in_c ip route add 255.255.255.255/32 dev vcap-c 2>/dev/null || true
  capture_start mndp
  in_c timeout 12 mactelnetd -f > /dev/null 2>&1 || true
  capture_stop mndp
  teardown
}

record_munin() {
  setup 1500
  sed -e 's/^background 1/background 0/' -e 's/^setsid 1/setsid 0/' -e "s|^log_file .*|log_file $WORK/munin.log|" \
      -e "s|^pid_file .*|pid_file $WORK/munin.pid|" /etc/munin/munin-node.conf > "$WORK/munin-node.conf"
  echo 'allow ^10\.200\.0\.2$' >> "$WORK/munin-node.conf"
  in_s hostname > /dev/null
  start_s munin-node --config "$WORK/munin-node.conf"
  wait_port t 4949
  capture_start munin
  (sleep 1; printf 'list\nquit\n') | in_c timeout 4 socat - "TCP:$SRV4:4949" > /dev/null || true
  capture_stop munin
  teardown
}

record_rmcp() {
  setup 1500
  udp_sink 623
  capture_start rmcp
  in_c timeout 5 ipmitool -I lan -H "$SRV4" -U admin -P secret -R 1 -N 1 chassis status > /dev/null 2>&1 || true
  capture_stop rmcp
  teardown
}

record_vrrp() {
  setup 1500
  cat > "$WORK/keepalived.conf" <<EOC
vrrp_instance vesk {
  state MASTER
  interface vcap-s
  virtual_router_id 51
  priority 150
  advert_int 1
  virtual_ipaddress { 10.200.0.100/24 }
}
EOC
  capture_start vrrp
  start_s keepalived -n -l -D -f "$WORK/keepalived.conf" -p "$WORK/ka.pid" -r "$WORK/vrrp.pid"
  sleep 4
  capture_stop vrrp
  teardown
}


# The agent's passive check; Debian ships no zabbix_get, so the request
# (the "ZBXD" header, version 1, the key's length and the key) is written here.
record_zabbix() {
  setup 1500
  printf 'Server=%s\nListenIP=%s\nListenPort=10050\nLogType=console\nPidFile=%s/zabbix.pid\nAllowRoot=1\n' \
    "$CLI4" "$SRV4" "$WORK" > "$WORK/zabbix_agentd.conf"
  start_s zabbix_agentd -f -c "$WORK/zabbix_agentd.conf"
  wait_port t 10050
  capture_start zabbix
  /usr/bin/python3 -c 'import struct,sys; k=b"agent.ping"; sys.stdout.buffer.write(b"ZBXD\x01"+struct.pack("<Q",len(k))+k)' \
    | in_c timeout 3 socat -t 2 - "TCP:$SRV4:10050" > /dev/null || true
  capture_stop zabbix
  teardown
}

# bird_conf FILE ID AS PEER PEER_AS PORT EXTRA: one eBGP session (hold time 9,
# keepalives every 3 s) exporting a static route, with BFD on the session.
bird_conf() {
  cat > "$1" <<EOC
router id $2;
log stderr all;
protocol device {}
protocol static { ipv4; route 198.51.100.0/24 blackhole; }
protocol bfd { interface "vcap-*" { min rx interval 200 ms; min tx interval 200 ms; }; }
protocol bgp peer {
  local $2 as $3;
  neighbor $4 port $6 as $5;
  hold time 9; keepalive time 3; connect retry time 1;
  bfd on;
  $7
  ipv4 { import all; export all; };
}
EOC
}

# Two bird daemons peering over the veth; the server's side is passive, so
# the client's bird opens the session.
bgp_pair() {  # NAME PORT
  bird_conf "$WORK/bird-s.conf" "$SRV4" 65001 "$CLI4" 65002 "$2" "passive on; local port $2;"
  bird_conf "$WORK/bird-c.conf" "$CLI4" 65002 "$SRV4" 65001 "$2" ""
  capture_start "$1"
  start_s bird -f -c "$WORK/bird-s.conf" -s "$WORK/bird-s.ctl"
  ip netns exec "$NS_C" bird -f -c "$WORK/bird-c.conf" -s "$WORK/bird-c.ctl" > "$WORK/bird-c.log" 2>&1 & PIDS+=($!)
  local i
  for i in $(seq 1 40); do
    in_s birdc -s "$WORK/bird-s.ctl" show protocols peer 2>/dev/null | grep -q Established && break
    sleep 0.25
  done
  # An update, keepalives both ways and BFD control packets.
  sleep 4
  capture_stop "$1"
}

record_bgp() {
  setup 1500
  bgp_pair bgp 179
  teardown
}

# softflowd exports the flows of a ping recorded on the client's side of the
# veth: NetFlow v5 to 2055, v9 to 9995 (a collector port of no standing) and
# IPFIX to 4739. It reads the ping from a file: watching the veth live, its
# capture waits for full buffer blocks, which this kernel hands over only
# when full (tcpdump needs --immediate-mode for the same reason).
record_netflow() {
  setup 1500
  udp_sink 2055
  udp_sink 9995
  udp_sink 4739
  ip netns exec "$NS_C" tcpdump -Z root -q -U --immediate-mode -i vcap-c -w "$WORK/ping.pcap" icmp > "$WORK/tcpdump-ping.log" 2>&1 & local tp=$!
  PIDS+=($tp)
  sleep 1
  in_c ping -c 3 -i 0.2 -W 2 "$SRV4" > /dev/null
  sleep 0.5
  stop_pid "$tp"
  capture_start netflow
  local v port
  for v in 5:2055 9:9995 10:4739; do
    port=${v#*:} v=${v%%:*}
    # softflowd keeps only the first 16 bytes of the file's name.
    (cd "$WORK" && in_c timeout 5 softflowd -d -r ping.pcap -v "$v" -n "$SRV4:$port" -c "sf$v.ctl" -p "sf$v.pid" \
      > "sf$v.log" 2>&1) || true
  done
  capture_stop netflow
  teardown
}

# ptp4l on both ends of the veth with software time stamps over UDP/IPv4:
# the server's side may be master (priority 1), the client's is slave only.
record_ptp() {
  setup 1500
  printf '[global]\npriority1 10\nlogAnnounceInterval -2\nlogSyncInterval -2\nlogMinDelayReqInterval -2\n' > "$WORK/ptp-s.conf"
  printf '[global]\nslaveOnly 1\nlogMinDelayReqInterval -2\n' > "$WORK/ptp-c.conf"
  capture_start ptp
  start_s ptp4l -f "$WORK/ptp-s.conf" -S -4 -i vcap-s -m
  ip netns exec "$NS_C" ptp4l -f "$WORK/ptp-c.conf" -S -4 -i vcap-c -m > "$WORK/ptp-c.log" 2>&1 & PIDS+=($!)
  sleep 5
  capture_stop ptp
  teardown
}

# Open vSwitch with the userspace datapath in the client's namespace (its
# database, sockets and logs in the work directory) and two test controllers
# in the server's: one on 6653, one on 16653 (a port of no standing). Each
# connection: hellos, features, configuration and echoes.
record_openflow() {
  setup 1500
  local ovs="$WORK/ovs" i
  mkdir -p "$ovs"
  ovsdb-tool create "$ovs/conf.db" /usr/share/openvswitch/vswitch.ovsschema
  export OVS_RUNDIR=$ovs OVS_LOGDIR=$ovs OVS_DBDIR=$ovs OVS_SYSCONFDIR=$ovs
  start_s ovs-testcontroller --no-chdir --unixctl="$ovs/tc1.ctl" ptcp:6653:"$SRV4"
  wait_port t 6653
  start_s ovs-testcontroller --no-chdir --unixctl="$ovs/tc2.ctl" ptcp:16653:"$SRV4"
  wait_port t 16653
  ip netns exec "$NS_C" ovsdb-server --no-chdir --remote=punix:"$ovs/db.sock" --unixctl="$ovs/db.ctl" \
    --log-file="$ovs/ovsdb.log" "$ovs/conf.db" > /dev/null 2>&1 & PIDS+=($!)
  for i in $(seq 1 50); do [ -S "$ovs/db.sock" ] && break; sleep 0.1; done
  ovs-vsctl --db=unix:"$ovs/db.sock" --no-wait init
  ovs-vsctl --db=unix:"$ovs/db.sock" --no-wait add-br br0 -- set bridge br0 datapath_type=netdev \
    controller='[@c1,@c2]' -- --id=@c1 create controller target="\"tcp:$SRV4:6653\"" inactivity_probe=1000 \
    -- --id=@c2 create controller target="\"tcp:$SRV4:16653\"" inactivity_probe=1000
  capture_start openflow
  ip netns exec "$NS_C" ovs-vswitchd --no-chdir --unixctl="$ovs/vs.ctl" --log-file="$ovs/vswitchd.log" \
    unix:"$ovs/db.sock" > /dev/null 2>&1 & PIDS+=($!)
  sleep 7
  capture_stop openflow
  unset OVS_RUNDIR OVS_LOGDIR OVS_DBDIR OVS_SYSCONFDIR
  teardown
}

# pmacctd's sFlow probe samples every packet of a ping recorded on the
# client's side of the veth (read from the file, as softflowd above does) and
# exports sFlow v5 to 6343.
record_sflow() {
  setup 1500
  udp_sink 6343
  ip netns exec "$NS_C" tcpdump -Z root -q -U --immediate-mode -i vcap-c -w "$WORK/ping.pcap" icmp > "$WORK/tcpdump-ping.log" 2>&1 & local tp=$!
  PIDS+=($tp)
  sleep 1
  in_c ping -c 5 -i 0.2 -W 2 "$SRV4" > /dev/null
  sleep 0.5
  stop_pid "$tp"
  printf 'daemonize: false\npcap_savefile: %s\nplugins: sfprobe\nsfprobe_receiver: %s:6343\nsfprobe_agentip: %s\nsampling_rate: 1\n' \
    "$WORK/ping.pcap" "$SRV4" "$CLI4" > "$WORK/pmacctd.conf"
  capture_start sflow
  in_c timeout 6 pmacctd -f "$WORK/pmacctd.conf" > "$WORK/pmacctd.log" 2>&1 || true
  capture_stop sflow
  teardown
}

# osmo-ggsn on the server's address (its own state directory, a tun device
# for its APN in the server's namespace) and sgsnemu in the client's: one
# PDP context (GTP-C create request and response on 2123), then three pings
# of the GGSN's tunnel address carried in G-PDUs on 2152, then the delete.
record_gtp() {
  setup 1500
  cat > "$WORK/ggsn.cfg" <<CFG
log stderr
 logging level all notice
line vty
 no login
 bind 127.0.0.1
ggsn ggsn0
 gtp state-dir $WORK
 gtp bind-ip $SRV4
 apn internet
  gtpu-mode tun
  tun-device vcaptun
  type-support v4
  ip prefix dynamic 10.201.0.0/24
  ip dns 0 $SRV4
  ip ifconfig 10.201.0.1/24
  no shutdown
 default-apn internet
 no shutdown ggsn
CFG
  capture_start gtp
  start_s osmo-ggsn -c "$WORK/ggsn.cfg"
  wait_port u 2123
  (cd "$WORK" && in_c timeout 8 sgsnemu -l "$CLI4" -r "$SRV4" --statedir="$WORK" --pidfile="$WORK/sgsnemu.pid" \
    --dns="$SRV4" --pinghost=10.201.0.1 --pingcount=3 --timelimit=5 > "$WORK/sgsnemu.log" 2>&1) || true
  capture_stop gtp
  teardown
}

# frr's zebra and ldpd on both ends (configurations, sockets and PID files in
# the work directory): LDP link hellos to 224.0.0.2:646, then the session on
# TCP 646 from the higher transport address: initialization, keepalives,
# address and label mappings.
ldp_node() {  # NS NAME ADDRESS IFACE
  local d="$WORK/$2"
  # The daemons run as frr (root is not in their vty group): their directory
  # is frr's, and the work directory lets it through.
  mkdir -p "$d"
  chmod o+x "$WORK"
  printf 'hostname %s\n' "$2" > "$d/zebra.conf"
  printf 'mpls ldp\n router-id %s\n address-family ipv4\n  discovery hello interval 1\n  discovery transport-address %s\n  interface %s\n  exit\n exit-address-family\n' \
    "$3" "$3" "$4" > "$d/ldpd.conf"
  chown -R frr:frr "$d"
  ip netns exec "$1" /usr/lib/frr/zebra -u frr -g frr -P 0 -f "$d/zebra.conf" -i "$d/zebra.pid" -z "$d/zserv.api" \
    --vty_socket "$d" > "$d/zebra.log" 2>&1 & PIDS+=($!)
  local i
  for i in $(seq 1 50); do [ -S "$d/zserv.api" ] && break; sleep 0.1; done
  ip netns exec "$1" /usr/lib/frr/ldpd -u frr -g frr -P 0 -f "$d/ldpd.conf" -i "$d/ldpd.pid" -z "$d/zserv.api" \
    --vty_socket "$d" --ctl_socket "$d" > "$d/ldpd.log" 2>&1 & PIDS+=($!)
}

record_ldp() {
  setup 1500
  capture_start ldp
  ldp_node "$NS_S" ldp-s "$SRV4" vcap-s
  ldp_node "$NS_C" ldp-c "$CLI4" vcap-c
  local i
  for i in $(seq 1 40); do
    in_s ss -H -tn state established '( sport = :646 or dport = :646 )' | grep -q . && break
    sleep 0.25
  done
  sleep 3
  capture_stop ldp
  # ldpd's parent stops its two worker processes when it is stopped itself.
  teardown
}
