#!/usr/bin/env bash
# Runs every built libFuzzer target for a bounded time from its seed corpus
# (tests/fuzz/corpus/NAME, when present). Any crash fails the run.
set -euo pipefail
dir=$1; secs=${2:-20}
root=$(cd "$(dirname "$0")/.." && pwd)
shopt -s nullglob
status=0
for t in "$dir"/*_fuzz; do
  name=$(basename "$t")
  work=$(mktemp -d)
  seeds=()
  [ -d "$root/tests/fuzz/corpus/$name" ] && seeds=("$root/tests/fuzz/corpus/$name")
  echo "fuzzing $name for ${secs}s"
  if ! "$t" -max_total_time="$secs" -rss_limit_mb=2048 -artifact_prefix="$work/" "$work" "${seeds[@]}" \
      > "$work/log" 2>&1; then
    tail -n 40 "$work/log"; status=1
  fi
  rm -rf "$work"
done
exit $status
