/* PFCP on UDP 8805: a flags byte whose low nibble is 1, a message type,
 * and a length counting what
 * follows the first four bytes. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

/* Flags (the version in the high bits), the message type, the length of
 * what follows the first 4 bytes. */
constexpr size_t PFCP_FLAGS = 0, PFCP_MESSAGE_TYPE = 1, PFCP_LENGTH = 2, PFCP_LENGTH_BASE = 4, PFCP_MIN = 13;
constexpr uint8_t PFCP_MESSAGE_TYPE_LAST = 57;
constexpr uint16_t PFCP_PORT = 8805;

void search_pfcp(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    uint8_t b0 = 0, type = 0xFF;
    uint16_t length = 0;
    if ((pkt.src_port == PFCP_PORT || pkt.dst_port == PFCP_PORT) && p.length >= PFCP_MIN &&
        oxlo_rd_u8_at(&p, PFCP_FLAGS, &b0) && (b0 & 0x0F) == 1 && oxlo_rd_u8_at(&p, PFCP_MESSAGE_TYPE, &type) &&
        type <= PFCP_MESSAGE_TYPE_LAST && oxlo_rd_u16_at(&p, PFCP_LENGTH, &length) &&
        size_t(length) + PFCP_LENGTH_BASE == p.length)
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

/* Shorter first datagrams fail the length test search_pfcp starts with, whatever
 * their bytes, and end in its exclusion alone. */
extern const uint16_t oxlo_dissector_shortest_pfcp = PFCP_MIN;
} // extern "C"
