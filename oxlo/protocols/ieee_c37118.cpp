/* IEEE C37.118 synchrophasor frames: sync byte 0xAA, a frame type, a frame
 * size covering the packet and a CRC-16/CCITT-FALSE at the end. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_crc.h"
#include "protocols/framing.h"

namespace {

void search_ieee_c37118(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    oxlo_reader p = pkt.payload;
    /* Over TCP frames (0xAA, a type, the frame size) are read whole from the
     * stream. */
    auto size = [](const oxlo_reader &r) -> int64_t {
        uint8_t sync = 0xAA, type = 0;
        uint16_t n = 0;
        if ((oxlo_rd_u8_at(&r, 0, &sync) && sync != 0xAA) || (oxlo_rd_u8_at(&r, 1, &type) && type > 0x5F))
            return 0;
        if (!oxlo_rd_u16_at(&r, 2, &n))
            return -1;
        return n > 16 ? int64_t(n) : 0;
    };
    if (pkt.l4 == OXLO_L4_TCP && oxlo_framing::whole(m, f, pkt, 4, 16, size, &p) == oxlo_framing::FIRST_WAITING)
        return;
    if (!(p.length > 16 && oxlo_rd_peek8(&p, 0) == 0xAA && oxlo_rd_peek8(&p, 1) <= 0x5F && oxlo_rd_peek16(&p, 2) == p.length && crc16_ccitt_false(oxlo_rd_bytes_at(&p, 0, p.length - 2), p.length - 2) == oxlo_rd_peek16(&p, p.length - 2))) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_IEEE_C37118, OXLO_PROTOCOL_UNKNOWN);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_IEEE_C37118};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_ieee_c37118 = {
    "IEEE-C37118", search_ieee_c37118, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP_OR_UDP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
