#!/usr/bin/env bash
# Directory and authentication through the queue: kinit against a KDC over
# UDP and over TCP (for a user the realm does not have: the KDC's refusal
# shows the exchange went through), and ldapwhoami against slapd with a
# simple bind. Each flow is completed as Kerberos or LDAP.
TAG=krb
. "$(dirname "$0")/e2e_lib.sh"
e2e_require
for p in /usr/sbin/krb5kdc /usr/sbin/kdb5_util /usr/bin/kinit /usr/sbin/slapd /usr/bin/ldapwhoami; do
  command -v "$p" > /dev/null || { echo "skipped: $p is not installed"; exit 77; }
done
e2e_setup

cat > "$TMP/rules.json" <<'JSON'
{ "policy": { "id": 0, "name": "mark 9", "default_marker": 9, "markers": { "categories": { }, "protocols": { }}}}
JSON
cat > "$TMP/kdc.conf" <<CONF
[kdcdefaults]
  kdc_listen = 88
  kdc_tcp_listen = 88
[realms]
  TEST.LOCAL = {
    database_name = $TMP/principal
    key_stash_file = $TMP/stash
    acl_file = $TMP/kadm5.acl
  }
[logging]
  kdc = FILE:$TMP/kdc.log
CONF
: > "$TMP/kadm5.acl"
for transport in udp tcp; do
  pref=""
  [ $transport = tcp ] && pref="udp_preference_limit = 1"
  cat > "$TMP/krb5-$transport.conf" <<CONF
[libdefaults]
  default_realm = TEST.LOCAL
  dns_lookup_kdc = false
  dns_lookup_realm = false
  rdns = false
  $pref
[realms]
  TEST.LOCAL = {
    kdc = 10.77.0.2
  }
CONF
done
export KRB5_KDC_PROFILE=$TMP/kdc.conf KRB5_CONFIG=$TMP/krb5-udp.conf
kdb5_util create -s -r TEST.LOCAL -P master-secret > /dev/null 2>&1 || { fail "kdb5_util create"; exit 1; }
e2e_spawn "$NS_S" /usr/sbin/krb5kdc -n -r TEST.LOCAL

mkdir -p "$TMP/ldap"
cat > "$TMP/slapd.conf" <<CONF
include /etc/ldap/schema/core.schema
pidfile $TMP/slapd.pid
modulepath /usr/lib/ldap
moduleload back_mdb
database mdb
suffix "dc=test,dc=local"
rootdn "cn=admin,dc=test,dc=local"
rootpw secret
directory $TMP/ldap
CONF
e2e_spawn "$NS_S" /usr/sbin/slapd -d 0 -f "$TMP/slapd.conf" -h "ldap://10.77.0.2/"
e2e_wait_port udp 88
e2e_wait_port tcp 88
e2e_wait_port tcp 389
e2e_count_mark 9
e2e_start_vesk -r "$TMP/rules.json"

for transport in udp tcp; do
  out=$(echo secret | in_c env KRB5_CONFIG="$TMP/krb5-$transport.conf" KRB5CCNAME="FILE:$TMP/cc-$transport" \
    timeout 10 kinit alice@TEST.LOCAL 2>&1)
  case "$out" in
    *"not found in Kerberos database"*) ok "kinit over $transport: the KDC's answer came through the queue" ;;
    *) fail "kinit over $transport gave [$out]" ;;
  esac
done
out=$(in_c timeout 10 ldapwhoami -x -H ldap://10.77.0.2 -D cn=admin,dc=test,dc=local -w secret 2>&1)
[ "$out" = "dn:cn=admin,dc=test,dc=local" ] && ok "ldapwhoami through the queue" || fail "ldapwhoami gave [$out]"

e2e_wait_for "$LOG" "OXLO OVER.*:389\]" 5
over=$(e2e_over_lines 88)
echo "$over"
for l4 in UDP TCP; do
  line=$(echo "$over" | grep -F "[IPv4][$l4]" | head -1)
  if [ -z "$line" ]; then fail "no [OXLO OVER] line for Kerberos over $l4"; continue; fi
  echo "$line" | grep -Eq ":88\]\[Kerberos[^/]*/" && ok "Kerberos over $l4 classified" || fail "$l4: $line"
done
line=$(e2e_over_lines 389 | head -1)
echo "$line"
echo "$line" | grep -Eq ":389\]\[LDAP[^/]*/" && ok "LDAP classified" || fail "LDAP: $line"
echo "$line" | grep -q "\[marker: 9\]$" && ok "LDAP marker 9" || fail "LDAP marker: $line"

e2e_stop_vesk
exit $FAIL
