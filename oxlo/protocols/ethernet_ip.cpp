/* EtherNet/IP encapsulation on port 44818: a 24-byte header whose
 * little-endian length covers the rest. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

namespace {

void search_ethernet_ip(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    oxlo_reader p = pkt.payload;
    /* Encapsulation packets (a 24-byte header whose length at 2 covers the
     * data behind it) are read whole from the stream. */
    auto size = [](const oxlo_reader &r) -> int64_t {
        uint16_t n = 0;
        if (!oxlo_rd_le16_at(&r, 2, &n) || r.length < 24)
            return -1;
        return int64_t(n) + 24;
    };
    if ((pkt.src_port == 44818 || pkt.dst_port == 44818) &&
        oxlo_framing::whole(m, f, pkt, 24, 16, size, &p) == oxlo_framing::FIRST_WAITING)
        return;
    if (!(p.length > 23 && (pkt.src_port == 44818 || pkt.dst_port == 44818) && size_t(oxlo_rd_peekle16(&p, 2)) + 24 == p.length)) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_ETHERNETIP, OXLO_PROTOCOL_UNKNOWN);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_ETHERNETIP};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_ethernet_ip = {
    "EthernetIP", search_ethernet_ip, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
