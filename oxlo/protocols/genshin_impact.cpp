/* Genshin Impact: its TCP messages are framed with a type byte, the length
 * and a fixed marker; its UDP session opens with a fixed handshake. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

namespace {

void search(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    bool ok = false;
    if (pkt.l4 == OXLO_L4_TCP) {
        /* The first message (type 1, a 32-bit length of the whole) is read
         * whole from the stream. */
        uint8_t first = 0;
        uint32_t total = 0;
        if (oxlo_rd_u8_at(&p, 0, &first) && first == 1 &&
            (oxlo_rd_u32_at(&p, 1, &total) ? total > 17 && total <= 65536 && oxlo_framing::wait_for(m, f, pkt, total)
                                           : oxlo_framing::wait_for(m, f, pkt, 5)))
            return;
        uint8_t type = 0, kind = 0;
        uint32_t length = 0;
        ok = p.length > 17 && oxlo_rd_u8_at(&p, 0, &type) && type == 1 && oxlo_rd_u32_at(&p, 1, &length) &&
             length == p.length && oxlo_rd_u8_at(&p, 5, &kind) && (kind == 1 || kind == 7) &&
             oxlo_rd_match_n(&p, 16, "\x4D\xA6", 2, 0);
    } else {
        ok = pkt.payload_packets == 1 && p.length > 19 && oxlo_rd_match_n(&p, 0, "\x00\x00\x00\xFF\x00\x00\x00\x00", 8, 0) &&
             oxlo_rd_match_n(&p, 12, "\x49\x96\x02\xD2\xFF\xFF", 6, 0);
    }
    if (ok)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_GENSHINIMPACT, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_GENSHINIMPACT};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_genshin_impact = {
    "GenshinImpact", search, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP_OR_UDP, protocols, 1, 0, nullptr, nullptr,
};
} // extern "C"
