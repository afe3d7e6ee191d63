/* Paltalk: two fixed-size client messages with fixed bytes at known places. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

void search_paltalk(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_reader p = oxlo_dissector_packet(m, f).payload;
    const bool a = p.length == 20 && oxlo_rd_match_n(&p, 8, "\x00\x02\x00\x01", 4, 0) &&
                   oxlo_rd_match_n(&p, 16, "\x5A\xFD", 2, 0);
    const bool b = p.length == 22 && oxlo_rd_match_n(&p, 2, "\x24\xC2\xE8\x0B", 4, 0) &&
                   oxlo_rd_match_n(&p, 17, "\x5B\x73\x2B\x00", 4, 0);
    if (a || b)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_PALTALK, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_PALTALK};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_paltalk = {
    "Paltalk", search_paltalk, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
