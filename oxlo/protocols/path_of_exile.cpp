/* Path of Exile's login messages: fixed bytes at fixed places. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

void search(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    bool ok = false;
    uint8_t b0 = 1, b6 = 1;
    oxlo_rd_u8_at(&p, 0, &b0);
    oxlo_rd_u8_at(&p, 6, &b6);
    ok = (p.length == 19 && b0 == 0 && oxlo_rd_match_n(&p, 1, "\x03\x00", 2, 0) && oxlo_rd_match_n(&p, 7, "\x02\x00", 2, 0) &&
          oxlo_rd_match_n(&p, 14, "\x00\x00\x00\x40", 4, 0)) ||
         (p.length >= 26 && p.length <= 49 && b0 == 0 && b6 == 0 && oxlo_rd_match_n(&p, 1, "\x03\x00", 2, 0) &&
          oxlo_rd_match_n(&p, 7, "\x02\x00", 2, 0) && oxlo_rd_match_n(&p, p.length - 8, "\x00\x00\x00\x00\x40\x00\x00\x01", 8, 0));
    if (ok)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_PATHOFEXILE, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_PATHOFEXILE};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_path_of_exile = {
    "PathofExile", search, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP, protocols, 1, 0, nullptr, nullptr,
};
} // extern "C"
