# Recipes for the WSD captures of this folder, sourced by ../record.sh
# (which provides setup, start_s, capture_start/capture_stop and the rest).
RECIPES+=(wsd/wsd)

# wsdd announcing a host (Hello to 239.255.255.250:3702) and wsdd
# --discovery on the other side probing for hosts; both groups are routed
# onto the veth pair.
record_wsd() {
  setup 1500
  in_s ip route add 224.0.0.0/4 dev vcap-s
  in_c ip route add 224.0.0.0/4 dev vcap-c
  capture_start wsd
  start_s wsdd -4 -i vcap-s -n VESKSRV -w VESKGRP
  local wsdd_pid=${PIDS[-1]}
  sleep 2
  in_c timeout 6 wsdd -4 -i vcap-c --discovery --no-host > /dev/null 2>&1 || true
  capture_stop wsd
  stop_pid "$wsdd_pid"
  teardown
}
