/* BGP on port 179: a 16-byte all-ones marker, the message length and a
 * type of 1-4. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

namespace {


void found(oxlo_module *m, oxlo_flow_state *f)
{
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_BGP, OXLO_PROTOCOL_UNKNOWN);
}

void search_bgp(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view v = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = v.payload;
    /* A header cut inside the marker or the length is asked for from the
     * stream. */
    bool ones = p.length < 19 && (v.src_port == 179 || v.dst_port == 179);
    for (size_t i = 0; ones && i < 16 && i < p.length; i++)
        ones = oxlo_rd_peek8(&p, i) == 0xFF;
    if (ones && oxlo_framing::wait_for(m, f, v, 19))
        return;
    bool marker = p.length > 18 && (v.src_port == 179 || v.dst_port == 179);
    for (size_t i = 0; marker && i < 16; i++)
        marker = oxlo_rd_peek8(&p, i) == 0xFF;
    if (marker && oxlo_rd_peek8(&p, 18) <= 4 && p.length >= oxlo_rd_peek16(&p, 16))
        found(m, f);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_BGP};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_bgp = {
    "BGP", search_bgp, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, 0, nullptr, nullptr,
};
} // extern "C"
