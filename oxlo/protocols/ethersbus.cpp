/* Ether-S-Bus: a length covering the datagram, version and type bytes, and
 * a CRC-16/XMODEM (big-endian) over all but its last two bytes. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_crc.h"

namespace {

void search_ethersbus(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader p = pkt.payload;
    if (!(p.length > 12 && oxlo_rd_peek32(&p, 0) == p.length && oxlo_rd_peek8(&p, 4) < 2 && oxlo_rd_peek8(&p, 5) == 0 && crc16_xmodem(oxlo_rd_bytes_at(&p, 0, p.length - 2), p.length - 2) == oxlo_rd_peek16(&p, p.length - 2))) {
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
