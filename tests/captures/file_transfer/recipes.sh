# Recipes for the file-transfer captures of this folder, sourced by
# ../record.sh (which provides setup, start_s, capture_start/capture_stop).
RECIPES+=(file_transfer/ftp file_transfer/ftp_nopass file_transfer/tftp file_transfer/rsync_git file_transfer/smb file_transfer/rpc_ipp file_transfer/hl7 file_transfer/uftp file_transfer/git file_transfer/ipp_cups file_transfer/tftp_transfer file_transfer/ftp_pure file_transfer/smb1)

# vsftpd with anonymous access and a local user, explicit TLS allowed; curl
# and lftp as clients (passive data connections, one active one from port 20).
record_ftp() {
  setup 1500
  local root="$WORK/ftp"
  mkdir -p "$root/pub" /var/run/vsftpd/empty
  chmod 755 "$WORK" "$root"
  echo "hello from vesk" > "$root/pub/hello.txt"
  chmod 755 "$root/pub"
  id ftpbob > /dev/null 2>&1 || useradd -M -d "$root" -s /bin/sh ftpbob
  echo 'ftpbob:secret' | chpasswd
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 3650 \
    -subj "/CN=ftp.vesk.test" -keyout "$WORK/ftp.key" -out "$WORK/ftp.pem" 2> /dev/null
  cat > "$WORK/vsftpd.conf" <<CONF
listen=YES
listen_address=$SRV4
anonymous_enable=YES
anon_root=$root
local_enable=YES
chroot_local_user=NO
pam_service_name=vsftpd
seccomp_sandbox=NO
ssl_enable=YES
allow_anon_ssl=YES
force_local_logins_ssl=NO
force_anon_logins_ssl=NO
force_local_data_ssl=NO
force_anon_data_ssl=NO
rsa_cert_file=$WORK/ftp.pem
rsa_private_key_file=$WORK/ftp.key
pasv_min_port=40000
pasv_max_port=40010
connect_from_port_20=YES
CONF
  start_s /usr/sbin/vsftpd "$WORK/vsftpd.conf"
  local ftp_pid=${PIDS[-1]}
  wait_port t 21
  capture_start ftp
  in_c curl -s -m 10 "ftp://$SRV4/pub/hello.txt" -o /dev/null || true
  in_c curl -s -m 10 -u ftpbob:secret "ftp://$SRV4/pub/" -o /dev/null || true
  in_c curl -s -m 10 -u ftpbob:wrong "ftp://$SRV4/pub/" -o /dev/null || true
  in_c curl -sk -m 10 --ssl-reqd -u ftpbob:secret "ftp://$SRV4/pub/" -o /dev/null || true
  in_c curl -s -m 10 -P - "ftp://$SRV4/pub/" -o /dev/null || true
  in_c timeout 15 lftp -e "set ftp:ssl-allow no; ls pub; bye" "ftp://anonymous:x@$SRV4" > /dev/null 2>&1 || true
  capture_stop ftp
  stop_pid "$ftp_pid"
  teardown
}

# vsftpd on port 2121 with anonymous login that asks for no password (230
# straight after USER): curl and lftp never send PASS.
record_ftp_nopass() {
  setup 1500
  local root="$WORK/ftp"
  mkdir -p "$root/pub" /var/run/vsftpd/empty
  chmod 755 "$WORK" "$root"
  echo "hello from vesk" > "$root/pub/hello.txt"
  chmod 755 "$root/pub"
  cat > "$WORK/vsftpd.conf" <<CONF
listen=YES
listen_address=$SRV4
listen_port=2121
anonymous_enable=YES
no_anon_password=YES
anon_root=$root
local_enable=NO
ftpd_banner=Welcome to the vesk archive.
seccomp_sandbox=NO
pasv_min_port=40000
pasv_max_port=40010
CONF
  start_s /usr/sbin/vsftpd "$WORK/vsftpd.conf"
  local ftp_pid=${PIDS[-1]}
  wait_port t 2121
  capture_start ftp_nopass
  in_c curl -s -m 10 "ftp://$SRV4:2121/pub/" -o /dev/null || true
  in_c timeout 15 lftp -e "set ftp:ssl-allow no; ls pub; bye" -p 2121 "ftp://anonymous@$SRV4" > /dev/null 2>&1 || true
  capture_stop ftp_nopass
  stop_pid "$ftp_pid"
  teardown
}

