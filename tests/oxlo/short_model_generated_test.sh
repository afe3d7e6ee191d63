#!/usr/bin/env bash
# The committed model of the short-string compressor is exactly what
# scripts/gen-short-model.py makes from the engine's host tables and the
# public suffix list.
set -euo pipefail
source_dir=${VESK_SOURCE:?}
psl=/usr/share/publicsuffix/public_suffix_list.dat
[ -r "$psl" ] || { echo "missing $psl (package publicsuffix)"; exit 1; }
out=$(mktemp)
trap 'rm -f "$out"' EXIT
/usr/bin/python3 "$source_dir/scripts/gen-short-model.py" "$out"
if ! diff -q "$source_dir/oxlo/data/oxlo_short_model.def" "$out" >/dev/null; then
  echo "oxlo/data/oxlo_short_model.def differs from the generator's output:"
  diff "$source_dir/oxlo/data/oxlo_short_model.def" "$out" | head -20
  exit 1
fi
echo "short-string model matches the generator"
