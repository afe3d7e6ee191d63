/* Teredo, IPv6 over UDP through IPv4 NATs: unicast UDP on port 3544 with a
 * payload large enough to hold an IPv6 header. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_private.h"

namespace {

void search_teredo(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader ip = oxlo_dissector_ip(m, 4);
    const bool multicast = ip.length && (oxlo_rd_peek8(&ip, 16) & 0xF0) == 0xE0;
    if (ip.length && !multicast && (pkt.src_port == 3544 || pkt.dst_port == 3544) && pkt.payload.length > 39)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_TEREDO, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_TEREDO};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_teredo = {
    "TEREDO", search_teredo, OXLO_SEL_IPV4 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD, protocols, 1, 0, nullptr, nullptr,
};
/* Shorter first datagrams fail the length test search_teredo starts with, whatever
 * their bytes, and end in its exclusion alone. */
extern const uint16_t oxlo_dissector_shortest_teredo = 40;
} // extern "C"
