/* IEEE C37.118 synchrophasor frames: sync byte 0xAA, a frame type, a frame
 * size covering the packet and a CRC-16/CCITT-FALSE at the end. */
#include "oxlo_dissector.h"
#include "oxlo_crc.h"

namespace {

/* Reads within the payload; callers check its length first. */
uint8_t at(const oxlo_reader &p, size_t o)
{
    uint8_t v = 0;
    oxlo_rd_u8_at(&p, o, &v);
    return v;
}
uint16_t be16(const oxlo_reader &p, size_t o)
{
    uint16_t v = 0;
    oxlo_rd_u16_at(&p, o, &v);
    return v;
}

void search_ieee_c37118(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader p = pkt.payload;
    if (!(p.length > 16 && at(p, 0) == 0xAA && at(p, 1) <= 0x5F && be16(p, 2) == p.length && crc16_ccitt_false(oxlo_rd_bytes_at(&p, 0, p.length - 2), p.length - 2) == be16(p, p.length - 2))) {
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
