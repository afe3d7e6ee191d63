/* Ethereum peers: the encrypted TCP handshake (a 04-prefixed key to the
 * client ports 30300-30305), the JSON of mining pools, and discovery over
 * UDP on 30303 (packet type 1-6 after the hash and signature). Peers found
 * are remembered for the mining dissector. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/p2p_private.h"

namespace {


void found(oxlo_module *m, oxlo_flow_state *f)
{
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_ETHEREUM, OXLO_PROTOCOL_UNKNOWN);
}

void search_ethereum(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view v = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = v.payload;
    bool match = false;
    if (v.l4 == OXLO_L4_TCP) {
        if (p.length >= 11 && p.length >= 301 && p.length <= 599 && oxlo_rd_peek8(&p, 2) == 0x04)
            match = v.dst_port >= 30300 && v.dst_port <= 30305;
        else if (p.length >= 11)
            match = oxlo_rd_contains(&p, "{", 0) &&
                    (oxlo_rd_contains(&p, "\"eth1.0\"", 0) || oxlo_rd_contains(&p, "\"worker\":", 0));
    } else {
        const uint8_t *to = v.from_client ? f->server_address : f->client_address;
        const bool broadcast = !v.ipv6 && (to[0] & to[1] & to[2] & to[3]) == 0xFF;
        const bool multicast = v.ipv6 && to[0] == 0xFF && to[1] == 0x02;
        match = !broadcast && !multicast && p.length >= 99 && p.length <= 1279 &&
                (v.src_port == 30303 || v.dst_port == 30303) && oxlo_rd_peek8(&p, 97) >= 1 && oxlo_rd_peek8(&p, 97) <= 6;
    }
    if (match) {
        found(m, f);
        mining_cache_add(m, f, OXLO_PROTOCOL_ETHEREUM);
    } else {
        OXLO_EXCLUDE(m, f);
    }
}

const uint16_t protocols[] = {OXLO_PROTOCOL_ETHEREUM};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_ethereum = {
    "ETHEREUM", search_ethereum, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP_OR_UDP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, 0, nullptr, nullptr,
};
} // extern "C"
