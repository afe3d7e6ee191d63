/* PPTP's control connection opens with Start-Control-Connection-Request:
 * length, message type 1 (control), the magic cookie 0x1A2B3C4D, type 1. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

namespace {

void search_pptp(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    oxlo_reader p = pkt.payload;
    /* Control messages (a length, type 1, the magic cookie) are read whole
     * from the stream. */
    auto size = [](const oxlo_reader &r) -> int64_t {
        const size_t n = r.length < 8 ? r.length : 8;
        uint16_t length = 0;
        if (n > 2 && !oxlo_rd_match_n(&r, 2, "\x00\x01\x1A\x2B\x3C\x4D", n - 2, 0))
            return 0;
        if (!oxlo_rd_u16_at(&r, 0, &length) || r.length < 8)
            return -1;
        return length >= 16 ? int64_t(length) : 0;
    };
    if (oxlo_framing::whole(m, f, pkt, 8, 8, size, &p) == oxlo_framing::FIRST_WAITING)
        return;
    uint16_t length = 0;
    if (p.length > 9 && oxlo_rd_u16_at(&p, 0, &length) && length == p.length && oxlo_rd_match_n(&p, 2, "\x00\x01", 2, 0) &&
        oxlo_rd_match_n(&p, 4, "\x1A\x2B\x3C\x4D", 4, 0) && oxlo_rd_match_n(&p, 8, "\x00\x01", 2, 0))
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_PPTP, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_PPTP};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_pptp = {
    "PPTP", search_pptp, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP,
    protocols, 1, 0, nullptr, nullptr,
};
} // extern "C"
