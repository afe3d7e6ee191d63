#!/bin/bash
# Dissectors read packet bytes only through the bounded reader and reach the
# engine only through the kit: no hand indexing of a reader's `.data[`, no
# look into the module's detection state (`m->det`, `module->det`).
# Usage: check-reader-rule.sh [source dir]; exits 1 and lists each offence.
set -u
src=${1:-${VESK_SOURCE:-$(cd "$(dirname "$0")/.." && pwd)}}
dir="$src/oxlo/protocols"
[ -d "$dir" ] || { echo "no $dir" >&2; exit 2; }

hits=$(grep -rnE --include='*.cpp' --include='*.h' --include='*.c' \
            '\.data\[|\b(m|module)->det\b' "$dir" | sort)
if [ -n "$hits" ]; then
    printf '%s\n' "$hits" | sed "s|^$dir/|reader rule: |"
    echo "dissectors must read bytes through oxlo_rd_* and the packet through the kit (oxlo_dissector.h)" >&2
    exit 1
fi
exit 0
