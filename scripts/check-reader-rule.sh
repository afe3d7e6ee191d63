#!/bin/bash
# Dissectors read packet bytes only through the bounded reader and reach the
# engine only through the kit: no hand indexing of a reader's `.data[`, no
# look into the module's detection state (`m->det`, `module->det`).
# Usage: check-reader-rule.sh [source dir]; exits 1 and lists each offence.
set -u
src=${1:-${VESK_SOURCE:-$(cd "$(dirname "$0")/.." && pwd)}}
dir="$src/oxlo/protocols"
[ -d "$dir" ] || { echo "no $dir" >&2; exit 2; }

# Files not converted yet; this list only shrinks.
allow=(
)

fail=0
while IFS= read -r hit; do
    file=${hit%%:*}
    rel=${file#"$dir"/}
    skip=0
    for a in "${allow[@]}"; do
        [ "$rel" = "$a" ] && skip=1
    done
    [ $skip = 1 ] && continue
    echo "reader rule: ${hit#"$dir"/}"
    fail=1
done < <(grep -rnE --include='*.cpp' --include='*.h' --include='*.c' \
              '\.data\[|\b(m|module)->det\b' "$dir" | sort)

if [ $fail = 1 ]; then
    echo "dissectors must read bytes through oxlo_rd_* and the packet through oxlo_dissector_packet / oxlo_dissector_self" >&2
    exit 1
fi
exit 0
