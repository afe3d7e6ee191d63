/* Activision's game traffic over UDP: each side's first two bytes follow a
 * fixed pattern (70/71, or 524 one way and 525 the other); five packets in
 * the pattern name the flow. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

void search(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    uint16_t word = 0;
    uint8_t first = 0;
    if (p.length < 18 || !oxlo_rd_le16_at(&p, 0, &word) || !oxlo_rd_u8_at(&p, 0, &first)) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    bool ok = word == 70 || word == 71;
    if (!ok) {
        const uint16_t mine = pkt.direction ? 525 : 524;
        if (pkt.payload_packets_dir[pkt.direction] == 1)
            ok = word == mine;
        else
            ok = word == mine || first == (pkt.direction ? 0x28 : 0x29);
    }
    if (!ok)
        OXLO_EXCLUDE(m, f);
    else if (pkt.payload_packets > 4)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_ACTIVISION, OXLO_PROTOCOL_UNKNOWN);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_ACTIVISION};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_activision = {
    "Activision", search, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD, protocols, 1, 0, nullptr, nullptr,
};
/* Shorter first datagrams fail the length test search starts with, whatever
 * their bytes, and end in its exclusion alone. */
extern const uint16_t oxlo_dissector_shortest_activision = 18;
} // extern "C"
