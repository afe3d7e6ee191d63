# Recipes for the ldap captures of this folder, sourced by ../record.sh
# (which provides setup, start_s, capture_start/capture_stop and the rest).
RECIPES+=(ldap/ldap)

# slapd with one database (dc=test,dc=local, its root cn=admin with password
# secret) on 389 and on 10389, over IPv4 and IPv6.
start_slapd() {
  local l=$WORK/ldap
  rm -rf "$l"
  mkdir -p "$l/db"
  cat > "$l/slapd.conf" <<CONF
include /etc/ldap/schema/core.schema
pidfile $l/slapd.pid
modulepath /usr/lib/ldap
moduleload back_mdb
database mdb
suffix "dc=test,dc=local"
rootdn "cn=admin,dc=test,dc=local"
rootpw secret
directory $l/db
CONF
  start_s /usr/sbin/slapd -d 0 -f "$l/slapd.conf" \
    -h "ldap://$SRV4:389/ ldap://$SRV4:10389/ ldap://[$SRV6]:389/"
}

record_ldap() {
  setup 1500
  start_slapd
  local slapd_pid=${PIDS[-1]}
  wait_port t 389
  wait_port t 10389
  capture_start ldap
  # Anonymous and simple binds (whoami extended operation), a root DSE
  # search, the same on a port of its own and over IPv6.
  in_c timeout 10 ldapwhoami -x -H "ldap://$SRV4" > /dev/null 2>&1 || true
  in_c timeout 10 ldapwhoami -x -H "ldap://$SRV4" -D cn=admin,dc=test,dc=local -w secret > /dev/null 2>&1 || true
  in_c timeout 10 ldapsearch -x -H "ldap://$SRV4" -b '' -s base > /dev/null 2>&1 || true
  in_c timeout 10 ldapsearch -x -H "ldap://$SRV4:10389" -b '' -s base namingContexts > /dev/null 2>&1 || true
  in_c timeout 10 ldapsearch -x -H "ldap://[$SRV6]" -b dc=test,dc=local -s base > /dev/null 2>&1 || true
  capture_stop ldap
  stop_pid "$slapd_pid"
  teardown
}
