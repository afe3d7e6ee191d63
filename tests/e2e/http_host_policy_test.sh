#!/usr/bin/env bash
# Host-name markers end to end: a policy that drops "example.com" stops curl
# asking for www.example.com (a sub-domain of a listed name), while
# example.com.evil, which only starts with the listed name, gets through with
# the default marker. An organisation marker ("vendor.") drops its hosts
# under any public suffix (www.vendor.co.uk). The HTTP flows show up in the
# -v log with their host.
TAG=hostpol
. "$(dirname "$0")/e2e_lib.sh"
e2e_require
e2e_setup

cat > "$TMP/rules.json" <<'JSON'
{"policy":{"id":0,"name":"hosts","default_marker":9,"markers":{"hostnames":{"example.com":"drop","vendor.":"drop"}}}}
JSON
echo hello > "$TMP/index.txt"
e2e_count_mark 9
e2e_spawn "$NS_S" /usr/bin/python3 -m http.server 80 --bind :: --directory "$TMP"
e2e_wait_port tcp 80
e2e_start_vesk -r "$TMP/rules.json"

fetch() {  # host address -> body, or nothing when the request got no answer
  in_c curl -s -m 4 --resolve "$1:80:$2" "http://$1/index.txt"
}

for address in 10.77.0.2 fd77::2; do
  body=$(fetch example.com.evil "$address")
  [ "$body" = hello ] && ok "example.com.evil via $address passes" \
    || fail "example.com.evil via $address got [$body]"
  body=$(fetch www.example.com "$address")
  [ -z "$body" ] && ok "www.example.com via $address dropped" \
    || fail "www.example.com via $address answered [$body]"
  body=$(fetch www.vendor.co.uk "$address")
  [ -z "$body" ] && ok "www.vendor.co.uk via $address dropped" \
    || fail "www.vendor.co.uk via $address answered [$body]"
  body=$(fetch www.novendor.co.uk "$address")
  [ "$body" = hello ] && ok "www.novendor.co.uk via $address passes" \
    || fail "www.novendor.co.uk via $address got [$body]"
done

# The flow lines name HTTP and carry the host: the dropped one with marker 2,
# the passed one with the default marker.
e2e_wait_for "$LOG" "info: www.example.com" 5
over=$(e2e_over_lines 80)
echo "$over"
for family in IPv4 IPv6; do
  line=$(echo "$over" | grep -F "[$family]" | grep -F "[info: www.example.com]" | head -1)
  echo "$line" | grep -q "\[HTTP[^]]*/7\].*\[marker: 2\]$" \
    && ok "$family www.example.com flow is HTTP with marker 2" || fail "$family drop line: [$line]"
  line=$(echo "$over" | grep -F "[$family]" | grep -F "[info: example.com.evil]" | head -1)
  echo "$line" | grep -q "\[HTTP[^]]*/7\].*\[marker: 9\]$" \
    && ok "$family example.com.evil flow is HTTP with marker 9" || fail "$family pass line: [$line]"
done
marked=$(e2e_marked_packets 9)
[ "$marked" -gt 0 ] && ok "$marked packets carry the default marker" || fail "no packet carries mark 9"

e2e_stop_vesk
exit $FAIL
