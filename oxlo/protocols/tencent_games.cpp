/* Tencent's games over TCP: fixed starts and markers of their frames. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

void search(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    bool ok = false;
    uint16_t length = 0;
    ok = p.length > 50 && ((oxlo_rd_match_n(&p, 0, "\x33\x66\x00\x0B\x00\x0B", 6, 0)) ||
                           (oxlo_rd_match_n(&p, 0, "\x43\x66\xAA\x00", 4, 0) && oxlo_rd_match_n(&p, 12, "\x10\xE6\x86\x01", 4, 0)) ||
                           (oxlo_rd_match_n(&p, 0, "\xAA\x00\x00\x00", 4, 0) && oxlo_rd_match_n(&p, 10, "\x10\xE6\x86\x01", 4, 0)) ||
                           (oxlo_rd_match_n(&p, 0, "\x00\x00", 2, 0) && oxlo_rd_u16_at(&p, 2, &length) && size_t(length) + 4 == p.length &&
                            oxlo_rd_match_n(&p, 4, "\x78\x01", 2, 0)) ||
                           (oxlo_rd_match_n(&p, 0, "\x42\x15\xF7\x87", 4, 0) && oxlo_rd_match_n(&p, 6, "\x00\x00", 2, 0)));
    if (ok)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_TENCENTGAMES, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_TENCENTGAMES};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_tencent_games = {
    "TencentGames", search, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP, protocols, 1, 0, nullptr, nullptr,
};
} // extern "C"
