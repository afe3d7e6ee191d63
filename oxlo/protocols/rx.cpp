/* RX, the RPC transport of a distributed file system, over UDP: a 28-byte
 * header whose epoch and connection id the answer repeats. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

#include <cstring>

namespace {

struct rx_state {
    uint8_t id[8]; /* epoch and connection id of the first packet */
    uint8_t have;
};

void search_rx(oxlo_module *m, oxlo_flow_state *f)
{
    rx_state *s = static_cast<rx_state *>(oxlo_dissector_state(m, f));
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    if (!s || oxlo_flow_app_protocol(f) == OXLO_PROTOCOL_RX)
        return;
    uint8_t type = 0, flags = 0xFF, byte23 = 0xFF;
    bool ok = p.length >= 28 && oxlo_rd_u8_at(&p, 20, &type) && ((type >= 1 && type <= 11) || type == 13) &&
              oxlo_rd_u8_at(&p, 21, &flags) &&
              (flags <= 6 || flags == 9 || flags == 33 || flags == 34) && oxlo_rd_u8_at(&p, 23, &byte23) && byte23 <= 3;
    if (!ok) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    if (!s->have) {
        memcpy(s->id, p.data, 8);
        s->have = 1;
        return;
    }
    if (memcmp(s->id, p.data, 8) != 0) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    if (pkt.payload_packets_dir[0] && pkt.payload_packets_dir[1])
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_RX, OXLO_PROTOCOL_UNKNOWN);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_RX};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_rx = {
    "RX", search_rx, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD, protocols, 1, sizeof(rx_state), nullptr, nullptr,
};

} // extern "C"
