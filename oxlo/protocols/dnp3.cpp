/* DNP3 over TCP: link-layer frames start 05 64. */
#include "oxlo_dissector.h"

namespace {

/* Reads within the payload; callers check its length first. */

void search_dnp3(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader p = pkt.payload;
    if (!(p.length > 9 && oxlo_rd_match_n(&p, 0, "\x05\x64", 2, 0))) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_DNP3, OXLO_PROTOCOL_UNKNOWN);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_DNP3};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_dnp3 = {
    "DNP3", search_dnp3, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
