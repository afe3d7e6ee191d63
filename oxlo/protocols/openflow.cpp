/* OpenFlow messages: version byte 6, a type, and a length equal to the
 * segment's. */
#include "oxlo_dissector.h"

namespace {

void search_openflow(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_reader p = oxlo_dissector_packet(m, f).payload;
    uint8_t version = 0, type = 0xFF;
    uint16_t length = 0;
    if (p.length > 7 && oxlo_rd_u8_at(&p, 0, &version) && version == 6 && oxlo_rd_u8_at(&p, 1, &type) &&
        type <= 35 && oxlo_rd_u16_at(&p, 2, &length) && length == p.length)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_OPENFLOW, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_OPENFLOW};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_openflow = {
    "OpenFlow", search_openflow, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION, protocols, sizeof(protocols) / sizeof(protocols[0]), 0, nullptr, nullptr,
};

} // extern "C"
