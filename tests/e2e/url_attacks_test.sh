#!/usr/bin/env bash
# Query strings that carry XSS and SQL injection, sent by curl through the
# queue to python's http.server: each exported flow record carries the risk
# bit (1 XSS, 2 SQL injection) and the "Suspicious URL [...]" message;
# ordinary values carry neither.
TAG=urlatk
. "$(dirname "$0")/e2e_lib.sh"
e2e_require
e2e_setup

cat > "$TMP/pass.json" <<'JSON'
{ "policy": { "id": 0, "name": "pass", "default_marker": "pass", "markers": { "categories": { }, "protocols": { }}}}
JSON
mkdir -p "$TMP/www"
echo "hello" > "$TMP/www/item"
e2e_spawn "$NS_S" $PY -m http.server 80 --bind 10.77.0.2 --directory "$TMP/www"
e2e_wait_port tcp 80

e2e_start_collector flows 60
e2e_start_vesk -r "$TMP/pass.json" -z "$EP" -f
e2e_wait_for "$OUT" '"hello"' 10 || fail "no greeting"

# query string | expected risk bit (0: none)
cases=(
  "q=%3Cscript%3Ealert(1)%3C%2Fscript%3E|1"
  "q=%3Cimg%20src%3Dx%20onerror%3Dalert(1)%3E|1"
  "q=%22%20onmouseover%3D%22alert(1)|1"
  "id=1%20UNION%20ALL%20SELECT%20NULL,NULL--%20-|2"
  "id=1%27%20OR%20%271%27%3D%271|2"
  "id=1%20AND%20SLEEP(5)|2"
  "id=1--|2"
  "q=hello%20world&page=2|0"
  "name=O%27Brien|0"
)
n=0
for c in "${cases[@]}"; do
  q=${c%|*}
  n=$((n + 1))
  in_c curl -s -m 5 -o /dev/null -H "Host: case$n.vesk.test" "http://10.77.0.2/item?$q" \
    || fail "curl case $n ($q)"
done
for _ in $(seq 1 50); do
  [ "$(grep -c '"flow"' "$OUT")" -ge "$n" ] && break
  sleep 0.1
done
e2e_stop_vesk

n=0
for c in "${cases[@]}"; do
  q=${c%|*} bit=${c#*|}
  n=$((n + 1))
  if $PY - "$OUT" "case$n.vesk.test" "$bit" <<'PY'
import json, sys
path, host, bit = sys.argv[1], sys.argv[2], int(sys.argv[3])
recs = [r for l in open(path) if l.strip()
        for m in [json.loads(l)] if m.get('topic') == 'flow'
        for r in m.get('records', []) if r.get('58011') == host]
if not recs:
    print("no record for", host); sys.exit(1)
r = recs[0]
risks, messages = r.get('57981', 0), r.get('58027', '')
want = (1 << bit) if bit else 0
attack = risks & 0b110
ok = attack == want and (('"%d":"Suspicious URL [' % bit) in messages if bit else 'Suspicious URL' not in messages)
if not ok:
    print(host, "risks", risks, "messages", messages)
sys.exit(0 if ok else 1)
PY
  then ok "case $n ($q): risk bits as expected ($bit)"; else fail "case $n ($q): expected risk $bit"; fi
done

exit $FAIL
