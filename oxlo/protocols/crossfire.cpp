/* Crossfire: a fixed UDP start, or TCP frames between F1 and F2. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

void search(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    bool ok = false;
    if (pkt.l4 == OXLO_L4_UDP) {
        ok = p.length >= 8 && oxlo_rd_match_n(&p, 0, "\xC7\xD9\x19\x99", 4, 0);
    } else {
        uint32_t one = 0;
        uint8_t last = 0;
        ok = p.length > 100 && oxlo_rd_match_n(&p, 0, "\xF1", 1, 0) && oxlo_rd_u8_at(&p, p.length - 1, &last) && last == 0xF2 &&
             oxlo_rd_le32_at(&p, 2, &one) && one == 1;
    }
    if (ok)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_CROSSFIRE, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_CROSSFIRE};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_crossfire = {
    "Crossfire", search, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP_OR_UDP, protocols, 1, 0, nullptr, nullptr,
};
} // extern "C"
