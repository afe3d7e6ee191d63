/* Mudfish, the game accelerator: 'P' pings on its UDP ports (two of them in
 * a flow) or its 7-byte TCP greeting. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

bool mudfish_port(uint16_t port) { return port >= 10000 && port <= 10010; }

void search(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    if (pkt.l4 == OXLO_L4_UDP) {
        if ((mudfish_port(pkt.src_port) || mudfish_port(pkt.dst_port)) && p.length == 1 && oxlo_rd_match_n(&p, 0, "P", 1, 0)) {
            if (pkt.payload_packets >= 2)
                oxlo_dissector_classify(m, f, OXLO_PROTOCOL_MUDFISH, OXLO_PROTOCOL_UNKNOWN);
            return;
        }
    } else if (p.length == 7 && oxlo_rd_match_n(&p, 0, "UN v2\r\n", 7, 0)) {
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_MUDFISH, OXLO_PROTOCOL_UNKNOWN);
        return;
    }
    OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_MUDFISH};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_mudfish = {
    "Mudfish", search, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP_OR_UDP | OXLO_SEL_PAYLOAD, protocols, 1, 0, nullptr, nullptr,
};
} // extern "C"