# tftpd-hpa serving one file; tftp-hpa's client and curl (which asks for
# options) as clients.
record_tftp() {
  setup 1500
  mkdir -p "$WORK/tftp"
  echo "hello from vesk" > "$WORK/tftp/hello.txt"
  chmod 755 "$WORK" "$WORK/tftp"
  chmod 644 "$WORK/tftp/hello.txt"
  start_s /usr/sbin/in.tftpd --foreground --listen --address "$SRV4:69" --secure "$WORK/tftp"
  local tftp_pid=${PIDS[-1]}
  wait_port u 69
  capture_start tftp
  (cd "$WORK" && in_c timeout 10 tftp -m octet "$SRV4" -c get hello.txt /dev/null) || true
  in_c curl -s -m 10 "tftp://$SRV4/hello.txt" -o /dev/null || true
  capture_stop tftp
  stop_pid "$tftp_pid"
  teardown
}

# An rsync daemon module and git daemon, each fetched once.
record_rsync_git() {
  setup 1500
  mkdir -p "$WORK/share" "$WORK/git"
  chmod 755 "$WORK"
  echo "hello from vesk" > "$WORK/share/hello.txt"
  printf '[share]\n  path = %s\n  read only = yes\n  use chroot = no\n' "$WORK/share" > "$WORK/rsyncd.conf"
  start_s rsync --daemon --no-detach --address="$SRV4" --config="$WORK/rsyncd.conf"
  local rsync_pid=${PIDS[-1]}
  git init -q --bare "$WORK/git/repo.git"
  git -C "$WORK" init -q work && git -C "$WORK/work" -c user.email=a@b -c user.name=a commit -q --allow-empty -m one
  git -C "$WORK/work" push -q "$WORK/git/repo.git" HEAD:refs/heads/main 2> /dev/null
  touch "$WORK/git/repo.git/git-daemon-export-ok"
  start_s git daemon --listen="$SRV4" --base-path="$WORK/git" --export-all --reuseaddr "$WORK/git"
  local git_pid=${PIDS[-1]}
  wait_port t 873
  wait_port t 9418
  capture_start rsync_git
  in_c rsync -q "rsync://$SRV4/share/hello.txt" "$WORK/copy.txt" || true
  in_c timeout 15 git clone -q "git://$SRV4/repo.git" "$WORK/clone" 2> /dev/null || true
  capture_stop rsync_git
  stop_pid "$git_pid"
  stop_pid "$rsync_pid"
  teardown
}

# samba with one guest share: smbclient lists and fetches over 445 (SMB2/3)
# and over NetBIOS on 139.
record_smb() {
  setup 1500
  mkdir -p "$WORK/smb/share" "$WORK/smb/state"
  chmod 755 "$WORK" "$WORK/smb" "$WORK/smb/share"
  echo "hello from vesk" > "$WORK/smb/share/hello.txt"
  cat > "$WORK/smb/smb.conf" <<CONF
[global]
  interfaces = $SRV4/24
  bind interfaces only = yes
  map to guest = Bad User
  server role = standalone server
  lock directory = $WORK/smb/state
  state directory = $WORK/smb/state
  cache directory = $WORK/smb/state
  private dir = $WORK/smb/state
  pid directory = $WORK/smb/state
  ncalrpc dir = $WORK/smb/state/ncalrpc
  log file = $WORK/smb/log
  disable spoolss = yes
  load printers = no
[share]
  path = $WORK/smb/share
  guest ok = yes
  read only = yes
CONF
  start_s /usr/sbin/smbd --foreground --no-process-group --configfile="$WORK/smb/smb.conf"
  local smb_pid=${PIDS[-1]}
  wait_port t 445
  capture_start smb
  in_c timeout 15 smbclient -N -s "$WORK/smb/smb.conf" "//$SRV4/share" -c "get hello.txt /dev/null" > /dev/null 2>&1 || true
  in_c timeout 15 smbclient -N -s "$WORK/smb/smb.conf" -p 139 "//$SRV4/share" -c "ls" > /dev/null 2>&1 || true
  capture_stop smb
  stop_pid "$smb_pid"
  teardown
}

