/* HiSLIP: "HS", a message type and a 64-bit length covering the rest. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

namespace {

/* "HS", message type, control code, message parameter, then the 64-bit
 * payload length (read as its two halves). */
constexpr size_t HISLIP_PROLOGUE = 0, HISLIP_TYPE = 2, HISLIP_LENGTH_HIGH = 8, HISLIP_LENGTH_LOW = 12,
                 HISLIP_HEADER = 16;
constexpr uint8_t HISLIP_TYPE_END = 127; /* types from here on are vendor-specific */

void search_hislip(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    oxlo_reader p = pkt.payload;
    /* Messages ("HS", a type, a 64-bit payload length) are read whole from
     * the stream. */
    auto size = [](const oxlo_reader &r) -> int64_t {
        uint8_t kind = 0;
        uint32_t hi = 0, lo = 0;
        if (!oxlo_rd_match_n(&r, HISLIP_PROLOGUE, "HS", r.length < 2 ? r.length : 2, 0) ||
            (oxlo_rd_u8_at(&r, HISLIP_TYPE, &kind) && kind >= HISLIP_TYPE_END) ||
            (oxlo_rd_u32_at(&r, HISLIP_LENGTH_HIGH, &hi) && hi))
            return 0;
        if (!oxlo_rd_u32_at(&r, HISLIP_LENGTH_LOW, &lo))
            return -1;
        return lo <= 1048576 ? int64_t(lo) + HISLIP_HEADER : 0;
    };
    if (oxlo_framing::whole(m, f, pkt, HISLIP_HEADER, 8, size, &p) == oxlo_framing::FIRST_WAITING)
        return;
    uint8_t type = 0xFF;
    uint32_t high = 1, low = 0;
    if (p.length >= HISLIP_HEADER && oxlo_rd_match_n(&p, HISLIP_PROLOGUE, "HS", 2, 0) &&
        oxlo_rd_u8_at(&p, HISLIP_TYPE, &type) && type < HISLIP_TYPE_END && oxlo_rd_u32_at(&p, HISLIP_LENGTH_HIGH, &high) &&
        oxlo_rd_u32_at(&p, HISLIP_LENGTH_LOW, &low) && high == 0 && uint64_t(low) + HISLIP_HEADER == p.length)
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
