/* Viber. Over UDP its packets carry a type in byte 2 (1, 3, 9, 25 or 27)
 * followed by zero, with a size or further bytes fixed for some types; over
 * TCP each message opens with its own length (little-endian) and a few
 * fixed bytes further on. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_private.h"
#include "protocols/media_private.h"
#include "protocols/framing.h"

namespace {


/* Short packets, and packets of a known type that do not complete its
 * form, are waited on this long. */
constexpr uint16_t WAIT_PACKETS = 3;

bool broadcast(const uint8_t *a) { return (a[0] & a[1] & a[2] & a[3]) == 0xFF; }

bool known_type(uint8_t t) { return t == 1 || t == 3 || t == 9 || t == 25 || t == 27; }

void search_udp(oxlo_module *m, oxlo_flow_state *f, const oxlo_packet_view &pkt)
{
    const oxlo_reader &p = pkt.payload;
    if (!pkt.ipv6 && (broadcast(f->client_address) || broadcast(f->server_address))) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    const bool may_wait = pkt.payload_packets <= WAIT_PACKETS;
    if (p.length < 6) {
        if (!may_wait)
            OXLO_EXCLUDE(m, f);
        return;
    }
    /* Media counting started: the flow is RTP's to name. */
    if (rtp_counting_started(f)) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    const size_t n = p.length;
    const uint8_t type = oxlo_rd_peek8(&p, 2), b3 = oxlo_rd_peek8(&p, 3);
    const bool viber = (type == 3 && b3 == 0) || (n == 20 && type == 9 && b3 == 0) ||
                       (type == 1 && b3 == 0 && oxlo_rd_peek16(&p, 4) == 0x0500) ||
                       (n == 34 && (type == 25 || type == 27) && b3 == 0);
    if (viber)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_VIBER, OXLO_PROTOCOL_UNKNOWN);
    else if (!known_type(type) || !may_wait)
        OXLO_EXCLUDE(m, f);
}

/* The first message read whole from the stream (its length is of the
 * whole message, at least 11 bytes), the messages behind it in the same
 * write sized by their length alone. */
void search_tcp(oxlo_module *m, oxlo_flow_state *f, const oxlo_packet_view &pkt)
{
    oxlo_reader p = pkt.payload;
    const uint8_t *start = p.data;
    auto size = [start](const oxlo_reader &r) -> int64_t {
        uint16_t n = 0;
        if (!oxlo_rd_le16_at(&r, 0, &n))
            return -1;
        if (n <= 10)
            return 0;
        uint8_t b6 = 0xFC;
        uint16_t w4 = 0x0380;
        if (r.data == start && oxlo_rd_u8_at(&r, 6, &b6) && oxlo_rd_u16_at(&r, 4, &w4) && b6 != 0xFC && w4 != 0x0380)
            return 0;
        return n;
    };
    if (oxlo_framing::whole(m, f, pkt, 2, 4, size, &p) == oxlo_framing::FIRST_WAITING)
        return;
    uint16_t length = 0;
    const bool sized = p.length > 10 && oxlo_rd_le16_at(&p, 0, &length) && length == p.length;
    if (sized && ((oxlo_rd_peek8(&p, 6) == 0xFC && oxlo_rd_peek8(&p, 9) == 0x80) || (oxlo_rd_peek16(&p, 4) == 0x0380 && oxlo_rd_peek8(&p, 10) == 10)))
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_VIBER, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

void search_viber(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    if (pkt.l4 == OXLO_L4_UDP)
        search_udp(m, f, pkt);
    else if (pkt.l4 == OXLO_L4_TCP)
        search_tcp(m, f, pkt);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_VIBER};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_viber = {
    "Viber", search_viber,
    OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP_OR_UDP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, 0, nullptr, nullptr,
};
} // extern "C"
