/* Ether-S-Bus: a length covering the datagram, version and type bytes, and
 * a CRC-16/XMODEM (big-endian) over all but its last two bytes. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_crc.h"

namespace {

/* The header: the datagram's length, version, protocol type and sequence;
 * the datagram ends in a CRC-16. */
constexpr size_t SBUS_LENGTH = 0, SBUS_VERSION = 4, SBUS_PROTOCOL_TYPE = 5, SBUS_MIN = 13, SBUS_CRC_SIZE = 2;

void search_ethersbus(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader p = pkt.payload;
    if (!(p.length >= SBUS_MIN && oxlo_rd_peek32(&p, SBUS_LENGTH) == p.length && oxlo_rd_peek8(&p, SBUS_VERSION) < 2 &&
          oxlo_rd_peek8(&p, SBUS_PROTOCOL_TYPE) == 0 &&
          crc16_xmodem(oxlo_rd_bytes_at(&p, 0, p.length - SBUS_CRC_SIZE), p.length - SBUS_CRC_SIZE) ==
              oxlo_rd_peek16(&p, p.length - SBUS_CRC_SIZE))) {
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

/* Shorter first datagrams fail the length test search_ethersbus starts with, whatever
 * their bytes, and end in its exclusion alone. */
extern const uint16_t oxlo_dissector_shortest_ethersbus = SBUS_MIN;
} // extern "C"
