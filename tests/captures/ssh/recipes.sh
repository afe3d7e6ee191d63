# Recipes for the ssh captures of this folder, sourced by ../record.sh
# (which provides setup, start_s, capture_start/capture_stop and the rest).
RECIPES+=(ssh/ssh)

record_ssh() {
  setup 1500
  ssh-keygen -q -t ed25519 -N '' -f "$WORK/hostkey"
  mkdir -p /run/sshd
  start_s /usr/sbin/sshd -D -e -p 22 -h "$WORK/hostkey" -o ListenAddress="$SRV4" \
    -o PasswordAuthentication=no -o KbdInteractiveAuthentication=no -o UsePAM=no \
    -o PidFile="$WORK/sshd.pid"
  local sshd_pid=${PIDS[-1]}
  wait_port t 22
  capture_start ssh
  # No credentials: the client gets through the key exchange and is refused.
  in_c timeout 10 ssh -F /dev/null -o BatchMode=yes -o StrictHostKeyChecking=no \
    -o UserKnownHostsFile=/dev/null -o ConnectTimeout=5 nobody@"$SRV4" true > /dev/null 2>&1 || true
  capture_stop ssh
  stop_pid "$sshd_pid"
  teardown
}

# The same with a classic key exchange only (no post-quantum hybrid).
RECIPES+=(ssh/ssh_classic)

record_ssh_classic() {
  setup 1500
  ssh-keygen -q -t ed25519 -N '' -f "$WORK/hostkey"
  mkdir -p /run/sshd
  start_s /usr/sbin/sshd -D -e -p 22 -h "$WORK/hostkey" -o ListenAddress="$SRV4" \
    -o PasswordAuthentication=no -o KbdInteractiveAuthentication=no -o UsePAM=no \
    -o PidFile="$WORK/sshd.pid"
  local sshd_pid=${PIDS[-1]}
  wait_port t 22
  capture_start ssh_classic
  in_c timeout 10 ssh -F /dev/null -o BatchMode=yes -o StrictHostKeyChecking=no \
    -o UserKnownHostsFile=/dev/null -o ConnectTimeout=5 -o KexAlgorithms=curve25519-sha256 \
    nobody@"$SRV4" true > /dev/null 2>&1 || true
  capture_stop ssh_classic
  stop_pid "$sshd_pid"
  teardown
}
