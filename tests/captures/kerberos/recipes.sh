# Recipes for the kerberos captures of this folder, sourced by ../record.sh
# (which provides setup, start_s, capture_start/capture_stop and the rest).
RECIPES+=(kerberos/kerberos_udp kerberos/kerberos_tcp)

# A KDC for the realm TEST.LOCAL with a user (alice, password secret), a
# host principal and a machine account (WS01$) whose key goes to a keytab
# the client uses. $1: "udp" or "tcp" for the clients' krb5.conf.
start_kdc() {
  local k=$WORK/krb5
  rm -rf "$k"
  mkdir -p "$k"
  cat > "$k/kdc.conf" <<CONF
[kdcdefaults]
  kdc_listen = 88
  kdc_tcp_listen = 88
[realms]
  TEST.LOCAL = {
    database_name = $k/principal
    key_stash_file = $k/stash
    acl_file = $k/kadm5.acl
    supported_enctypes = aes256-cts-hmac-sha1-96:normal aes128-cts-hmac-sha1-96:normal
  }
[logging]
  kdc = FILE:$k/kdc.log
CONF
  : > "$k/kadm5.acl"
  local pref=""
  [ "$1" = tcp ] && pref="udp_preference_limit = 1"
  cat > "$k/krb5.conf" <<CONF
[libdefaults]
  default_realm = TEST.LOCAL
  dns_lookup_kdc = false
  dns_lookup_realm = false
  rdns = false
  $pref
[realms]
  TEST.LOCAL = {
    kdc = $SRV4
  }
CONF
  export KRB5_CONFIG=$k/krb5.conf KRB5_KDC_PROFILE=$k/kdc.conf KRB5CCNAME=FILE:$k/ccache
  kdb5_util create -s -r TEST.LOCAL -P master-secret > /dev/null 2>&1
  kadmin.local -q "addprinc +requires_preauth -pw secret alice" > /dev/null 2>&1
  kadmin.local -q "addprinc -randkey host/x.test.local" > /dev/null 2>&1
  kadmin.local -q 'addprinc -randkey WS01$' > /dev/null 2>&1
  kadmin.local -q "ktadd -k $k/ws.keytab WS01\$" > /dev/null 2>&1
  start_s /usr/sbin/krb5kdc -n -r TEST.LOCAL
}

# kinit with a password (an AS-REQ refused for want of pre-authentication,
# then one with it), kvno for a host service (TGS-REQ), and kinit of the
# machine account from its keytab.
kerberos_clients() {
  local k=$WORK/krb5
  echo secret | in_c timeout 10 kinit alice@TEST.LOCAL > /dev/null 2>&1 || true
  in_c timeout 10 kvno host/x.test.local@TEST.LOCAL > /dev/null 2>&1 || true
  in_c timeout 10 kinit -k -t "$k/ws.keytab" -c "FILE:$k/ccache-ws" 'WS01$@TEST.LOCAL' > /dev/null 2>&1 || true
  unset KRB5_CONFIG KRB5_KDC_PROFILE KRB5CCNAME
}

record_kerberos_udp() {
  setup 1500
  start_kdc udp
  local kdc_pid=${PIDS[-1]}
  wait_port u 88
  capture_start kerberos_udp
  kerberos_clients
  capture_stop kerberos_udp
  stop_pid "$kdc_pid"
  teardown
}

# Over TCP through a small MTU: the tickets do not fit one segment, so the
# records are put back together.
record_kerberos_tcp() {
  setup 1500
  small_segments 576
  start_kdc tcp
  local kdc_pid=${PIDS[-1]}
  wait_port t 88
  capture_start kerberos_tcp
  kerberos_clients
  capture_stop kerberos_tcp
  stop_pid "$kdc_pid"
  teardown
}
