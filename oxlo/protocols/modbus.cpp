/* Modbus/TCP on port 502: the MBAP header (transaction, protocol id 0, a
 * length covering the rest) and a function code; 0x5A carries UMAS. */
#include "oxlo_dissector.h"

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

void search_modbus(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader p = pkt.payload;
    if (!(pkt.src_port == 502 || pkt.dst_port == 502 ? p.length > 7 && be16(p, 2) == 0 && size_t(be16(p, 4)) + 6 == p.length : false)) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    if (at(p, 7) == 0x5A)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_UMAS, OXLO_PROTOCOL_MODBUS);
    else
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_MODBUS, OXLO_PROTOCOL_UNKNOWN);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_MODBUS, OXLO_PROTOCOL_UMAS};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_modbus = {
    "Modbus", search_modbus, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 2, 0, nullptr, nullptr,
};

} // extern "C"
