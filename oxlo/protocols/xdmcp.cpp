/* XDMCP and the X11 connection it opens: an X11 connection setup from a
 * little-endian client (byte order 'l', protocol 11.0, the usual auth name
 * length) to the display ports, or an XDMCP Query (version 1) to 177/udp. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

void search_xdmcp(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    bool ok = false;
    if (pkt.l4 == OXLO_L4_TCP) {
        uint8_t b6 = 0, b8 = 0;
        ok = pkt.dst_port >= 6000 && pkt.dst_port <= 6005 && p.length == 48 && oxlo_rd_match_n(&p, 0, "l\0", 2, 0) &&
             oxlo_rd_u8_at(&p, 6, &b6) && b6 == 18 && oxlo_rd_u8_at(&p, 8, &b8) && b8 == 16;
    } else {
        uint16_t length = 0;
        ok = pkt.dst_port == 177 && p.length > 5 && oxlo_rd_match_n(&p, 0, "\x00\x01\x00\x02", 4, 0) &&
             oxlo_rd_u16_at(&p, 4, &length) && size_t(length) + 6 == p.length;
    }
    if (ok)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_XDMCP, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_XDMCP};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_xdmcp = {
    "XDMCP", search_xdmcp, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP_OR_UDP,
    protocols, 1, 0, nullptr, nullptr,
};
} // extern "C"
