/* XDMCP and the X11 connection it opens: an X11 connection setup from a
 * little-endian client (byte order 'l', protocol 11.0, the usual auth name
 * length) to the display ports, or an XDMCP Query (version 1) to 177/udp. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

namespace {

/* The X11 connection setup a display sends ("l" for little-endian and a
 * pad byte, protocol major and minor, the authorization name and data
 * lengths); XDMCP over UDP: version, opcode and the length of what follows. */
constexpr size_t X11_BYTE_ORDER = 0, X11_AUTH_NAME_LENGTH = 6, X11_AUTH_DATA_LENGTH = 8, X11_SETUP_SIZE = 48;
constexpr size_t XDMCP_VERSION = 0, XDMCP_LENGTH = 4, XDMCP_HEADER = 6;
constexpr uint16_t XDMCP_PORT = 177;

void search_xdmcp(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    bool ok = false;
    if (pkt.l4 == OXLO_L4_TCP) {
        /* The setup read whole from the stream: cut short, it waits. */
        if (pkt.dst_port >= 6000 && pkt.dst_port <= 6005 &&
            oxlo_framing::wait_magic(m, f, pkt, "l\0", 2, X11_SETUP_SIZE))
            return;
        uint8_t b6 = 0, b8 = 0;
        /* The setup is read whole however the client cut its write: a
         * start of it that matches so far waits for the rest. */
        const bool display = pkt.dst_port >= 6000 && pkt.dst_port <= 6005;
        const bool start = p.length < X11_SETUP_SIZE && oxlo_rd_match_n(&p, X11_BYTE_ORDER, "l\0", p.length < 2 ? p.length : 2, 0) &&
                           (!oxlo_rd_u8_at(&p, X11_AUTH_NAME_LENGTH, &b6) || b6 == 18) &&
                           (!oxlo_rd_u8_at(&p, X11_AUTH_DATA_LENGTH, &b8) || b8 == 16);
        if (display && start && oxlo_framing::wait_for(m, f, pkt, X11_SETUP_SIZE))
            return;
        /* "MIT-MAGIC-COOKIE-1" and its 16 bytes. */
        ok = pkt.dst_port >= 6000 && pkt.dst_port <= 6005 && p.length == X11_SETUP_SIZE &&
             oxlo_rd_match_n(&p, X11_BYTE_ORDER, "l\0", 2, 0) && oxlo_rd_u8_at(&p, X11_AUTH_NAME_LENGTH, &b6) &&
             b6 == 18 && oxlo_rd_u8_at(&p, X11_AUTH_DATA_LENGTH, &b8) && b8 == 16;
    } else {
        uint16_t length = 0;
        /* Version 1, opcode 2 (Query). */
        ok = pkt.dst_port == XDMCP_PORT && p.length >= XDMCP_HEADER &&
             oxlo_rd_match_n(&p, XDMCP_VERSION, "\x00\x01\x00\x02", 4, 0) &&
             oxlo_rd_u16_at(&p, XDMCP_LENGTH, &length) && size_t(length) + XDMCP_HEADER == p.length;
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
