# Recipes for the remote-access and VPN captures of this folder, sourced by
# ../record.sh (which provides setup, start_s, capture_start/capture_stop).
RECIPES+=(remote_vpn/telnet_socks remote_vpn/openvpn remote_vpn/vxlan remote_vpn/vnc remote_vpn/tinc remote_vpn/rdp
  remote_vpn/rsh remote_vpn/pptp remote_vpn/xdmcp remote_vpn/rcp)

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

# The kernel's vxlan device (VNI 42, UDP 4789) over the veth pair in each
# namespace; ping crosses the overlay (10.201.42.0/24, inside the
# namespaces only) both ways. Fixed MAC addresses with permanent neighbour
# entries and no IPv6 on the overlay keep ARP and IPv6's chatter out, so the
# capture holds the pings alone: one flow each way, since the kernel picks
# the outer source port from the inner packet's addresses.
record_vxlan() {
  setup 1500
  local ns dev local_ip remote_ip mine peer
  for ns in s c; do
    if [ $ns = s ]; then dev=vcap-s local_ip=$SRV4 remote_ip=$CLI4 mine=1 peer=2
    else dev=vcap-c local_ip=$CLI4 remote_ip=$SRV4 mine=2 peer=1; fi
    in_$ns ip link add vx42 address 02:00:00:00:42:0$mine type vxlan id 42 dstport 4789 \
      remote "$remote_ip" local "$local_ip" dev "$dev"
    in_$ns sysctl -q -w net.ipv6.conf.vx42.disable_ipv6=1
    in_$ns ip addr add 10.201.42.$mine/24 dev vx42
    in_$ns ip link set vx42 up
    in_$ns ip neigh replace 10.201.42.$peer lladdr 02:00:00:00:42:0$peer dev vx42 nud permanent
  done
  capture_start vxlan
  in_c ping -c 3 -i 0.3 -W 2 10.201.42.1 > /dev/null || true
  capture_stop vxlan
  teardown
}

# TigerVNC's Xvnc (its own display, no X11 over TCP) with no security on
# 5900 and with a VNC password on the port of no meaning 15900; vncsnapshot
# reads the screen of each (it waits for more updates than an idle screen
# sends, so it is stopped after 3 s).
record_vnc() {
  setup 1500
  local disp=$((70 + $$ % 20))
  printf 'secret\nsecret\n' | vncpasswd -f > "$WORK/vncpass" 2> /dev/null
  chmod 600 "$WORK/vncpass"
  start_s Xvnc ":$disp" -nolisten tcp -interface "$SRV4" -rfbport 5900 -SecurityTypes None -geometry 320x200
  local vnc1=${PIDS[-1]}
  start_s Xvnc ":$((disp + 1))" -nolisten tcp -interface "$SRV4" -rfbport 15900 -SecurityTypes VncAuth \
    -PasswordFile "$WORK/vncpass" -geometry 320x200
  local vnc2=${PIDS[-1]}
  wait_port t 5900
  wait_port t 15900
  capture_start vnc
  in_c timeout 3 vncsnapshot -quiet "$SRV4::5900" "$WORK/shot1.jpg" > /dev/null 2>&1 || true
  in_c timeout 3 vncsnapshot -quiet -passwd "$WORK/vncpass" "$SRV4::15900" "$WORK/shot2.jpg" > /dev/null 2>&1 || true
  capture_stop vnc
  stop_pid "$vnc1"; stop_pid "$vnc2"
  teardown
}

# Two tinc 1.0 daemons (RSA keys made here, a tun device each, 10.202.0.0/24
# inside the namespaces only): the client's daemon connects to the server's
# on TCP 655 (the meta connection), then ping crosses the tunnel in tinc's
# UDP packets between the two daemons' ports; then the same on the port of
# no meaning 16555.
tinc_pair() {  # port
  local port=$1 who ip t="$WORK/tinc-$1"
  for who in server client; do
    mkdir -p "$t/$who/hosts"
  done
  printf 'Name = server\nInterface = tincs\nDevice = /dev/net/tun\nAddressFamily = ipv4\nBindToAddress = %s\n' \
    "$SRV4" > "$t/server/tinc.conf"
  printf 'Name = client\nInterface = tincc\nDevice = /dev/net/tun\nAddressFamily = ipv4\nBindToAddress = %s\n' \
    "$CLI4" > "$t/client/tinc.conf"
  echo 'ConnectTo = server' >> "$t/client/tinc.conf"
  printf 'Address = %s\nPort = %s\nSubnet = 10.202.0.1/32\n' "$SRV4" "$port" > "$t/server/hosts/server"
  printf 'Address = %s\nPort = %s\nSubnet = 10.202.0.2/32\n' "$CLI4" "$port" > "$t/client/hosts/client"
  for who in server client; do
    ip=10.202.0.1; [ $who = client ] && ip=10.202.0.2
    printf '#!/bin/sh\nip addr add %s/24 dev "$INTERFACE"\nip link set "$INTERFACE" up\n' "$ip" > "$t/$who/tinc-up"
    chmod +x "$t/$who/tinc-up"
    tincd -c "$t/$who" -K2048 < /dev/null > /dev/null 2>&1
  done
  cp "$t/server/hosts/server" "$t/client/hosts/"
  cp "$t/client/hosts/client" "$t/server/hosts/"
  start_s tincd -c "$t/server" -D -d1 --pidfile="$t/server.pid" --logfile="$t/server.log"
  local server=${PIDS[-1]}
  wait_port t "$port"
  ip netns exec "$NS_C" tincd -c "$t/client" -D -d1 --pidfile="$t/client.pid" --logfile="$t/client.log" \
    > /dev/null 2>&1 &
  local client=$!
  PIDS+=($client)
  local i
  for i in $(seq 1 50); do in_c ip -4 addr show dev tincc 2> /dev/null | grep -q 10.202.0.2 && break; sleep 0.1; done
  in_c ping -c 4 -i 0.5 -W 2 10.202.0.1 > /dev/null || true
  stop_pid "$client"
  stop_pid "$server"
}

