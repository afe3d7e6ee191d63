/* GLBP hellos between gateways: UDP 3222 on both sides, version 0 or 1. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

void search_glbp(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    uint8_t version = 0xFF;
    uint16_t group = 0xFFFF;
    if (pkt.src_port == 3222 && pkt.dst_port == 3222 && pkt.payload.length > 11 &&
        oxlo_rd_u8_at(&pkt.payload, 0, &version) && version < 2 && oxlo_rd_u16_at(&pkt.payload, 2, &group) &&
        group <= 1023)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_GLBP, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_GLBP};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_glbp = {
    "GLBP", search_glbp, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD, protocols, sizeof(protocols) / sizeof(protocols[0]), 0, nullptr, nullptr,
};

} // extern "C"
