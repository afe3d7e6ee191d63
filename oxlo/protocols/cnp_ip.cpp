/* CNP/IP (LonWorks over IP): a length covering the datagram, version and
 * packet type in the low bits of bytes 3 and 5. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

/* The header: packet length, version, packet type (its low 5 bits),
 * extended header size, protocol flags, vendor code, session id, sequence
 * number and time stamp. */
constexpr size_t CNP_LENGTH = 0, CNP_PACKET_TYPE = 3, CNP_EXTENDED_HEADER = 4, CNP_FLAGS = 5, CNP_MIN = 21;

void search_cnp_ip(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader p = pkt.payload;
    if (!(p.length >= CNP_MIN && oxlo_rd_peek16(&p, CNP_LENGTH) == p.length &&
          (oxlo_rd_peek8(&p, CNP_PACKET_TYPE) & 0x1F) == 1 && oxlo_rd_peek8(&p, CNP_EXTENDED_HEADER) == 0 &&
          (oxlo_rd_peek8(&p, CNP_FLAGS) & 0x1F) < 3)) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_CNP_IP, OXLO_PROTOCOL_UNKNOWN);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_CNP_IP};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_cnp_ip = {
    "CNP-IP", search_cnp_ip, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD,
    protocols, 1, 0, nullptr, nullptr,
};

/* Shorter first datagrams fail the length test search_cnp_ip starts with, whatever
 * their bytes, and end in its exclusion alone. */
extern const uint16_t oxlo_dissector_shortest_cnp_ip = CNP_MIN;
} // extern "C"
