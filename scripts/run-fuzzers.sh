#!/usr/bin/env bash
# Runs every built libFuzzer target for a bounded time from its seed corpus
# (tests/fuzz/corpus/NAME, when present), as many at once as there are
# processors. Any crash fails the run.
set -euo pipefail
dir=$1; secs=${2:-20}; jobs=${3:-$(nproc)}
root=$(cd "$(dirname "$0")/.." && pwd)
shopt -s nullglob
results=$(mktemp -d)
trap 'rm -rf "$results"' EXIT

one() {
  local t=$1 name work
  name=$(basename "$t")
  work=$(mktemp -d)
  local seeds=()
  [ -d "$root/tests/fuzz/corpus/$name" ] && seeds=("$root/tests/fuzz/corpus/$name")
  if "$t" -max_total_time="$secs" -rss_limit_mb=2048 -artifact_prefix="$work/" "$work" "${seeds[@]}" \
      > "$work/log" 2>&1; then
    echo "fuzzed $name for ${secs}s: no crash"
  else
    { echo "fuzzing $name FAILED:"; tail -n 40 "$work/log"; } > "$results/$name.failed"
    cat "$results/$name.failed"
  fi
  rm -rf "$work"
}

running=0
for t in "$dir"/*_fuzz; do
  one "$t" &
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then
    wait -n || true
    running=$((running - 1))
  fi
done
wait
failed=("$results"/*.failed)
[ ${#failed[@]} -eq 0 ]
