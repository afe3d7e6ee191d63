# Recipes for the voice captures of this folder, sourced by ../record.sh
# (which provides setup, start_s, capture_start/capture_stop).
RECIPES+=(voice/mumble voice/iax)

# mumble-server (murmurd in the foreground, an ini of its own; it drops to
# its system user, so its database lives in a directory that user owns) and
# nmap's murmur-version script, which sends the 12-byte UDP ping to the
# voice port during a version scan.
record_mumble() {
  setup 1500
  local dir="$WORK/murmur"
  mkdir -p "$dir"
  chmod 755 "$WORK"
  chown mumble-server "$dir"
  cat > "$dir/murmur.ini" <<CONF
database=$dir/murmur.sqlite
logfile=$dir/murmur.log
host=$SRV4
port=64738
CONF
  start_s murmurd -fg -ini "$dir/murmur.ini"
  local murmur_pid=${PIDS[-1]}
  wait_port u 64738
  capture_start mumble
  in_c timeout 30 nmap -n -Pn -sU -sV --version-intensity 0 -p 64738 --script murmur-version "$SRV4" > /dev/null 2>&1 || true
  capture_stop mumble
  stop_pid "$murmur_pid"
  teardown
}

# iaxmodem registering (REGREQ, retransmitted while unanswered) to a UDP
# listener on 4569 that never answers; its configuration lives in the work
# directory (iaxmodem reads /etc/iaxmodem/NAME, so NAME climbs out of it).
# nmap's iax2-version sends its POKE to the same listener: a control frame
# with subclass 30, which is not the opening of a call or registration.
record_iax() {
  setup 1500
  cat > "$WORK/ttyIAX" <<CONF
device $WORK/ttyIAX0
owner root:root
mode 660
port 4570
refresh 60
server $SRV4
peername vesk
secret secret
cidname Vesk
cidnumber 100
codec ulaw
CONF
  start_s timeout 30 socat -u UDP-RECV:4569 /dev/null
  local sink=${PIDS[-1]}
  wait_port u 4569
  capture_start iax
  in_c timeout 4 iaxmodem "../..$WORK/ttyIAX" > /dev/null 2>&1 || true
  in_c timeout 30 nmap -n -Pn -sU -p 4569 --script iax2-version "$SRV4" > /dev/null 2>&1 || true
  capture_stop iax
  stop_pid "$sink"
  teardown
}
