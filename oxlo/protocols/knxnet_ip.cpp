/* KNXnet/IP: header length 6, version 0x10, a service type of a known
 * family and a total length; on TCP a frame may be followed by the next. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

namespace {

/* The header: its length (6), the protocol version (0x10), the service
 * type and the total length. */
constexpr size_t KNX_HEADER_LENGTH = 0, KNX_SERVICE_TYPE = 2, KNX_TOTAL_LENGTH = 4, KNX_HEADER = 6;
/* The shortest frame taken: the header and a 4-byte structure. */
constexpr size_t KNX_FRAME_MIN = 10;

bool service_known(uint16_t service)
{
    const unsigned family = service >> 8, low = service & 0xFF;
    switch (family) {
    case 2: return low >= 0x01 && low <= 0x0C;
    case 3: return low >= 0x10 && low <= 0x11;
    case 4: return low >= 0x20 && low <= 0x25;
    case 5: return low >= 0x30 && low <= 0x33;
    case 7: return low >= 0x40 && low <= 0x43;
    case 9: return low >= 0x50 && low <= 0x55;
    default: return false;
    }
}

/* A header at off: 06 10 and a known service. */
bool header_at(const oxlo_reader &p, size_t off)
{
    return oxlo_rd_match_n(&p, off + KNX_HEADER_LENGTH, "\x06\x10", 2, 0) && oxlo_rd_has(&p, off, KNX_HEADER) &&
           service_known(oxlo_rd_peek16(&p, off + KNX_SERVICE_TYPE));
}

void search_knxnet_ip(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    /* Over TCP a first frame cut by the segments is read whole from the
     * stream. */
    uint16_t first_total = 0;
    if (pkt.l4 == OXLO_L4_TCP && oxlo_rd_match_n(&p, KNX_HEADER_LENGTH, "\x06\x10", p.length < 2 ? p.length : 2, 0) &&
        (!oxlo_rd_u16_at(&p, KNX_TOTAL_LENGTH, &first_total) ||
         (first_total >= KNX_FRAME_MIN && first_total > p.length)) &&
        oxlo_framing::wait_for(m, f, pkt, first_total >= KNX_FRAME_MIN ? first_total : KNX_FRAME_MIN))
        return;
    if (p.length >= KNX_FRAME_MIN && header_at(p, 0)) {
        const size_t total = oxlo_rd_peek16(&p, KNX_TOTAL_LENGTH);
        if (total == p.length ||
            (pkt.l4 == OXLO_L4_TCP && p.length >= total + KNX_FRAME_MIN && header_at(p, total))) {
            oxlo_dissector_classify(m, f, OXLO_PROTOCOL_KNXNET_IP, OXLO_PROTOCOL_UNKNOWN);
            return;
        }
    }
    OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_KNXNET_IP};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_knxnet_ip = {
    "KNXnet_IP", search_knxnet_ip, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP_OR_UDP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
