/* EtherNet/IP encapsulation on port 44818: a 24-byte header whose
 * little-endian length covers the rest. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

namespace {

/* The encapsulation header: command, the length of the data behind the
 * header (little-endian), session handle, status, sender context, options. */
constexpr size_t ENIP_LENGTH = 2, ENIP_HEADER = 24;
constexpr uint16_t ENIP_PORT = 44818;

void search_ethernet_ip(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    oxlo_reader p = pkt.payload;
    /* Encapsulation packets (a 24-byte header whose length at 2 covers the
     * data behind it) are read whole from the stream. */
    auto size = [](const oxlo_reader &r) -> int64_t {
        uint16_t n = 0;
        if (!oxlo_rd_le16_at(&r, ENIP_LENGTH, &n) || r.length < ENIP_HEADER)
            return -1;
        return int64_t(n) + ENIP_HEADER;
    };
    const bool port = pkt.src_port == ENIP_PORT || pkt.dst_port == ENIP_PORT;
    if (port && oxlo_framing::whole(m, f, pkt, ENIP_HEADER, 16, size, &p) == oxlo_framing::FIRST_WAITING)
        return;
    if (!(p.length >= ENIP_HEADER && port && size_t(oxlo_rd_peekle16(&p, ENIP_LENGTH)) + ENIP_HEADER == p.length)) {
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
