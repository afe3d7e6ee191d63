/* Nano's node protocol: "RC", the network id and the protocol versions in
 * its message header. Peers found are remembered for the mining dissector. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/p2p_private.h"

namespace {

void search_nano(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_reader p = oxlo_dissector_packet(m, f).payload;
    uint8_t b[6] = {0};
    const uint8_t *h = oxlo_rd_bytes_at(&p, 0, 6);
    if (h)
        memcpy(b, h, 6);
    if (p.length > 32 && b[0] == 'R' && b[1] == 'C' && b[2] == 0x14 && b[3] >= 18 && b[3] <= 20 && b[4] >= 18 &&
        b[4] <= 19 && b[5] <= 15) {
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_NANO, OXLO_PROTOCOL_UNKNOWN);
        mining_cache_add(m, f, OXLO_PROTOCOL_NANO);
    } else {
        OXLO_EXCLUDE(m, f);
    }
}

const uint16_t protocols[] = {OXLO_PROTOCOL_NANO};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_nano = {
    "Nano", search_nano, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP,
    protocols, 1, 0, nullptr, nullptr,
};
} // extern "C"
