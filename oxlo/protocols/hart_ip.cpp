/* HART-IP: version 1 or 2, a message type or id of the known ones and a
 * length covering the packet. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

namespace {

void search_hart_ip(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    oxlo_reader p = pkt.payload;
    /* Over TCP messages (version 1 or 2, a length at 6 covering the 8-byte
     * header) are read whole from the stream. */
    auto size = [](const oxlo_reader &r) -> int64_t {
        uint8_t version = 1;
        uint16_t n = 0;
        if (oxlo_rd_u8_at(&r, 0, &version) && version != 1 && version != 2)
            return 0;
        if (!oxlo_rd_u16_at(&r, 6, &n))
            return -1;
        return n >= 8 ? int64_t(n) : 0;
    };
    if (pkt.l4 == OXLO_L4_TCP && oxlo_framing::whole(m, f, pkt, 8, 16, size, &p) == oxlo_framing::FIRST_WAITING)
        return;
    if (!(p.length > 7 && (oxlo_rd_peek8(&p, 0) == 1 || oxlo_rd_peek8(&p, 0) == 2) && ((oxlo_rd_peek8(&p, 1) & 0x0F) <= 2 || (oxlo_rd_peek8(&p, 1) & 0x0F) == 15 || oxlo_rd_peek8(&p, 2) <= 5) && oxlo_rd_peek16(&p, 6) == p.length)) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_HART_IP, OXLO_PROTOCOL_UNKNOWN);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_HART_IP};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_hart_ip = {
    "HART-IP", search_hart_ip, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP_OR_UDP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