record_tinc() {
  setup 1500
  capture_start tinc
  tinc_pair 655
  tinc_pair 16555
  capture_stop tinc
  teardown
}

# xrdp (its own xrdp.ini: a certificate made here, no process forked for a
# connection, which would outlive the stopped server; no session manager,
# so no desktop is started) on 3389 and on the port of no meaning 13389;
# xfreerdp under its own Xvfb asks for authentication only: the X.224
# Connection Request with the user's cookie and negotiation request, the
# Connection Confirm, then TLS; once more on 3389 with standard RDP security
# (the cookie alone, a bare Connection Confirm, RC4 inside MCS).
record_rdp() {
  setup 1500
  openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/CN=rdp.vesk.test" -keyout "$WORK/rdp.key" \
    -out "$WORK/rdp.crt" 2> /dev/null
  sed -e "s|^certificate=.*|certificate=$WORK/rdp.crt|" -e "s|^key_file=.*|key_file=$WORK/rdp.key|" \
    -e "s|^port=3389|port=tcp://$SRV4:3389|" -e "s|^fork=true|fork=false|" /etc/xrdp/xrdp.ini > "$WORK/xrdp.ini"
  sed -e "s|^port=tcp://$SRV4:3389|port=tcp://$SRV4:13389|" "$WORK/xrdp.ini" > "$WORK/xrdp2.ini"
  mkdir -p /run/xrdp
  start_s xrdp --nodaemon --config "$WORK/xrdp.ini"
  local rdp1=${PIDS[-1]}
  wait_port t 3389
  local disp=$((90 + $$ % 20))
  ip netns exec "$NS_C" Xvfb ":$disp" -nolisten tcp -screen 0 640x480x24 > "$WORK/xvfb.log" 2>&1 &
  local xvfb=$!
  PIDS+=($xvfb)
  local i
  for i in $(seq 1 50); do [ -S "/tmp/.X11-unix/X$disp" ] && break; sleep 0.1; done
  local rdp_client=(env DISPLAY=":$disp" HOME="$WORK" timeout 10 xfreerdp /u:vesk /p:secret /cert:ignore +auth-only)
  capture_start rdp
  in_c "${rdp_client[@]}" /v:"$SRV4" > /dev/null 2>&1 || true
  in_c "${rdp_client[@]}" /v:"$SRV4" /sec:rdp > /dev/null 2>&1 || true
  stop_pid "$rdp1"
  start_s xrdp --nodaemon --config "$WORK/xrdp2.ini"
  local rdp2=${PIDS[-1]}
  wait_port t 13389
  in_c "${rdp_client[@]}" /v:"$SRV4:13389" > /dev/null 2>&1 || true
  capture_stop rdp
  stop_pid "$rdp2"; stop_pid "$xvfb"
  teardown
}

# rsh-redone's in.rshd handed each connection by systemd-socket-activate
# (inetd style) on 514; the user's .rhosts trusts root on the client, whose
# rsh runs two commands (each with its stderr connection back to the
# client). in.rshd insists on the client's host name: it gets one from a
# hosts file bound over /etc/hosts in a mount namespace of its own, so no
# name server is asked.
record_rsh() {
  setup 1500
  id rshbob > /dev/null 2>&1 || useradd -m -s /bin/sh rshbob
  echo "$CLI4 root" > ~rshbob/.rhosts
  chown rshbob ~rshbob/.rhosts && chmod 600 ~rshbob/.rhosts
  printf '127.0.0.1 localhost\n%s rsh-client.vesk.test\n%s rsh-server.vesk.test\n' "$CLI4" "$SRV4" > "$WORK/hosts"
  : > "$WORK/resolv.conf"
  start_s unshare -m --propagation private sh -c 'mount --bind "$1" /etc/hosts && mount --bind "$2" /etc/resolv.conf &&
    exec systemd-socket-activate -l "$3:514" --inetd -a /usr/sbin/in.rshd' sh "$WORK/hosts" "$WORK/resolv.conf" "$SRV4"
  local rshd=${PIDS[-1]}
  wait_port t 514
  capture_start rsh
  in_c timeout 10 rsh -l rshbob "$SRV4" echo hello > /dev/null 2>&1 || true
  in_c timeout 10 rsh -l rshbob "$SRV4" 'ls /nonexistent; id -un' > /dev/null 2>&1 || true
  capture_stop rsh
  stop_pid "$rshd"
  teardown
}

