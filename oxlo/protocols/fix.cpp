/* The financial messaging protocol: a message opens with its begin string
 * 8=FIX (or the same in its binary-safe form). */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {


void found(oxlo_module *m, oxlo_flow_state *f)
{
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_FIX, OXLO_PROTOCOL_UNKNOWN);
}

void search_fix(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view v = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = v.payload;
    if (p.length > 5 && (oxlo_rd_match(&p, 0, "8=FIX", 0) || oxlo_rd_match_n(&p, 0, "8=O\x01" "9=", 6, 0)))
        found(m, f);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_FIX};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_fix = {
    "FIX", search_fix, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, 0, nullptr, nullptr,
};
} // extern "C"
