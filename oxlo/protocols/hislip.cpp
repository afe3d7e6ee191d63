/* HiSLIP: "HS", a message type and a 64-bit length covering the rest. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

namespace {

void search_hislip(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    oxlo_reader p = pkt.payload;
    /* Messages ("HS", a type, a 64-bit payload length) are read whole from
     * the stream. */
    auto size = [](const oxlo_reader &r) -> int64_t {
        uint8_t kind = 0;
        uint32_t hi = 0, lo = 0;
        if (!oxlo_rd_match_n(&r, 0, "HS", r.length < 2 ? r.length : 2, 0) || (oxlo_rd_u8_at(&r, 2, &kind) && kind >= 127) ||
            (oxlo_rd_u32_at(&r, 8, &hi) && hi))
            return 0;
        if (!oxlo_rd_u32_at(&r, 12, &lo))
            return -1;
        return lo <= 1048576 ? int64_t(lo) + 16 : 0;
    };
    if (oxlo_framing::whole(m, f, pkt, 16, 8, size, &p) == oxlo_framing::FIRST_WAITING)
        return;
    uint8_t type = 0xFF;
    uint32_t high = 1, low = 0;
    if (p.length > 15 && oxlo_rd_match_n(&p, 0, "HS", 2, 0) && oxlo_rd_u8_at(&p, 2, &type) && type < 127 &&
        oxlo_rd_u32_at(&p, 8, &high) && oxlo_rd_u32_at(&p, 12, &low) && high == 0 && uint64_t(low) + 16 == p.length)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_HISLIP, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_HISLIP};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_hislip = {
    "HiSLIP", search_hislip, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
