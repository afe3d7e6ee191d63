# Recipes for the file-transfer captures of this folder, sourced by
# ../record.sh (which provides setup, start_s, capture_start/capture_stop).
RECIPES+=(file_transfer/ftp file_transfer/tftp file_transfer/rsync_git)

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
