#!/usr/bin/env bash
# The committed x-gram tables are exactly what scripts/gen-xgrams.py makes
# from the installed word lists: nobody edited them by hand, and the script
# still describes how they were made.
set -euo pipefail
source_dir=${VESK_SOURCE:?}
out=$(mktemp)
trap 'rm -f "$out"' EXIT
for list in /usr/share/dict/american-english /usr/share/dict/american-english-insane; do
  [ -r "$list" ] || { echo "missing word list $list (packages wamerican, wamerican-insane)"; exit 1; }
done
/usr/bin/python3 "$source_dir/scripts/gen-xgrams.py" "$out"
if ! diff -q "$source_dir/oxlo/data/oxlo_xgrams.def" "$out" >/dev/null; then
  echo "oxlo/data/oxlo_xgrams.def differs from the generator's output:"
  diff "$source_dir/oxlo/data/oxlo_xgrams.def" "$out" | head -20
  exit 1
fi
echo "x-gram tables match the generator"
