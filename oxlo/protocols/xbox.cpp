/* Xbox Live over UDP: a fixed header naming the message's size, or the
 * known messages on port 3074 (two of them in a flow). */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

struct game_state {
    uint8_t mark;
};

void search(oxlo_module *m, oxlo_flow_state *f)
{
    game_state *s = static_cast<game_state *>(oxlo_dissector_state(m, f));
    if (!s) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    uint8_t b4 = 0, b6 = 0, b5 = 0;
    static const char zero4[4] = {0}, zero3[3] = {0};
    if (p.length > 12 && oxlo_rd_match_n(&p, 0, zero4, 4, 0) && oxlo_rd_u8_at(&p, 5, &b5) && b5 == 0x58 &&
        oxlo_rd_match_n(&p, 7, zero3, 3, 0) && oxlo_rd_u8_at(&p, 4, &b4) && oxlo_rd_u8_at(&p, 6, &b6)) {
        const uint8_t pairs[][2] = {{2, 24}, {3, 64}, {6, 78}, {11, 128}, {12, 118}};
        for (const auto &pr : pairs)
            if (b4 == pr[0] && b6 == pr[1]) {
                oxlo_dissector_classify(m, f, OXLO_PROTOCOL_XBOX, OXLO_PROTOCOL_UNKNOWN);
                return;
            }
    }
    uint8_t c0 = 0xFF, c2 = 0;
    oxlo_rd_u8_at(&p, 0, &c0);
    oxlo_rd_u8_at(&p, 2, &c2);
    const bool hit = (pkt.src_port == 3074 || pkt.dst_port == 3074) &&
                     ((p.length == 24 && c0 == 0) || (p.length == 28 && oxlo_rd_match_n(&p, 0, "\x01\x5F\x2C\x00", 4, 0)) ||
                      (p.length == 38 && oxlo_rd_match_n(&p, 0, "\xC1\x45\x7F\x03", 4, 0)) ||
                      (p.length == 40 && oxlo_rd_match_n(&p, 0, "\xCF\x5F\x32\x02", 4, 0)) ||
                      (p.length == 42 && c0 == 'O' && c2 == 10) ||
                      (p.length == 80 && oxlo_rd_match_n(&p, 0, "\x50\xBC", 2, 0) && c2 == 0x45));
    if (hit) {
        if (s->mark) {
            oxlo_dissector_classify(m, f, OXLO_PROTOCOL_XBOX, OXLO_PROTOCOL_UNKNOWN);
            return;
        }
        s->mark = 1;
    }
    if (pkt.payload_packets > 4)
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_XBOX};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_xbox = {
    "Xbox", search, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD, protocols, 1, sizeof(game_state), nullptr, nullptr,
};
} // extern "C"