# rpcbind answering rpcinfo (portmapper calls over TCP and UDP) and cupsd
# answering ipptool's Get-Printer-Attributes.
record_rpc_ipp() {
  setup 1500
  start_s /usr/sbin/rpcbind -f -w -h "$SRV4"
  local rpc_pid=${PIDS[-1]}
  mkdir -p "$WORK/cups/spool" "$WORK/cups/cache" "$WORK/cups/log"
  printf 'Listen %s:631\nServerName %s\nWebInterface No\nLogLevel warn\n<Location />\n  Order allow,deny\n  Allow all\n</Location>\n' \
    "$SRV4" "$SRV4" > "$WORK/cups/cupsd.conf"
  printf 'RequestRoot %s\nCacheDir %s\nStateDir %s\nServerRoot %s\nErrorLog %s\nAccessLog %s\nPageLog %s\n' \
    "$WORK/cups/spool" "$WORK/cups/cache" "$WORK/cups/cache" "$WORK/cups" "$WORK/cups/log/error" \
    "$WORK/cups/log/access" "$WORK/cups/log/page" > "$WORK/cups/cups-files.conf"
  start_s /usr/sbin/cupsd -f -c "$WORK/cups/cupsd.conf" -s "$WORK/cups/cups-files.conf"
  local cups_pid=${PIDS[-1]}
  wait_port t 111
  wait_port t 631
  capture_start rpc_ipp
  in_c timeout 10 rpcinfo -p "$SRV4" > /dev/null 2>&1 || true
  in_c timeout 10 rpcinfo -u "$SRV4" portmapper > /dev/null 2>&1 || true
  in_c timeout 10 ipptool -T 5 "ipp://$SRV4/ipp/print" get-printer-attributes.test > /dev/null 2>&1 || true
  capture_stop rpc_ipp
  stop_pid "$cups_pid"
  stop_pid "$rpc_pid"
  teardown
}

# An HL7 v2 message sent with python3-hl7's mllp_send to a listener that
# acknowledges it.
record_hl7() {
  setup 1500
  cat > "$WORK/hl7_listener.py" <<'PY'
import socket, sys
s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind((sys.argv[1], 2575)); s.listen(1)
c, _ = s.accept()
c.recv(65536)
c.sendall(b"\x0bMSH|^~\\&|ACK|FAC|SEND|FAC|20261210||ACK|1|P|2.5\rMSA|AA|MSG0001\r\x1c\r")
c.close()
PY
  start_s /usr/bin/python3 "$WORK/hl7_listener.py" "$SRV4"
  local hl7_pid=${PIDS[-1]}
  wait_port t 2575
  printf 'MSH|^~\\&|SENDER|FAC|RECV|FAC|20261210120000||ADT^A01|MSG0001|P|2.5\nEVN|A01|20261210120000\nPID|1||12345^^^FAC||DOE^JOHN||19700101|M\n' \
    > "$WORK/msg.hl7"
  capture_start hl7
  in_c timeout 10 mllp_send --loose -p 2575 -f "$WORK/msg.hl7" "$SRV4" > /dev/null 2>&1 || true
  capture_stop hl7
  stop_pid "$hl7_pid"
  teardown
}

# uftpd receiving in the server namespace and uftp sending one small file to
# it unicast (-M with the receiver's address, so nothing is multicast, no
# encryption), on UFTP's 1044 and on 4044.
record_uftp() {
  setup 1500
  mkdir -p "$WORK/uftp/a" "$WORK/uftp/b"
  echo "hello from vesk" > "$WORK/uftp/hello.txt"
  start_s uftpd -d -q -D "$WORK/uftp/a" -p 1044 -I vcap-s
  local a_pid=${PIDS[-1]}
  start_s uftpd -d -q -D "$WORK/uftp/b" -p 4044 -I vcap-s
  local b_pid=${PIDS[-1]}
  wait_port u 1044
  wait_port u 4044
  capture_start uftp
  in_c timeout 20 uftp -Y none -R 1000 -M "$SRV4" -I vcap-c -p 1044 "$WORK/uftp/hello.txt" > "$WORK/uftp/a.log" 2>&1 || true
  in_c timeout 20 uftp -Y none -R 1000 -M "$SRV4" -I vcap-c -p 4044 "$WORK/uftp/hello.txt" > "$WORK/uftp/b.log" 2>&1 || true
  capture_stop uftp
  stop_pid "$a_pid"
  stop_pid "$b_pid"
  teardown
}

