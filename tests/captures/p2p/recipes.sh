# Recipes for the peer-to-peer captures of this folder, sourced by
# ../record.sh (which provides setup, start_s, capture_start/capture_stop).
# Every program here is told only the other namespace's address: no DHT
# bootstrap to public nodes, no trackers, no global discovery, relays,
# UPnP or NAT-PMP.
RECIPES+=(p2p/bittorrent p2p/bittorrent_utp p2p/syncthing p2p/monero)

# The BitTorrent and Monero peers talk from addresses of their own on the
# veth pair: the engine remembers their address pairs (BitTorrent's cache,
# the mining cache) for minutes, and in the mixed corpus those entries must
# not name another capture's flows between the usual two addresses.
BT_S=10.200.0.11 BT_C=10.200.0.12
XMR_S=10.200.0.21 XMR_C=10.200.0.22

# peer_addresses SERVER CLIENT: adds the pair and makes each side reach the
# other from its own, whatever the program binds.
peer_addresses() {
  in_s ip addr add "$1/24" dev vcap-s
  in_c ip addr add "$2/24" dev vcap-c
  in_s ip route add "$2/32" dev vcap-s src "$1"
  in_c ip route add "$1/32" dev vcap-c src "$2"
}

# A libtorrent session in each namespace, started by ARGS of bt_peer: ROLE
# (seed or leech) LISTEN_ADDRESS:PORT PEER_ADDRESS:PORT SAVE_DIR TORRENT
# TRANSPORT (tcp or utp) ENCRYPTION (plain: handshakes in the clear;
# forced: the encrypted handshake and RC4 on every connection) DHT (off,
# or on: the leecher's node is bootstrapped from the seeder's, the
# seeder's from nobody) SECONDS. The leecher is told the seeder's address
# with connect_peer and, once it has the whole file, touches SAVE_DIR/done
# and keeps running until it is stopped (or SECONDS pass), so the capture
# can end before either side goes away. An IP filter refuses every peer
# outside the namespaces' /24.
bt_files() {
  cat > "$WORK/bt_peer.py" <<'PY'
import sys, time
import libtorrent as lt
role, listen, peer, save, torrent, transport, encryption, dht, seconds = sys.argv[1:10]
utp = transport == "utp"
policy = int(lt.enc_policy.pe_forced if encryption == "forced" else lt.enc_policy.pe_disabled)
dht = dht == "on"
ses = lt.session({
    "listen_interfaces": listen,
    "outgoing_interfaces": listen.rsplit(":", 1)[0],
    "enable_dht": dht,
    "dht_bootstrap_nodes": peer if dht and role == "leech" else "",
    "enable_lsd": False,
    "enable_upnp": False,
    "enable_natpmp": False,
    "enable_incoming_utp": utp,
    "enable_outgoing_utp": utp,
    "enable_incoming_tcp": not utp,
    "enable_outgoing_tcp": not utp,
    "out_enc_policy": policy,
    "in_enc_policy": policy,
    "allowed_enc_level": int(lt.enc_level.pe_rc4 if encryption == "forced" else lt.enc_level.pe_plaintext),
    "alert_mask": 0,
})
f = lt.ip_filter()
f.add_rule("0.0.0.0", "255.255.255.255", 1)
f.add_rule("10.200.0.0", "10.200.0.255", 0)
ses.set_ip_filter(f)
host, port = peer.rsplit(":", 1)
if dht and role == "leech":
    ses.add_dht_node((host, int(port)))
h = ses.add_torrent({"ti": lt.torrent_info(torrent), "save_path": save})
deadline = time.time() + float(seconds)
if role == "leech":
    for _ in range(20):
        if h.status().state not in (lt.torrent_status.checking_files, lt.torrent_status.checking_resume_data):
            break
        time.sleep(0.1)
    h.connect_peer((host, int(port)))
done = False
while time.time() < deadline:
    if role == "leech" and not done and h.status().is_seeding:
        open(save + "/done", "w").close()
        done = True
    time.sleep(0.2)
PY
  # A 150 kB file of fixed bytes in 16 kB pieces, no trackers: the info
  # hash is the same at every recording.
  /usr/bin/python3 - "$WORK/bt" 150000 <<'PY'
import os, random, sys
import libtorrent as lt
out, size = sys.argv[1], int(sys.argv[2])
for d in ("seed", "leech"):
    os.makedirs(os.path.join(out, d), exist_ok=True)
with open(os.path.join(out, "seed", "vesk-sample.bin"), "wb") as f:
    f.write(random.Random(7).randbytes(size))
fs = lt.file_storage()
lt.add_files(fs, os.path.join(out, "seed", "vesk-sample.bin"))
ct = lt.create_torrent(fs, 16384, flags=lt.create_torrent.v1_only)
ct.set_creator("vesk")
lt.set_piece_hashes(ct, os.path.join(out, "seed"))
with open(os.path.join(out, "sample.torrent"), "wb") as f:
    f.write(lt.bencode(ct.generate()))
PY
}

