#!/bin/bash
# Dissectors read packet bytes only through the bounded reader and reach the
# engine only through the kit: no hand indexing of a reader's `.data[`, no
# look into the module's detection state (`m->det`, `module->det`), risks
# raised through oxlo_dissector_risk, the follow-up reader set, read and
# ended through oxlo_dissector_extra*, and give-ups through OXLO_EXCLUDE
# (no excluded bits set by hand).
# Usage: check-reader-rule.sh [source dir]; exits 1 and lists each offence.
set -u
src=${1:-${VESK_SOURCE:-$(cd "$(dirname "$0")/.." && pwd)}}
dir="$src/oxlo/protocols"
[ -d "$dir" ] || { echo "no $dir" >&2; exit 2; }

# pattern <TAB> what to use instead
rules=$(cat <<'EOF'
\.data\[	read bytes through oxlo_rd_* (oxlo_dissector.h)
\b(m|module)->det\b	reach the packet through the kit (oxlo_dissector_packet and friends)
\boxlo_flow_risk_raise\b	raise risks with oxlo_dissector_risk (or oxlo_dissector_risk_text for a ready text)
(->|\.)extra_(dissection|budget|packets|installer)\b	set, read and end the follow-up with oxlo_dissector_extra*
\boxlo_flow_skip_dissector\b|(->|\.)excluded\b	give up with OXLO_EXCLUDE / OXLO_EXCLUDE_OTHER
EOF
)

failed=0
while IFS=$'\t' read -r pattern advice; do
    hits=$(grep -rnE --include='*.cpp' --include='*.h' --include='*.c' "$pattern" "$dir" | sort)
    [ -n "$hits" ] || continue
    printf '%s\n' "$hits" | sed "s|^$dir/|reader rule: |"
    echo "dissectors must $advice" >&2
    failed=1
done <<<"$rules"
exit $failed
