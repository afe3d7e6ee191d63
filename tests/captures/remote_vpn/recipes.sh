# Recipes for the remote-access and VPN captures of this folder, sourced by
# ../record.sh (which provides setup, start_s, capture_start/capture_stop).
RECIPES+=(remote_vpn/telnet_socks remote_vpn/openvpn)

# netkit's in.telnetd (one per connection, started by socat) with python3's
# telnetlib logging in; ssh -D as a SOCKS proxy for curl (SOCKS5, and SOCKS5
# with credentials, which ssh refuses), curl --socks4.
record_telnet_socks() {
  setup 1500
  id telbob > /dev/null 2>&1 || useradd -m -s /bin/sh telbob
  echo 'telbob:secret' | chpasswd
  start_s socat "TCP-LISTEN:23,bind=$SRV4,reuseaddr,fork" "EXEC:/usr/sbin/in.telnetd -h,nofork"
  local telnet_pid=${PIDS[-1]}
  ssh-keygen -q -t ed25519 -N '' -f "$WORK/hostkey"
  ssh-keygen -q -t ed25519 -N '' -f "$WORK/userkey"
  mkdir -p /root/.ssh /run/sshd && chmod 700 /root/.ssh
  cp "$WORK/userkey.pub" "$WORK/authorized_keys"
  start_s /usr/sbin/sshd -D -e -p 22 -h "$WORK/hostkey" -o ListenAddress="$SRV4" -o UsePAM=no \
    -o AuthorizedKeysFile="$WORK/authorized_keys" -o StrictModes=no -o PidFile="$WORK/sshd.pid"
  local sshd_pid=${PIDS[-1]}
  wait_port t 23
  wait_port t 22
  # The proxy runs on the server's side so that curl's SOCKS exchange
  # crosses the link the capture is taken on.
  start_s ssh -F /dev/null -N -D "$SRV4:1080" -i "$WORK/userkey" -o StrictHostKeyChecking=no \
    -o UserKnownHostsFile=/dev/null -o BatchMode=yes root@"$SRV4"
  local tunnel_pid=${PIDS[-1]}
  wait_port t 1080
  mkdir -p "$WORK/www" && echo hello > "$WORK/www/index.html"
  start_s /usr/bin/python3 -m http.server 8000 --bind "$SRV4" --directory "$WORK/www"
  local http_pid=${PIDS[-1]}
  wait_port t 8000
  capture_start telnet_socks
  in_c timeout 15 /usr/bin/python3 -W ignore -c "
import sys, telnetlib, time
t = telnetlib.Telnet(sys.argv[1], 23, timeout=10)
t.read_until(b'login: ', 10); t.write(b'telbob\r\n')
t.read_until(b'Password: ', 10); t.write(b'secret\r\n')
time.sleep(1); t.write(b'exit\r\n'); t.read_all()" "$SRV4" > /dev/null 2>&1 || true
  in_c curl -s -m 5 --socks5 "$SRV4:1080" "http://$SRV4:8000/" -o /dev/null || true
  in_c curl -s -m 5 --socks5 "$SRV4:1080" -U bob:secret "http://$SRV4:8000/" -o /dev/null || true
  in_c curl -s -m 5 --socks4 "$SRV4:1080" "http://$SRV4:8000/" -o /dev/null || true
  capture_stop telnet_socks
  stop_pid "$http_pid"; stop_pid "$tunnel_pid"; stop_pid "$sshd_pid"; stop_pid "$telnet_pid"
  teardown
}

# openvpn in TLS mode (its own small CA) over UDP, over TCP with tls-auth,
# and over UDP with tls-crypt; each tunnel comes up and is torn down.
make_vpn_pki() {
  local d="$WORK/pki"
  mkdir -p "$d"
  openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/CN=vesk-ca" -keyout "$d/ca.key" -out "$d/ca.crt" 2> /dev/null
  for who in server client; do
    openssl req -newkey rsa:2048 -nodes -subj "/CN=$who" -keyout "$d/$who.key" -out "$d/$who.csr" 2> /dev/null
    openssl x509 -req -in "$d/$who.csr" -CA "$d/ca.crt" -CAkey "$d/ca.key" -CAcreateserial -days 30 \
      -out "$d/$who.crt" 2> /dev/null
  done
  openvpn --genkey secret "$d/ta.key" > /dev/null 2>&1
}

openvpn_pair() {  # proto port server-option client-option (quoted lists)
  local proto=$1 port=$2 d="$WORK/pki" sp=$1 cp=$1
  [ "$proto" = tcp ] && sp=tcp-server && cp=tcp-client
  local sopt=($3) copt=($4)
  start_s openvpn --dev tun --proto "$sp" --local "$SRV4" --lport "$port" --tls-server \
    --ca "$d/ca.crt" --cert "$d/server.crt" --key "$d/server.key" --dh none --ifconfig 10.8.0.1 10.8.0.2 "${sopt[@]}"
  local server=${PIDS[-1]}
  sleep 1
  ip netns exec "$NS_C" timeout 12 openvpn --dev tun --proto "$cp" --remote "$SRV4" "$port" --tls-client \
    --ca "$d/ca.crt" --cert "$d/client.crt" --key "$d/client.key" --ifconfig 10.8.0.2 10.8.0.1 \
    --remote-cert-tls server "${copt[@]}" > "$WORK/openvpn-client.log" 2>&1 &
  local client=$!
  PIDS+=($client)
  local i
  for i in $(seq 1 80); do grep -q "Initialization Sequence Completed" "$WORK/openvpn-client.log" && break; sleep 0.1; done
  stop_pid "$client"; stop_pid "$server"
}

record_openvpn() {
  setup 1500
  make_vpn_pki
  capture_start openvpn
  openvpn_pair udp 1194 "" ""
  openvpn_pair tcp 1194 "--tls-auth $WORK/pki/ta.key 0" "--tls-auth $WORK/pki/ta.key 1"
  openvpn_pair udp 1195 "--tls-crypt $WORK/pki/ta.key" "--tls-crypt $WORK/pki/ta.key"
  capture_stop openvpn
  teardown
}