# bt_start PORT TRANSPORT ENCRYPTION DHT: the seeder (server namespace,
# PORT) and the leecher (client namespace, 6881); waits (bounded) for the
# whole download. Their PIDs are left in BT_PIDS for bt_stop.
bt_start() {
  rm -rf "$WORK/bt/leech" && mkdir -p "$WORK/bt/leech"
  start_s /usr/bin/python3 "$WORK/bt_peer.py" seed "$BT_S:$1" "$BT_C:6881" "$WORK/bt/seed" "$WORK/bt/sample.torrent" "$2" "$3" "$4" 30
  BT_PIDS=("${PIDS[-1]}")
  if [ "$2" = utp ]; then wait_port u "$1"; else wait_port t "$1"; fi
  ip netns exec "$NS_C" /usr/bin/python3 "$WORK/bt_peer.py" leech "$BT_C:6881" "$BT_S:$1" "$WORK/bt/leech" \
    "$WORK/bt/sample.torrent" "$2" "$3" "$4" 30 > "$WORK/leech.log" 2>&1 &
  PIDS+=($!)
  BT_PIDS+=($!)
  local i
  for i in $(seq 1 100); do
    [ -e "$WORK/bt/leech/done" ] && break
    sleep 0.2
  done
  cmp -s "$WORK/bt/seed/vesk-sample.bin" "$WORK/bt/leech/vesk-sample.bin" || echo "record: $2 download on $1 incomplete" >&2
}

bt_stop() {
  local p
  for p in "${BT_PIDS[@]}"; do stop_pid "$p"; done
}

# The peer wire over TCP: in the clear on 40123 without the DHT, encrypted
# on 6881, then in the clear on 6881 with the DHT on between the two
# sessions; the capture stops before the last pair does, so no datagram
# finds a closed port.
record_bittorrent() {
  setup 1500
  peer_addresses "$BT_S" "$BT_C"
  bt_files
  capture_start bittorrent
  bt_start 40123 tcp plain off
  bt_stop
  bt_start 6881 tcp forced off
  bt_stop
  bt_start 6881 tcp plain on
  sleep 1
  capture_stop bittorrent
  bt_stop
  teardown
}

# The same download over uTP, no DHT: in the clear to the seeder on 6881,
# then encrypted to the seeder on 6882 (another pair of ports, so another
# flow).
record_bittorrent_utp() {
  setup 1500
  peer_addresses "$BT_S" "$BT_C"
  bt_files
  capture_start bittorrent_utp
  bt_start 6881 utp plain off
  bt_stop
  bt_start 6882 utp forced off
  capture_stop bittorrent_utp
  bt_stop
  teardown
}

# st_config HOME NAME OWN_ID OWN_ADDRESS PEER_ID PEER_ADDRESS: a syncthing
# home whose one folder is shared with the peer, reached at PEER_ADDRESS
# only (tcp://ADDRESS:22000, or dynamic: what local discovery heard):
# global discovery, relays, NAT traversal, STUN, usage and crash reports
# and upgrades off; local discovery (UDP 21027) on; no GUI.
st_config() {
  cat > "$1/config.xml" <<XML
<configuration version="36">
    <folder id="vesk-share" label="vesk-share" path="$1/share" type="sendreceive" rescanIntervalS="3600" fsWatcherEnabled="false">
        <device id="$3"></device>
        <device id="$5"></device>
    </folder>
    <device id="$3" name="$2" compression="metadata" introducer="false">
        <address>dynamic</address>
    </device>
    <device id="$5" name="peer" compression="metadata" introducer="false">
        <address>$6</address>
    </device>
    <gui enabled="false" tls="false">
        <address>127.0.0.1:8384</address>
    </gui>
    <options>
        <listenAddress>tcp://$4:22000</listenAddress>
        <globalAnnounceServer></globalAnnounceServer>
        <globalAnnounceEnabled>false</globalAnnounceEnabled>
        <localAnnounceEnabled>true</localAnnounceEnabled>
        <localAnnouncePort>21027</localAnnouncePort>
        <localAnnounceMCAddr>[ff12::8384]:21027</localAnnounceMCAddr>
        <relaysEnabled>false</relaysEnabled>
        <natEnabled>false</natEnabled>
        <startBrowser>false</startBrowser>
        <urAccepted>-1</urAccepted>
        <urURL></urURL>
        <autoUpgradeIntervalH>0</autoUpgradeIntervalH>
        <releasesURL></releasesURL>
        <crashReportingEnabled>false</crashReportingEnabled>
        <crashReportingURL></crashReportingURL>
        <stunKeepaliveStartS>0</stunKeepaliveStartS>
        <stunServer></stunServer>
        <announceLANAddresses>true</announceLANAddresses>
    </options>
</configuration>
XML
}

