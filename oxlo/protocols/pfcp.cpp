/* PFCP on UDP 8805: a flags byte whose low nibble is 1, a message type,
 * and a length counting what
 * follows the first four bytes. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

void search_pfcp(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    uint8_t b0 = 0, type = 0xFF;
    uint16_t length = 0;
    if ((pkt.src_port == 8805 || pkt.dst_port == 8805) && p.length > 12 && oxlo_rd_u8_at(&p, 0, &b0) &&
        (b0 & 0x0F) == 1 && oxlo_rd_u8_at(&p, 1, &type) && type <= 57 && oxlo_rd_u16_at(&p, 2, &length) &&
        size_t(length) + 4 == p.length)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_PFCP, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_PFCP};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_pfcp = {
    "PFCP", search_pfcp, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD, protocols, sizeof(protocols) / sizeof(protocols[0]), 0, nullptr, nullptr,
};

} // extern "C"
