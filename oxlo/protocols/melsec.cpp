/* MELSEC communication frames: subheader 0x57 (or 0xD7), fixed bytes
 * 00 00 11 11 and a little-endian length at 19 covering the rest. */
#include "oxlo_dissector.h"

namespace {

uint8_t at(const oxlo_reader &p, size_t o)
{
    uint8_t v = 0;
    oxlo_rd_u8_at(&p, o, &v);
    return v;
}
uint16_t le16(const oxlo_reader &p, size_t o)
{
    uint16_t v = 0;
    oxlo_rd_le16_at(&p, o, &v);
    return v;
}

void search_melsec(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader p = pkt.payload;
    if (p.length > 40 && (at(p, 0) & 0x7F) == 0x57 && oxlo_rd_match_n(&p, 3, "\x00\x00\x11\x11", 4, 0) &&
        size_t(le16(p, 19)) + 21 == p.length) {
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
