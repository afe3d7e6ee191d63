/* Ether-S-Bus: a length covering the datagram, version and type bytes, and
 * a CRC-16/XMODEM (big-endian) over all but its last two bytes. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
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
uint32_t be32(const oxlo_reader &p, size_t o)
{
    uint32_t v = 0;
    oxlo_rd_u32_at(&p, o, &v);
    return v;
}

void search_ethersbus(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader p = pkt.payload;
    if (!(p.length > 12 && be32(p, 0) == p.length && at(p, 4) < 2 && at(p, 5) == 0 && crc16_xmodem(oxlo_rd_bytes_at(&p, 0, p.length - 2), p.length - 2) == be16(p, p.length - 2))) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_ETHER_S_BUS, OXLO_PROTOCOL_UNKNOWN);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_ETHER_S_BUS};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_ethersbus = {
    "Ether-S-Bus", search_ethersbus, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
