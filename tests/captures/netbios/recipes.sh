# Recipes for the NetBIOS captures of this folder, sourced by ../record.sh
# (which provides setup, start_s, capture_start/capture_stop and the rest).
RECIPES+=(netbios/netbios)

# samba's nmbd (name service on UDP 137) and smbd (session service on TCP
# 139 only) with a private configuration; nmblookup asks the server for its
# name by unicast, smbclient -p 139 opens a session (the NetBIOS session
# request comes first) and lists the shares anonymously.
start_samba() {
  mkdir -p "$WORK/samba"/{private,lock,state,cache,pid,log}
  cat > "$WORK/samba/smb.conf" <<CONF
[global]
  workgroup = VESKGRP
  netbios name = VESKSRV
  interfaces = vcap-s
  bind interfaces only = yes
  smb ports = 139
  disable netbios = no
  private dir = $WORK/samba/private
  lock directory = $WORK/samba/lock
  state directory = $WORK/samba/state
  cache directory = $WORK/samba/cache
  pid directory = $WORK/samba/pid
  log file = $WORK/samba/log/%m.log
  map to guest = Bad User
  server role = standalone server
CONF
  start_s /usr/sbin/nmbd -F --no-process-group -s "$WORK/samba/smb.conf"
  start_s /usr/sbin/smbd -F --no-process-group -s "$WORK/samba/smb.conf"
}

record_netbios() {
  setup 1500
  start_samba
  local smbd_pid=${PIDS[-1]} nmbd_pid=${PIDS[-2]}
  wait_port u 137
  wait_port t 139
  capture_start netbios
  in_c timeout 10 nmblookup -U "$SRV4" VESKSRV > /dev/null || true
  in_c timeout 10 smbclient -N -L "$SRV4" -p 139 -s /dev/null > /dev/null 2>&1 || true
  capture_stop netbios
  stop_pid "$smbd_pid"
  stop_pid "$nmbd_pid"
  teardown
}