# git daemon serving one small repository; git clone git:// with protocol
# version 2 (git's default) and with version 0 (-c protocol.version=0).
record_git() {
  setup 1500
  mkdir -p "$WORK/git"
  chmod 755 "$WORK"
  git init -q --bare "$WORK/git/repo.git"
  git -C "$WORK" init -q work
  echo "hello from vesk" > "$WORK/work/hello.txt"
  git -C "$WORK/work" add hello.txt
  git -C "$WORK/work" -c user.email=a@b -c user.name=a commit -q -m one
  git -C "$WORK/work" push -q "$WORK/git/repo.git" HEAD:refs/heads/main 2> /dev/null
  start_s git daemon --listen="$SRV4" --base-path="$WORK/git" --export-all --reuseaddr "$WORK/git"
  local git_pid=${PIDS[-1]}
  wait_port t 9418
  capture_start git
  in_c timeout 15 git clone -q "git://$SRV4/repo.git" "$WORK/clone2" 2> /dev/null || true
  in_c timeout 15 git -c protocol.version=0 clone -q "git://$SRV4/repo.git" "$WORK/clone0" 2> /dev/null || true
  capture_stop git
  stop_pid "$git_pid"
  teardown
}

# cupsd with one raw queue "vesk" (printing to /dev/null), listening on IPP's
# 631 and on 8631; the print system's own clients: lpstat asking for the
# printers (POST /), ipptool and lp posting to /printers/vesk (lp also on
# 8631), and lpstat listing the jobs.
record_ipp_cups() {
  setup 1500
  local cups=$WORK/cups
  mkdir -p "$cups/spool/tmp" "$cups/cache" "$cups/log" "$cups/ppd"
  chmod -R 777 "$cups"
  chmod 755 "$WORK"
  printf 'Listen %s:631\nListen %s:8631\nListen %s/cups.sock\nServerName %s\nWebInterface No\nLogLevel warn\nDefaultAuthType None\n<Location />\n  Order allow,deny\n  Allow all\n</Location>\n<Policy default>\n  <Limit All>\n    Order deny,allow\n  </Limit>\n</Policy>\n' \
    "$SRV4" "$SRV4" "$cups" "$SRV4" > "$cups/cupsd.conf"
  printf 'RequestRoot %s\nTempDir %s\nCacheDir %s\nStateDir %s\nServerRoot %s\nErrorLog %s\nAccessLog %s\nPageLog %s\nFileDevice Yes\n' \
    "$cups/spool" "$cups/spool/tmp" "$cups/cache" "$cups/cache" "$cups" "$cups/log/error" \
    "$cups/log/access" "$cups/log/page" > "$cups/cups-files.conf"
  start_s /usr/sbin/cupsd -f -c "$cups/cupsd.conf" -s "$cups/cups-files.conf"
  local cups_pid=${PIDS[-1]}
  wait_port t 631
  wait_port t 8631
  in_s timeout 10 lpadmin -h "$cups/cups.sock" -p vesk -E -v file:///dev/null -m raw > /dev/null 2>&1 || true
  echo "hello from vesk" > "$WORK/page.txt"
  capture_start ipp_cups
  in_c timeout 10 lpstat -h "$SRV4:631" -p > /dev/null 2>&1 || true
  in_c timeout 10 ipptool -T 5 "ipp://$SRV4/printers/vesk" get-printer-attributes.test > /dev/null 2>&1 || true
  in_c timeout 10 lp -h "$SRV4:631" -d vesk "$WORK/page.txt" > /dev/null 2>&1 || true
  in_c timeout 10 lp -h "$SRV4:8631" -d vesk "$WORK/page.txt" > /dev/null 2>&1 || true
  in_c timeout 10 lpstat -h "$SRV4:631" -o > /dev/null 2>&1 || true
  capture_stop ipp_cups
  stop_pid "$cups_pid"
  teardown
}

