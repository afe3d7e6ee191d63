#!/usr/bin/env bash
# The committed SQL keyword table is exactly what scripts/gen-sqli-table.py
# makes from the word list and the attack and benign corpora, and the
# detector built with it finds at least 90% of the attacks while flagging
# under 0.5% of a held-out benign corpus. The attack corpora come with the
# Debian packages sqlmap and wfuzz; without them there is nothing to compare.
set -euo pipefail
source_dir=${VESK_SOURCE:?}
tool=${VESK_BUILD:?}/oxlo-sqli-fingerprints
for f in /usr/share/sqlmap/data/xml/boundaries.xml /usr/share/wfuzz/wordlist/Injections/SQL.txt; do
  if [ ! -r "$f" ]; then
    echo "skipped: $f missing (packages sqlmap and wfuzz hold the attack corpora)"
    exit 77
  fi
done
for list in /usr/share/dict/american-english /usr/share/dict/american-english-insane; do
  [ -r "$list" ] || { echo "missing word list $list (packages wamerican, wamerican-insane)"; exit 1; }
done
[ -x "$tool" ] || { echo "missing $tool"; exit 1; }
out=$(mktemp)
trap 'rm -f "$out"' EXIT
/usr/bin/python3 "$source_dir/scripts/gen-sqli-table.py" "$tool" "$out"
if ! diff -q "$source_dir/oxlo/data/oxlo_sqli_table.def" "$out" >/dev/null; then
  echo "oxlo/data/oxlo_sqli_table.def differs from the generator's output:"
  diff "$source_dir/oxlo/data/oxlo_sqli_table.def" "$out" | head -20
  exit 1
fi
echo "SQL keyword table matches the generator"
/usr/bin/python3 "$source_dir/scripts/gen-sqli-table.py" --figures "$tool"
