/* KCP, a reliable transport over UDP (or TCP): a command byte 81 to 84 and
 * a length that fits the payload after its 24-byte header. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

void search(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    bool ok = false;
    uint8_t command = 0;
    uint32_t length = 0;
    ok = p.length >= 24 && oxlo_rd_u8_at(&p, 4, &command) && command >= 81 && command <= 84 &&
         oxlo_rd_le32_at(&p, 20, &length) && uint64_t(length) + 24 == p.length;
    if (ok)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_KCP, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_KCP};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_kcp = {
    "KCP", search, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP_OR_UDP, protocols, 1, 0, nullptr, nullptr,
};
} // extern "C"
