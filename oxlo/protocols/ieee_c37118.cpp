/* IEEE C37.118 synchrophasor frames: sync byte 0xAA, a frame type, a frame
 * size covering the packet and a CRC-16/CCITT-FALSE at the end. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_crc.h"
#include "protocols/framing.h"

namespace {

/* The common header: SYNC (0xAA and the frame type and version), frame
 * size, station id code, time; the frame ends in its CRC. */
constexpr size_t C37_SYNC = 0, C37_FRAME_TYPE = 1, C37_FRAME_SIZE = 2, C37_HEADER = 16;
constexpr uint8_t C37_SYNC_BYTE = 0xAA, C37_FRAME_TYPE_LAST = 0x5F;
constexpr size_t C37_CRC_SIZE = 2;

void search_ieee_c37118(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    oxlo_reader p = pkt.payload;
    /* Over TCP frames (0xAA, a type, the frame size) are read whole from the
     * stream. */
    auto size = [](const oxlo_reader &r) -> int64_t {
        uint8_t sync = 0xAA, type = 0;
        uint16_t n = 0;
        if ((oxlo_rd_u8_at(&r, C37_SYNC, &sync) && sync != C37_SYNC_BYTE) ||
            (oxlo_rd_u8_at(&r, C37_FRAME_TYPE, &type) && type > C37_FRAME_TYPE_LAST))
            return 0;
        if (!oxlo_rd_u16_at(&r, C37_FRAME_SIZE, &n))
            return -1;
        return n > C37_HEADER ? int64_t(n) : 0;
    };
    if (pkt.l4 == OXLO_L4_TCP &&
        oxlo_framing::whole(m, f, pkt, C37_FRAME_SIZE + 2, 16, size, &p) == oxlo_framing::FIRST_WAITING)
        return;
    if (!(p.length > C37_HEADER && oxlo_rd_peek8(&p, C37_SYNC) == C37_SYNC_BYTE &&
          oxlo_rd_peek8(&p, C37_FRAME_TYPE) <= C37_FRAME_TYPE_LAST && oxlo_rd_peek16(&p, C37_FRAME_SIZE) == p.length &&
          crc16_ccitt_false(oxlo_rd_bytes_at(&p, 0, p.length - C37_CRC_SIZE), p.length - C37_CRC_SIZE) ==
              oxlo_rd_peek16(&p, p.length - C37_CRC_SIZE))) {
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
