/* Web Services Dynamic Discovery: SOAP-over-UDP XML messages (Hello,
 * Probe, Bye) sent to the multicast groups 239.255.255.250 or ff02::c on
 * port 3702, and the unicast answers to them from port 3702. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

bool to_multicast(const oxlo_flow_state *f, const oxlo_packet_view &pkt)
{
    uint8_t client[16], server[16];
    uint16_t cp = 0, sp = 0;
    if (oxlo_flow_endpoints(f, client, &cp, server, &sp) != 0)
        return false;
    const uint8_t *dst = pkt.from_client ? server : client;
    return pkt.ipv6 ? (dst[0] == 0xFF && dst[1] == 0x02) : (dst[0] & 0xF0) == 0xE0;
}

/* A responder answers a multicast Probe or Resolve by unicast, from 3702
 * to the prober's own port (ProbeMatch, ResolveMatch); the discovery
 * namespace of either version marks the answer. */
bool unicast_answer(const oxlo_packet_view &pkt)
{
    return pkt.src_port == 3702 && (oxlo_rd_find(&pkt.payload, 0, "/ws/2005/04/discovery", 0) >= 0 ||
                                    oxlo_rd_find(&pkt.payload, 0, "/ws-dd/ns/discovery/", 0) >= 0);
}

void search_wsd(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    if (pkt.payload.length > 39 && oxlo_rd_match(&pkt.payload, 0, "<?xml", 0) &&
        ((pkt.dst_port == 3702 && to_multicast(f, pkt)) || unicast_answer(pkt)))
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_WSD, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_WSD};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_wsd = {
    "WSD", search_wsd, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD,
    protocols, 1, 0, nullptr, nullptr,
};

/* Shorter first datagrams fail the length test search_wsd starts with, whatever
 * their bytes, and end in its exclusion alone. */
extern const uint16_t oxlo_dissector_shortest_wsd = 40;
} // extern "C"
