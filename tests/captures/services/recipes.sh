# Recipes for the service captures of this folder, sourced by ../record.sh
# (which provides setup, start_s, capture_start/capture_stop).
RECIPES+=(services/dicom services/collectd services/nmap_clients)

# dcmtk: echoscu's C-ECHO to storescp on DICOM's 11112 and on 4242.
record_dicom() {
  setup 1500
  mkdir -p "$WORK/dicom"
  start_s storescp -od "$WORK/dicom" 11112
  local a_pid=${PIDS[-1]}
  start_s storescp -od "$WORK/dicom" 4242
  local b_pid=${PIDS[-1]}
  wait_port t 11112
  wait_port t 4242
  capture_start dicom
  in_c timeout 10 echoscu "$SRV4" 11112 > /dev/null 2>&1 || true
  in_c timeout 10 echoscu "$SRV4" 4242 > /dev/null 2>&1 || true
  capture_stop dicom
  stop_pid "$a_pid"
  stop_pid "$b_pid"
  teardown
}

# collectd's network plugin: one instance sends its load and memory values
# (with its host name) every second to another that listens on 25826.
record_collectd() {
  setup 1500
  cat > "$WORK/server.conf" <<CONF
Hostname "collector.vesk.test"
Interval 1
BaseDir "$WORK"
PIDFile "$WORK/server.pid"
LoadPlugin network
<Plugin network>
  Listen "$SRV4" "25826"
</Plugin>
CONF
  cat > "$WORK/client.conf" <<CONF
Hostname "probe.vesk.test"
Interval 1
BaseDir "$WORK"
PIDFile "$WORK/client.pid"
LoadPlugin load
LoadPlugin memory
LoadPlugin network
<Plugin network>
  Server "$SRV4" "25826"
</Plugin>
CONF
  start_s collectd -f -C "$WORK/server.conf"
  local srv_pid=${PIDS[-1]}
  wait_port u 25826
  capture_start collectd
  in_c collectd -f -C "$WORK/client.conf" > "$WORK/client.log" 2>&1 &
  local cli_pid=$!
  PIDS+=($cli_pid)
  sleep 4
  stop_pid "$cli_pid"
  capture_stop collectd
  stop_pid "$srv_pid"
  teardown
}

# nmap's bitcoin-info, giop-info and drda-info scripts against listeners
# that accept and keep the connection open: the captures hold the real
# clients' first messages (the listeners answer nothing).
record_nmap_clients() {
  setup 1500
  local p pids=()
  for p in 8333 2809 50000; do
    start_s ncat -l -k "$SRV4" "$p"
    pids+=("${PIDS[-1]}")
  done
  for p in 8333 2809 50000; do wait_port t "$p"; done
  capture_start nmap_clients
  in_c timeout 20 nmap -n -Pn -sT -p 8333 --script bitcoin-info --script-timeout 5s "$SRV4" > /dev/null 2>&1 || true
  in_c timeout 20 nmap -n -Pn -sT -p 2809 --script giop-info --script-timeout 5s "$SRV4" > /dev/null 2>&1 || true
  in_c timeout 20 nmap -n -Pn -sT -p 50000 --script drda-info --script-timeout 5s "$SRV4" > /dev/null 2>&1 || true
  capture_stop nmap_clients
  for p in "${pids[@]}"; do stop_pid "$p"; done
  teardown
}
