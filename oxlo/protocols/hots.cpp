/* Heroes of the Storm over UDP on its ports: fixed bytes at 14-15 and a
 * message type or a zeroed header. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

void search(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    bool ok = false;
    const bool port = pkt.src_port == 1119 || pkt.dst_port == 1119 || pkt.src_port == 1120 || pkt.dst_port == 1120 ||
                      pkt.src_port == 3724 || pkt.dst_port == 3724 || pkt.src_port == 6113 || pkt.dst_port == 6113;
    static const char zeros[14] = {0};
    uint8_t b2 = 0, b3 = 1;
    oxlo_rd_u8_at(&p, 2, &b2);
    oxlo_rd_u8_at(&p, 3, &b3);
    ok = port && p.length >= 20 && p.length <= 122 && oxlo_rd_match_n(&p, 14, "\x40\x00", 2, 0) &&
         (((b2 == 3 || b2 == 0x34) && b3 == 0) || oxlo_rd_match_n(&p, 0, zeros, 14, 0));
    if (ok)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_HEROES_OF_THE_STORM, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_HEROES_OF_THE_STORM};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_hots = {
    "HOTS", search, OXLO_SEL_IPV4 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD, protocols, 1, 0, nullptr, nullptr,
};
/* Shorter first datagrams fail the length test search starts with, whatever
 * their bytes, and end in its exclusion alone. */
extern const uint16_t oxlo_dissector_shortest_hots = 20;
} // extern "C"
