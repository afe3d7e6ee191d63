/* Gearman's binary protocol: "\0REQ" or "\0RES", a packet type and a length. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

void search_gearman(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_reader p = oxlo_dissector_packet(m, f).payload;
    if (p.length > 12 && (oxlo_rd_match_n(&p, 0, "\0REQ", 4, 0) || oxlo_rd_match_n(&p, 0, "\0RES", 4, 0)))
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_GEARMAN, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_GEARMAN};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_gearman = {
    "Gearman", search_gearman, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
