/* League of Legends: Wild Rift over UDP: its 22-byte hello, or the 69-byte
 * opening followed by the 359-byte answer. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

struct wild_rift_state {
    uint8_t opened;
};

void search(oxlo_module *m, oxlo_flow_state *f)
{
    wild_rift_state *s = static_cast<wild_rift_state *>(oxlo_dissector_state(m, f));
    if (!s) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    if (p.length == 22 && oxlo_rd_match_n(&p, 0, "\x01\x02\xC8\x41", 4, 0) && oxlo_rd_match_n(&p, 18, "A0B1", 4, 0)) {
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_LOLWILDRIFT, OXLO_PROTOCOL_UNKNOWN);
        return;
    }
    if (!s->opened && p.length == 69 && oxlo_rd_match_n(&p, 0, "\x04\x00\x00\x00", 4, 0)) {
        s->opened = 1;
        return;
    }
    if (s->opened && p.length == 359 && oxlo_rd_match_n(&p, 0, "\x10\x00\x00\x00", 4, 0)) {
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_LOLWILDRIFT, OXLO_PROTOCOL_UNKNOWN);
        return;
    }
    OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_LOLWILDRIFT};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_lol_wild_rift = {
    "LoLWildRift", search, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD, protocols, 1, sizeof(wild_rift_state), nullptr, nullptr,
};
} // extern "C"