# Two syncthing instances, one per namespace, sharing a folder: the local
# discovery announcements (IPv4 broadcast, IPv6 multicast) and the TLS
# connection between them on TCP 22000 that carries one small file. Only
# the client is told the server's address: were both, the server's first
# dial, from its listening port to the client's before that listens, would
# be refused and leave the client's later connection on the same ports.
record_syncthing() {
  setup 1500
  local a="$WORK/st-a" b="$WORK/st-b" ida idb
  mkdir -p "$a/share" "$b/share"
  HOME=$a syncthing generate --home="$a" --no-default-folder > "$WORK/st-gen-a.log" 2>&1
  HOME=$b syncthing generate --home="$b" --no-default-folder > "$WORK/st-gen-b.log" 2>&1
  ida=$(sed -n 's/.*Device ID: //p' "$WORK/st-gen-a.log")
  idb=$(sed -n 's/.*Device ID: //p' "$WORK/st-gen-b.log")
  st_config "$a" server "$ida" "$SRV4" "$idb" dynamic
  st_config "$b" client "$idb" "$CLI4" "$ida" "tcp://$SRV4:22000"
  head -c 2000 /dev/zero | tr '\0' 'v' > "$a/share/hello.txt"
  mkdir -p "$a/share/.stfolder" "$b/share/.stfolder"
  capture_start syncthing
  HOME=$a start_s syncthing serve --home="$a" --no-browser --no-restart --no-upgrade
  local a_pid=${PIDS[-1]}
  # syncthing opens its database and scans the folder before it listens.
  wait_port t 22000 || wait_port t 22000 || wait_port t 22000 || { cat "$WORK/server.log" >&2; return 1; }
  HOME=$b ip netns exec "$NS_C" syncthing serve --home="$b" --no-browser --no-restart --no-upgrade > "$WORK/st-b.log" 2>&1 &
  PIDS+=($!)
  local b_pid=$! i
  for i in $(seq 1 100); do
    [ -e "$b/share/hello.txt" ] && break
    sleep 0.2
  done
  [ -e "$b/share/hello.txt" ] || echo "record: syncthing did not sync" >&2
  sleep 2
  capture_stop syncthing
  stop_pid "$b_pid"
  stop_pid "$a_pid"
  teardown
}

# xmr_args ADDRESS PEER PORT DIR: monerod in regression-test mode on
# ADDRESS:PORT whose one peer is PEER:PORT; no seed nodes, DNS checkpoints
# or block lists, UPnP, update checks or ZMQ; RPC on loopback.
xmr_args() {
  echo --regtest --non-interactive --data-dir "$4" --log-file "$4/monerod.log" --log-level 0 \
    --p2p-bind-ip "$1" --p2p-bind-port "$3" --add-exclusive-node "$2:$3" --no-igd --igd disabled \
    --disable-dns-checkpoints --check-updates disabled --no-zmq --rpc-bind-ip 127.0.0.1 --rpc-bind-port 18081 \
    --out-peers 1 --in-peers 1 --max-concurrency 1
}

# xmr_pair PORT: the two peers for a few seconds, the server's started first.
xmr_pair() {
  mkdir -p "$WORK/xmr-a" "$WORK/xmr-b"
  # shellcheck disable=SC2046
  start_s monerod $(xmr_args "$XMR_S" "$XMR_C" "$1" "$WORK/xmr-a")
  local a_pid=${PIDS[-1]}
  wait_port t "$1" || wait_port t "$1" || wait_port t "$1" || { cat "$WORK/server.log" >&2; return 1; }
  # shellcheck disable=SC2046
  ip netns exec "$NS_C" monerod $(xmr_args "$XMR_C" "$XMR_S" "$1" "$WORK/xmr-b") > "$WORK/monerod-b.log" 2>&1 &
  PIDS+=($!)
  local b_pid=$!
  sleep 4
  stop_pid "$b_pid"
  stop_pid "$a_pid"
}

# Two monerod peers, one per namespace, each told only the other's
# address: the Levin handshake on 18080, then again on 48080.
record_monero() {
  setup 1500
  peer_addresses "$XMR_S" "$XMR_C"
  capture_start monero
  xmr_pair 18080
  xmr_pair 48080
  capture_stop monero
  teardown
}
