/* RTMP: after the TCP handshake the client opens with C0 (version byte 3)
 * and C1 (1536 bytes), 1537 bytes in all, possibly over several segments;
 * the server's answer starts with the same version byte 3. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

constexpr size_t FIRST_FLIGHT = 1537; /* C0 + C1 */

struct rtmp_state {
    uint8_t direction; /* direction of C0 plus one; 0 before it */
    uint16_t bytes;    /* bytes sent so far in that direction, at most FIRST_FLIGHT */
};

void search_rtmp(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    rtmp_state *s = static_cast<rtmp_state *>(oxlo_dissector_state(m, f));
    const oxlo_reader &p = pkt.payload;
    uint8_t first = 0;
    const bool version3 = oxlo_rd_u8_at(&p, 0, &first) && first == 3;
    if (!s || !oxlo_flow_handshake_complete(f)) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    if (!s->direction) {
        if (!version3 || p.length > FIRST_FLIGHT) {
            OXLO_EXCLUDE(m, f);
            return;
        }
        s->direction = uint8_t(pkt.direction + 1);
        s->bytes = uint16_t(p.length);
        return;
    }
    if (s->direction == pkt.direction + 1) {
        /* Compared before adding: one large segment must not wrap the count
         * back under the limit. */
        if (p.length > FIRST_FLIGHT - s->bytes) {
            OXLO_EXCLUDE(m, f);
            return;
        }
        s->bytes = uint16_t(s->bytes + p.length);
        return;
    }
    if (version3 && s->bytes == FIRST_FLIGHT)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_RTMP, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_RTMP};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_rtmp = {
    "RTMP", search_rtmp, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, sizeof(rtmp_state), nullptr, nullptr,
};
} // extern "C"
