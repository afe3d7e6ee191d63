/* RTPS (DDS interoperability wire protocol): "RTPS" or "RTPX", major
 * version 2 and a known minor version. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

void search_rtps(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader p = pkt.payload;
    if (!(p.length > 15 && (oxlo_rd_match_n(&p, 0, "RTPS", 4, 0) || oxlo_rd_match_n(&p, 0, "RTPX", 4, 0)) && oxlo_rd_peek8(&p, 4) == 2 && oxlo_rd_peek8(&p, 5) <= 5)) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_RTPS, OXLO_PROTOCOL_UNKNOWN);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_RTPS};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_rtps = {
    "RTPS", search_rtps, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
