/* sFlow version 5 datagrams: 00 00 00 05, then the agent address type (1
 * IPv4, 2 IPv6). Exporters send a steady stream, so the second datagram
 * confirms. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

/* The datagram header: version (5), the agent's address type (1 IPv4, 2
 * IPv6), the agent address, sub-agent id, sequence number, uptime. */
constexpr size_t SFLOW_VERSION = 0, SFLOW_ADDRESS_TYPE = 4, SFLOW_HEADER_MIN = 24;
constexpr uint32_t SFLOW_V5 = 5, SFLOW_ADDRESS_IPV4 = 1, SFLOW_ADDRESS_IPV6 = 2;

void search_sflow(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    uint32_t version = 0, address_type = 0;
    if (pkt.payload.length < SFLOW_HEADER_MIN || !oxlo_rd_u32_at(&pkt.payload, SFLOW_VERSION, &version) ||
        !oxlo_rd_u32_at(&pkt.payload, SFLOW_ADDRESS_TYPE, &address_type) || version != SFLOW_V5 ||
        (address_type != SFLOW_ADDRESS_IPV4 && address_type != SFLOW_ADDRESS_IPV6)) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    if (pkt.payload_packets >= 2)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_SFLOW, OXLO_PROTOCOL_UNKNOWN);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_SFLOW};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_sflow = {
    "sFlow", search_sflow, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD, protocols, 1, 0, nullptr, nullptr,
};

/* Shorter first datagrams fail the length test search_sflow starts with, whatever
 * their bytes, and end in its exclusion alone. */
extern const uint16_t oxlo_dissector_shortest_sflow = SFLOW_HEADER_MIN;
} // extern "C"
