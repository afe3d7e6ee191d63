/* HiSLIP: "HS", a message type and a 64-bit length covering the rest. */
#include "oxlo_dissector.h"

namespace {

void search_hislip(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_reader p = oxlo_dissector_packet(m, f).payload;
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