# tftpd-hpa on 69 and on 6969 with files of several blocks: tftp-hpa gets a
# 2,100-byte file (five DATA blocks from the server's new port) and puts one
# (WRQ, the server's ACKs from its new port), then gets the file again from
# the second server on 6969.
record_tftp_transfer() {
  setup 1500
  mkdir -p "$WORK/tftp"
  chmod 755 "$WORK"
  chmod 777 "$WORK/tftp"
  head -c 2100 /usr/share/common-licenses/GPL-3 > "$WORK/tftp/big.txt"
  head -c 1500 /usr/share/common-licenses/GPL-3 > "$WORK/up.txt"
  chmod 644 "$WORK/tftp/big.txt"
  start_s /usr/sbin/in.tftpd --foreground --listen --create --address "$SRV4:69" --secure "$WORK/tftp"
  local a_pid=${PIDS[-1]}
  start_s /usr/sbin/in.tftpd --foreground --listen --address "$SRV4:6969" --secure "$WORK/tftp"
  local b_pid=${PIDS[-1]}
  wait_port u 69
  wait_port u 6969
  capture_start tftp_transfer
  (cd "$WORK" && in_c timeout 10 tftp -m octet "$SRV4" -c get big.txt /dev/null) || true
  (cd "$WORK" && in_c timeout 10 tftp -m octet "$SRV4" -c put up.txt up.txt) || true
  (cd "$WORK" && in_c timeout 10 tftp -m octet "$SRV4" 6969 -c get big.txt /dev/null) || true
  capture_stop tftp_transfer
  stop_pid "$a_pid"
  stop_pid "$b_pid"
  teardown
}

# pure-ftpd, a second FTP server, on port 2221 (anonymous logins and unix
# accounts): curl and lftp anonymous, and curl with a wrong password.
record_ftp_pure() {
  setup 1500
  local root="$WORK/pftp"
  mkdir -p "$root/pub"
  chmod 755 "$WORK" "$root"
  echo "hello from vesk" > "$root/pub/hello.txt"
  chmod 755 "$root/pub"
  id ftp > /dev/null 2>&1 || useradd -M -d "$root" -s /usr/sbin/nologin ftp
  usermod -d "$root" ftp
  start_s /usr/sbin/pure-ftpd -S "$SRV4,2221" -l unix -p 40000:40010 -4 -i
  local ftp_pid=${PIDS[-1]}
  wait_port t 2221
  capture_start ftp_pure
  in_c curl -s -m 10 "ftp://$SRV4:2221/pub/" -o /dev/null || true
  in_c timeout 15 lftp -e "set ftp:ssl-allow no; ls pub; bye" "ftp://anonymous:x@$SRV4:2221" > /dev/null 2>&1 || true
  in_c curl -s -m 10 -u nosuchuser:wrong "ftp://$SRV4:2221/pub/" -o /dev/null || true
  capture_stop ftp_pure
  stop_pid "$ftp_pid"
  teardown
}

# smbd allowing the old dialect (server min protocol = NT1) and smbclient
# forced to it (-m NT1): SMBv1 over port 445, also over 139 after the
# NetBIOS session request.
record_smb1() {
  setup 1500
  mkdir -p "$WORK/smb/share" "$WORK/smb/state"
  chmod 755 "$WORK" "$WORK/smb" "$WORK/smb/share"
  echo "hello from vesk" > "$WORK/smb/share/hello.txt"
  cat > "$WORK/smb/smb.conf" <<CONF
[global]
  interfaces = $SRV4/24
  bind interfaces only = yes
  map to guest = Bad User
  server role = standalone server
  server min protocol = NT1
  client min protocol = NT1
  lock directory = $WORK/smb/state
  state directory = $WORK/smb/state
  cache directory = $WORK/smb/state
  private dir = $WORK/smb/state
  pid directory = $WORK/smb/state
  ncalrpc dir = $WORK/smb/state/ncalrpc
  log file = $WORK/smb/log
  disable spoolss = yes
  load printers = no
[share]
  path = $WORK/smb/share
  guest ok = yes
  read only = yes
CONF
  start_s /usr/sbin/smbd --foreground --no-process-group --configfile="$WORK/smb/smb.conf"
  local smb_pid=${PIDS[-1]}
  wait_port t 445
  capture_start smb1
  in_c timeout 15 smbclient -N -m NT1 -s "$WORK/smb/smb.conf" "//$SRV4/share" -c "get hello.txt /dev/null" > /dev/null 2>&1 || true
  in_c timeout 15 smbclient -N -m NT1 -s "$WORK/smb/smb.conf" -p 139 "//$SRV4/share" -c "ls" > /dev/null 2>&1 || true
  capture_stop smb1
  stop_pid "$smb_pid"
  teardown
}
