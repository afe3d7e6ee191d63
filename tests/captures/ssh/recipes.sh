# Recipes for the ssh captures of this folder, sourced by ../record.sh
# (which provides setup, start_s, capture_start/capture_stop and the rest).
RECIPES+=(ssh/ssh ssh/ssh_classic ssh/ssh_cases ssh/ssh_small_mtu)

# sshd without password logins: clients get through the key exchange and
# are refused for want of credentials. $1: port; further arguments go to
# sshd (-o Ciphers=... and the like).
start_sshd() {
  local port=$1
  shift
  [ -f "$WORK/hostkey" ] || ssh-keygen -q -t ed25519 -N '' -f "$WORK/hostkey"
  mkdir -p /run/sshd
  start_s /usr/sbin/sshd -D -e -p "$port" -h "$WORK/hostkey" -o ListenAddress="$SRV4" \
    -o PasswordAuthentication=no -o KbdInteractiveAuthentication=no -o UsePAM=no \
    -o PidFile="$WORK/sshd-$port.pid" "$@"
}

# ssh to a refused account; extra arguments go to ssh.
ssh_refused() {
  in_c timeout 10 ssh -F /dev/null -o BatchMode=yes -o StrictHostKeyChecking=no \
    -o UserKnownHostsFile=/dev/null -o ConnectTimeout=5 "$@" true > /dev/null 2>&1 || true
}

record_ssh() {
  setup 1500
  start_sshd 22
  local sshd_pid=${PIDS[-1]}
  wait_port t 22
  capture_start ssh
  ssh_refused nobody@"$SRV4"
  capture_stop ssh
  stop_pid "$sshd_pid"
  teardown
}

# The same with a classic key exchange only (no post-quantum hybrid).
record_ssh_classic() {
  setup 1500
  start_sshd 22
  local sshd_pid=${PIDS[-1]}
  wait_port t 22
  capture_start ssh_classic
  ssh_refused -o KexAlgorithms=curve25519-sha256 nobody@"$SRV4"
  capture_stop ssh_classic
  stop_pid "$sshd_pid"
  teardown
}

# ssh to sshd on 2222, ssh -c 3des-cbc to an sshd that allows it (on 2223),
# dbclient to dropbear (on 22) and python3-paramiko's client to sshd.
record_ssh_cases() {
  setup 1500
  start_sshd 2222
  local sshd_pid=${PIDS[-1]}
  start_sshd 2223 -o Ciphers=+3des-cbc
  local weak_pid=${PIDS[-1]}
  dropbearkey -t ed25519 -f "$WORK/dropbear_key" > /dev/null 2>&1
  start_s /usr/sbin/dropbear -F -E -s -p "$SRV4:22" -r "$WORK/dropbear_key" -P "$WORK/dropbear.pid"
  local dropbear_pid=${PIDS[-1]}
  wait_port t 2222
  wait_port t 2223
  wait_port t 22
  capture_start ssh_cases
  ssh_refused -p 2222 nobody@"$SRV4"
  ssh_refused -p 2223 -c 3des-cbc nobody@"$SRV4"
  in_c timeout 10 dbclient -y -y -o BatchMode=yes nobody@"$SRV4" true < /dev/null > /dev/null 2>&1 || true
  in_c timeout 10 /usr/bin/python3 -c "
import paramiko, sys
t = paramiko.Transport((sys.argv[1], 2222)); t.start_client(timeout=5); t.close()" "$SRV4" > /dev/null 2>&1 || true
  capture_stop ssh_cases
  stop_pid "$dropbear_pid"
  stop_pid "$weak_pid"
  stop_pid "$sshd_pid"
  teardown
}

# Through a 576-byte MTU the client's KEXINIT (about 1.5 KB with its
# post-quantum key exchanges) spans three segments.
record_ssh_small_mtu() {
  setup 1500
  small_segments 576
  start_sshd 22
  local sshd_pid=${PIDS[-1]}
  wait_port t 22
  capture_start ssh_small_mtu
  ssh_refused nobody@"$SRV4"
  capture_stop ssh_small_mtu
  stop_pid "$sshd_pid"
  teardown
}
