/* The Elder Scrolls Online: a length-framed message holding its service's
 * domain or a fixed marker. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

namespace {

void search(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    /* The first message (a 32-bit length of what follows) is read whole
     * from the stream. */
    uint32_t wanted = 0;
    if (oxlo_rd_u32_at(&p, 0, &wanted) ? wanted >= 596 && wanted <= 32768 &&
                                             oxlo_framing::wait_for(m, f, pkt, uint64_t(wanted) + 4)
                                       : oxlo_framing::wait_for(m, f, pkt, 4))
        return;
    bool ok = false;
    /* The game's public service domain. */
    uint32_t length = 0;
    ok = p.length > 599 && oxlo_rd_u32_at(&p, 0, &length) && uint64_t(length) + 4 == p.length &&
         (oxlo_rd_contains(&p, "elderscrollsonline.com", 0) || oxlo_rd_find(&p, 0, "\x8B\x78\x9C\x01", 0) >= 0);
    if (ok)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_TES_ONLINE, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_TES_ONLINE};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_teso = {
    "TES_Online", search, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP, protocols, 1, 0, nullptr, nullptr,
};
} // extern "C"
