#!/usr/bin/env bash
# TCP where the server speaks first: ssh against sshd through the queue,
# over IPv4 and IPv6. The login works, each connection's flow is completed
# as SSH with the policy's marker, and the drop-free policy lets it through.
TAG=ssh
. "$(dirname "$0")/e2e_lib.sh"
e2e_require
command -v /usr/sbin/sshd >/dev/null || { echo "skipped: sshd is not installed"; exit 77; }
e2e_setup

cat > "$TMP/rules.json" <<'JSON'
{ "policy": { "id": 0, "name": "mark 9", "default_marker": 9, "markers": { "categories": { }, "protocols": { }}}}
JSON
ssh-keygen -q -t ed25519 -N '' -f "$TMP/host_key"
ssh-keygen -q -t ed25519 -N '' -f "$TMP/client_key"
cp "$TMP/client_key.pub" "$TMP/authorized_keys"
cat > "$TMP/sshd_config" <<CONF
Port 22
ListenAddress 10.77.0.2
ListenAddress fd77::2
HostKey $TMP/host_key
AuthorizedKeysFile $TMP/authorized_keys
PidFile $TMP/sshd.pid
PermitRootLogin prohibit-password
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
StrictModes no
CONF
mkdir -p /run/sshd
e2e_count_mark 9
e2e_spawn "$NS_S" /usr/sbin/sshd -D -e -f "$TMP/sshd_config"
e2e_wait_port tcp 22
e2e_start_vesk -r "$TMP/rules.json"

for host in 10.77.0.2 fd77::2; do
  out=$(in_c ssh -i "$TMP/client_key" -o BatchMode=yes -o StrictHostKeyChecking=no \
    -o UserKnownHostsFile=/dev/null -o ConnectTimeout=5 -o LogLevel=ERROR root@"$host" echo through-the-queue)
  [ "$out" = through-the-queue ] && ok "ssh $host through the queue" || fail "ssh $host gave [$out]"
done

e2e_wait_for "$LOG" "OXLO OVER.*fd77::2:22\]" 5
over=$(e2e_over_lines 22)
echo "$over"
for family in IPv4 IPv6; do
  line=$(echo "$over" | grep -F "[$family][TCP]" | head -1)
  if [ -z "$line" ]; then fail "no [OXLO OVER] line for $family"; continue; fi
  echo "$line" | grep -Eq ":22\]\[SSH[^/]*/" && ok "$family flow classified as SSH" || fail "$family: $line"
  echo "$line" | grep -q "\[marker: 9\]$" && ok "$family marker 9" || fail "$family marker: $line"
done
marked=$(e2e_marked_packets 9)
[ "$marked" -ge 10 ] && ok "$marked packets carry mark 9" || fail "only $marked packets carry mark 9"

e2e_stop_vesk
exit $FAIL
