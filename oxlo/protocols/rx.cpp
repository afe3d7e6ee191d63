/* RX, the RPC transport of a distributed file system, over UDP: a 28-byte
 * header whose epoch and connection id the answer repeats. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

#include <cstring>

namespace {

/* The header: epoch, connection id, call number, sequence and serial
 * numbers, then the packet type, flags, user status and security index,
 * service id and checksum (28 bytes). */
constexpr size_t RX_EPOCH = 0, RX_TYPE = 20, RX_FLAGS = 21, RX_SECURITY_INDEX = 23,
                 RX_HEADER = 28;
constexpr uint8_t RX_SECURITY_INDEX_LAST = 3;

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
    bool ok = p.length >= RX_HEADER && oxlo_rd_u8_at(&p, RX_TYPE, &type) && ((type >= 1 && type <= 11) || type == 13) &&
              oxlo_rd_u8_at(&p, RX_FLAGS, &flags) && (flags <= 6 || flags == 9 || flags == 33 || flags == 34) &&
              oxlo_rd_u8_at(&p, RX_SECURITY_INDEX, &byte23) && byte23 <= RX_SECURITY_INDEX_LAST;
    if (!ok) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    if (!s->have) {
        memcpy(s->id, p.data + RX_EPOCH, sizeof(s->id));
        s->have = 1;
        return;
    }
    if (memcmp(s->id, p.data + RX_EPOCH, sizeof(s->id)) != 0) {
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
