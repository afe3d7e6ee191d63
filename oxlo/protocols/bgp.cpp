/* BGP on port 179: a 16-byte all-ones marker, the message length and a
 * type of 1-4. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

namespace {

/* The header: a 16-byte marker of all ones, the message length (the
 * header included) and the type. */
constexpr size_t BGP_MARKER = 0, BGP_MARKER_SIZE = 16, BGP_LENGTH = 16, BGP_TYPE = 18, BGP_HEADER = 19;
constexpr uint8_t BGP_TYPE_LAST = 4;
constexpr uint16_t BGP_PORT = 179;


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
    const bool port = v.src_port == BGP_PORT || v.dst_port == BGP_PORT;
    bool ones = p.length < BGP_HEADER && port;
    for (size_t i = 0; ones && i < BGP_MARKER_SIZE && i < p.length; i++)
        ones = oxlo_rd_peek8(&p, BGP_MARKER + i) == 0xFF;
    if (ones && oxlo_framing::wait_for(m, f, v, BGP_HEADER))
        return;
    bool marker = p.length >= BGP_HEADER && port;
    for (size_t i = 0; marker && i < BGP_MARKER_SIZE; i++)
        marker = oxlo_rd_peek8(&p, BGP_MARKER + i) == 0xFF;
    if (marker && oxlo_rd_peek8(&p, BGP_TYPE) <= BGP_TYPE_LAST && p.length >= oxlo_rd_peek16(&p, BGP_LENGTH))
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