# pptpd (a configuration of its own) and pptp-linux's pptp without pppd:
# the control connection on TCP 1723 (Start-Control-Connection and
# Outgoing-Call requests and replies) gets onto the wire; the PPP session
# that would follow needs /dev/ppp, which this machine lacks, so the call
# ends there.
record_pptp() {
  setup 1500
  : > "$WORK/pptpd-options"
  printf 'option %s\nlocalip 10.203.0.1\nremoteip 10.203.0.2-9\n' "$WORK/pptpd-options" > "$WORK/pptpd.conf"
  start_s pptpd -f -c "$WORK/pptpd.conf" -l "$SRV4" -p "$WORK/pptpd.pid"
  local pptpd=${PIDS[-1]}
  wait_port t 1723
  capture_start pptp
  sleep 4 | in_c timeout 5 pptp "$SRV4" --nolaunchpppd --nohostroute --localbind "$CLI4" > /dev/null 2>&1 || true
  capture_stop pptp
  stop_pid "$pptpd"
  teardown
}

# xdm (a configuration of its own, no local display, XDMCP on 177/udp) and
# an Xvfb in the client's namespace asking it with -query: Query, Willing,
# Request, Accept, Manage over UDP, then xdm's X11 connection to that
# display (TCP 6001, MIT-MAGIC-COOKIE-1) to draw its greeter. The X server
# gets a /tmp of its own (mount namespace), so its socket and lock file stay
# out of the machine's /tmp; xdm starts no X server of its own (no entries in
# its Xservers file).
record_xdmcp() {
  setup 1500
  local d="$WORK/xdm"
  mkdir -p "$d/auth" "$d/tmp-c"
  : > "$d/Xservers"
  echo '*' > "$d/Xaccess"
  cat > "$d/xdm-config" <<CONF
DisplayManager.authDir: $d/auth
DisplayManager.errorLogFile: $d/xdm.log
DisplayManager.pidFile: $d/xdm.pid
DisplayManager.keyFile: /etc/X11/xdm/xdm-keys
DisplayManager.servers: $d/Xservers
DisplayManager.accessFile: $d/Xaccess
DisplayManager*resources: /etc/X11/xdm/Xresources
DisplayManager*authorize: true
DisplayManager*startup: /etc/X11/xdm/Xstartup
DisplayManager*session: /etc/X11/xdm/Xsession
DisplayManager*setup: /etc/X11/xdm/Xsetup
DisplayManager*reset: /etc/X11/xdm/Xreset
DisplayManager.requestPort: 177
CONF
  start_s xdm -config "$d/xdm-config" -nodaemon
  local xdm=${PIDS[-1]}
  wait_port u 177
  capture_start xdmcp
  ip netns exec "$NS_C" unshare -m --propagation private sh -c \
    'mount --bind "$1" /tmp && exec timeout 3 Xvfb :1 -listen tcp -query "$2" -once -screen 0 640x480x24' \
    sh "$d/tmp-c" "$SRV4" > "$WORK/xvfb-query.log" 2>&1 || true
  capture_stop xdmcp
  stop_pid "$xdm"
  teardown
}

# rcp (netkit) through the same in.rshd: rcp asks rcmd() for no stderr
# connection, so its opening is a lone NUL where rsh sends a port; one copy
# from the server (a second client would take the same reserved port 1023
# and so the same flow).
record_rcp() {
  setup 1500
  id rshbob > /dev/null 2>&1 || useradd -m -s /bin/sh rshbob
  echo "$CLI4 root" > ~rshbob/.rhosts
  chown rshbob ~rshbob/.rhosts && chmod 600 ~rshbob/.rhosts
  echo "hello from vesk" > ~rshbob/hello.txt
  chown rshbob ~rshbob/hello.txt
  printf '127.0.0.1 localhost\n%s rsh-client.vesk.test\n%s rsh-server.vesk.test\n' "$CLI4" "$SRV4" > "$WORK/hosts"
  : > "$WORK/resolv.conf"
  start_s unshare -m --propagation private sh -c 'mount --bind "$1" /etc/hosts && mount --bind "$2" /etc/resolv.conf &&
    exec systemd-socket-activate -l "$3:514" --inetd -a /usr/sbin/in.rshd' sh "$WORK/hosts" "$WORK/resolv.conf" "$SRV4"
  local rshd=${PIDS[-1]}
  wait_port t 514
  capture_start rcp
  in_c timeout 10 netkit-rcp "rshbob@$SRV4:hello.txt" "$WORK/got.txt" > /dev/null 2>&1 || true
  capture_stop rcp
  stop_pid "$rshd"
  teardown
}
