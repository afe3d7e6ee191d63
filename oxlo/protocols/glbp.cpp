/* GLBP hellos between gateways: UDP 3222 on both sides, version 0 or 1. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

/* The header: version, a byte, the group, ... (12 bytes). */
constexpr size_t GLBP_VERSION = 0, GLBP_GROUP = 2, GLBP_HEADER = 12;
constexpr uint16_t GLBP_PORT = 3222, GLBP_GROUP_LAST = 1023;

void search_glbp(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    uint8_t version = 0xFF;
    uint16_t group = 0xFFFF;
    if (pkt.src_port == GLBP_PORT && pkt.dst_port == GLBP_PORT && pkt.payload.length >= GLBP_HEADER &&
        oxlo_rd_u8_at(&pkt.payload, GLBP_VERSION, &version) && version < 2 &&
        oxlo_rd_u16_at(&pkt.payload, GLBP_GROUP, &group) && group <= GLBP_GROUP_LAST)
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

/* Shorter first datagrams fail the length test search_glbp starts with, whatever
 * their bytes, and end in its exclusion alone. */
extern const uint16_t oxlo_dissector_shortest_glbp = GLBP_HEADER;
} // extern "C"
