#!/usr/bin/env bash
# `vesk -H` ends its help with the protocol table of the global module: one
# row per built-in protocol, and the rows with fully known attributes read
# as the golden file says (breed, category, UDP and TCP ports).
set -euo pipefail
build=${VESK_BUILD:?}
source_dir=${VESK_SOURCE:?}
out=$(mktemp)
trap 'rm -f "$out"' EXIT

timeout 30 "$build/vesk" -H >"$out"
table=$(awk '/^Supported protocols:/{f=1; next} f' "$out")
rows=$(printf '%s\n' "$table" | grep -cE '^ *[0-9]+ +[0-9]+ ')
want=$(grep -c '^OXLO_PROTO(' "$source_dir/oxlo/data/oxlo_protocols.def")
if [ "$rows" -ne "$want" ]; then
  echo "expected $want protocol rows, got $rows"; exit 1
fi

fail=0
while read -r id name ct app breed category class tcp udp; do
  case "$id" in '#'*|'') continue ;; esac
  row=$(printf '%s\n' "$table" | awk -v id="$id" '$1 == id')
  # Columns: id, user id, name, [transport], [X], breed, category, udp, tcp, custom.
  got=$(printf '%s\n' "$row" | awk '{print $(NF-4), $(NF-3), $(NF-2), $(NF-1)}')
  want="$breed $category $udp $tcp"
  if [ "$got" != "$want" ] || ! printf '%s\n' "$row" | grep -q " $name "; then
    echo "row $id: got [$got] want [$want]: $row"; fail=1
  fi
  netcol=$(printf '%s\n' "$row" | grep -c ' X ' || true)
  if [ "$app" = 0 ] && [ "$netcol" -ne 1 ]; then echo "row $id should be marked X"; fail=1; fi
  if [ "$app" = 1 ] && [ "$netcol" -ne 0 ]; then echo "row $id should not be marked X"; fail=1; fi
done <"$source_dir/tests/oxlo/data/protocol_table_rows.txt"
[ "$fail" -eq 0 ] && echo "1 passed, 0 failed"
exit "$fail"
