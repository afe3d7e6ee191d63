/* MELSEC communication frames: subheader 0x57 (or 0xD7), fixed bytes
 * 00 00 11 11 and a little-endian length at 19 covering the rest. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

namespace {

/* A frame: its subheader (0x57 or 0xD7), fixed bytes 00 00 11 11 at 3,
 * ..., the length at 19 of what follows the 21-byte header. */
constexpr size_t MC_SUBHEADER = 0, MC_FIXED = 3, MC_DATA_LENGTH = 19, MC_HEADER = 21, MC_FRAME_MIN = 41;
constexpr uint8_t MC_SUBHEADER_BYTE = 0x57;

void search_melsec(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    oxlo_reader p = pkt.payload;
    /* Over TCP frames (0x57 or 0xD7, 00 00 11 11 at 3, a length at 19 of
     * what follows the 21-byte header) are read whole from the stream. */
    auto size = [](const oxlo_reader &r) -> int64_t {
        uint8_t first = 0x57;
        uint16_t n = 0;
        if (oxlo_rd_u8_at(&r, MC_SUBHEADER, &first) && (first & 0x7F) != MC_SUBHEADER_BYTE)
            return 0;
        if (!oxlo_rd_le16_at(&r, MC_DATA_LENGTH, &n))
            return -1;
        return int64_t(n) + MC_HEADER;
    };
    if (pkt.l4 == OXLO_L4_TCP && pkt.payload_packets <= 2 &&
        oxlo_framing::whole(m, f, pkt, MC_HEADER, 16, size, &p) == oxlo_framing::FIRST_WAITING)
        return;
    if (p.length >= MC_FRAME_MIN && (oxlo_rd_peek8(&p, MC_SUBHEADER) & 0x7F) == MC_SUBHEADER_BYTE &&
        oxlo_rd_match_n(&p, MC_FIXED, "\x00\x00\x11\x11", 4, 0) &&
        size_t(oxlo_rd_peekle16(&p, MC_DATA_LENGTH)) + MC_HEADER == p.length) {
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
