/* Gnutella: "GNUTELLA CONNECT/<version>" over TCP, and its UDP messages
 * (a descriptor header whose payload length fits the datagram, or a "GND"
 * frame). */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_private.h"

namespace {

/* The UDP descriptor header: a 16-byte GUID, the payload type, TTL, hops,
 * the payload length (little-endian) behind the 23-byte header. */
constexpr size_t GNUTELLA_PAYLOAD_LENGTH = 19, GNUTELLA_HEADER = 23, GNUTELLA_VENDOR = 24, GNUTELLA_UDP_MIN = 24;
constexpr size_t GNUTELLA_TRAILER_SIZE = 4;

void search_gnutella(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    bool ok = false;
    if (pkt.l4 == OXLO_L4_TCP) {
        if (p.length > 17 && oxlo_rd_match(&p, 0, "GNUTELLA CONNECT/", 0)) {
            oxlo_flow_refine_protocol(m, f, OXLO_PROTOCOL_GNUTELLA, OXLO_CONFIDENCE_DPI);
            oxlo_parse_payload_lines(m, f);
            const oxlo_payload_line &ua = (*oxlo_dissector_lines(m, nullptr)).user_agent;
            if (ua.ptr && ua.len)
                oxlo_flow_store_user_agent(f, reinterpret_cast<const char *>(ua.ptr), ua.len);
            return;
        }
    } else if (p.length >= GNUTELLA_UDP_MIN) {
        uint32_t length = 0;
        const bool framed = oxlo_rd_le32_at(&p, GNUTELLA_PAYLOAD_LENGTH, &length) &&
                            uint64_t(length) + GNUTELLA_HEADER == p.length &&
                            ((p.length >= GNUTELLA_VENDOR + 4 && oxlo_rd_match(&p, GNUTELLA_VENDOR, "GTKG", 0)) ||
                             oxlo_rd_match_n(&p, p.length - GNUTELLA_TRAILER_SIZE, "\x82\x51\x4B\x40", 4, 0));
        ok = framed || oxlo_rd_match_n(&p, 0, "\x47\x4E\x44\x10", 4, 0);
    } else {
        ok = p.length >= 4 && oxlo_rd_match_n(&p, 0, "\x47\x4E\x44\x10", 4, 0);
    }
    if (ok)
        oxlo_flow_refine_protocol(m, f, OXLO_PROTOCOL_GNUTELLA, OXLO_CONFIDENCE_DPI);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_GNUTELLA};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_gnutella = {
    "Gnutella", search_gnutella, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP_OR_UDP,
    protocols, 1, 0, nullptr, nullptr,
};
} // extern "C"
