/* AVAST SecureDNS over UDP: the client's first datagram carries a fixed
 * marker 00 00 32 09 at offset 11 and the service name "securedns" after
 * it. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

void search_avast_securedns(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    uint32_t marker = 0;
    if (p.length >= 34 && pkt.packets < 2 && oxlo_rd_u32_at(&p, 11, &marker) && marker == 0x00003209 &&
        oxlo_rd_match(&p, 15, "securedns", 1))
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_AVASTSECUREDNS, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_AVASTSECUREDNS};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_avast_securedns = {
    "AVAST SecureDNS", search_avast_securedns, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD,
    protocols, 1, 0, nullptr, nullptr,
};

/* Shorter first datagrams fail the length test search_avast_securedns starts with, whatever
 * their bytes, and end in its exclusion alone. */
extern const uint16_t oxlo_dissector_shortest_avast_securedns = 34;
} // extern "C"
