/* DHCPv6 over UDP between ports 546 (client) and 547 (server and relay):
 * a message type of 1 (solicit) to 13 (relay reply) and a transaction id,
 * then options. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

bool is_dhcpv6_port(uint16_t p) { return p == 546 || p == 547; }

void search_dhcpv6(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    uint8_t type = 0;
    if (pkt.payload.length > 3 && is_dhcpv6_port(pkt.src_port) && is_dhcpv6_port(pkt.dst_port) &&
        oxlo_rd_u8_at(&pkt.payload, 0, &type) && type >= 1 && type <= 13) {
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_DHCPV6, OXLO_PROTOCOL_UNKNOWN);
        return;
    }
    OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_DHCPV6};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_dhcpv6 = {
    "DHCPV6", search_dhcpv6, OXLO_SEL_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
