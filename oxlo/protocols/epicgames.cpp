/* Epic Games' UDP sessions: an opening whose tail is zero, answered from
 * the other side by the same first word with bit 3 set. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

struct epic_state {
    uint32_t word;
    uint8_t direction;
};

const char zeros[24] = {0};

void search(oxlo_module *m, oxlo_flow_state *f)
{
    epic_state *s = static_cast<epic_state *>(oxlo_dissector_state(m, f));
    if (!s) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    uint32_t word = 0;
    if (pkt.payload_packets == 1) {
        uint8_t b3 = 0;
        if (p.length > 33 && oxlo_rd_u8_at(&p, 3, &b3) && !(b3 & 0x08) && oxlo_rd_match_n(&p, 10, zeros, 24, 0) &&
            oxlo_rd_u32_at(&p, 0, &word)) {
            s->word = word;
            s->direction = pkt.direction;
            return;
        }
        OXLO_EXCLUDE(m, f);
        return;
    }
    if (pkt.direction != s->direction) {
        if (p.length > 4 && oxlo_rd_u32_at(&p, 0, &word) && word == (s->word | 8))
            oxlo_flow_set_protocol(m, f, OXLO_PROTOCOL_UNKNOWN, OXLO_PROTOCOL_EPICGAMES, OXLO_CONFIDENCE_DPI);
        else
            OXLO_EXCLUDE(m, f);
        return;
    }
    if (pkt.payload_packets > 3)
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_EPICGAMES};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_epicgames = {
    "EpicGames", search, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD, protocols, 1, sizeof(epic_state), nullptr, nullptr,
};
} // extern "C"
