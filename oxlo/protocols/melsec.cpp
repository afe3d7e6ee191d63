/* MELSEC communication frames: subheader 0x57 (or 0xD7), fixed bytes
 * 00 00 11 11 and a little-endian length at 19 covering the rest. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

namespace {

void search_melsec(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    oxlo_reader p = pkt.payload;
    /* Over TCP frames (0x57 or 0xD7, 00 00 11 11 at 3, a length at 19 of
     * what follows the 21-byte header) are read whole from the stream. */
    auto size = [](const oxlo_reader &r) -> int64_t {
        uint8_t first = 0x57;
        uint16_t n = 0;
        if (oxlo_rd_u8_at(&r, 0, &first) && (first & 0x7F) != 0x57)
            return 0;
        if (!oxlo_rd_le16_at(&r, 19, &n))
            return -1;
        return int64_t(n) + 21;
    };
    if (pkt.l4 == OXLO_L4_TCP && pkt.payload_packets <= 2 &&
        oxlo_framing::whole(m, f, pkt, 21, 16, size, &p) == oxlo_framing::FIRST_WAITING)
        return;
    if (p.length > 40 && (oxlo_rd_peek8(&p, 0) & 0x7F) == 0x57 && oxlo_rd_match_n(&p, 3, "\x00\x00\x11\x11", 4, 0) &&
        size_t(oxlo_rd_peekle16(&p, 19)) + 21 == p.length) {
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_MELSEC, OXLO_PROTOCOL_UNKNOWN);
        return;
    }
    if (pkt.payload_packets > 2)
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_MELSEC};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_melsec = {
    "MELSEC", search_melsec, OXLO_SEL_IPV4 | OXLO_SEL_TCP_OR_UDP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
