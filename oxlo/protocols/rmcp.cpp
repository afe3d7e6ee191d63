/* RMCP (the transport of IPMI over LAN): version 6, a reserved zero, a
 * sequence number and a class byte (6 ASF, 7 IPMI; an acknowledgement sets
 * the top bit with sequence 255). */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

void search_rmcp(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_reader p = oxlo_dissector_packet(m, f).payload;
    uint8_t b[4] = {0, 0, 0, 0};
    for (size_t i = 0; i < 4; i++)
        oxlo_rd_u8_at(&p, i, &b[i]);
    const bool ack = (b[3] & 0x80) && b[2] == 255;
    if (p.length >= 4 && b[0] == 6 && b[1] == 0 && (ack || (b[3] & 0x7E) == 6))
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_RMCP, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_RMCP};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_rmcp = {
    "RMCP", search_rmcp, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD, protocols, sizeof(protocols) / sizeof(protocols[0]), 0, nullptr, nullptr,
};

} // extern "C"
