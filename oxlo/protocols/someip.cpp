/* SOME/IP: a 16-byte header whose length covers the rest, protocol version
 * 1, a known message type and return code; the magic-cookie messages must
 * be exactly the cookie. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

namespace {

/* Message id (service and method), length of what follows it, request id
 * (client and session), then protocol and interface version, message type
 * and return code. */
constexpr size_t SOMEIP_MESSAGE_ID = 0, SOMEIP_LENGTH = 4, SOMEIP_REQUEST_ID = 8, SOMEIP_PROTOCOL_VERSION = 12,
                 SOMEIP_INTERFACE_VERSION = 13, SOMEIP_MESSAGE_TYPE = 14, SOMEIP_RETURN_CODE = 15, SOMEIP_HEADER = 16;
/* The length counts the request id and the four version and type bytes too. */
constexpr uint32_t SOMEIP_LENGTH_BASE = 8;
constexpr uint8_t SOMEIP_VERSION = 1;
/* The magic-cookie messages carry this request id and nothing else. */
constexpr uint32_t SOMEIP_COOKIE_REQUEST = 0xDEADBEEFu;

void search_someip(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    oxlo_reader p = pkt.payload;
    /* Over TCP messages (a 32-bit length at 4 covering what follows it) are
     * read whole from the stream. */
    auto size = [](const oxlo_reader &r) -> int64_t {
        uint8_t version = 1;
        uint32_t n = 0;
        if (oxlo_rd_u8_at(&r, SOMEIP_PROTOCOL_VERSION, &version) && version != SOMEIP_VERSION)
            return 0;
        if (!oxlo_rd_u32_at(&r, SOMEIP_LENGTH, &n) || r.length < SOMEIP_HEADER)
            return -1;
        return n >= SOMEIP_LENGTH_BASE && n <= 65536 ? int64_t(n) + SOMEIP_LENGTH_BASE : 0;
    };
    if (pkt.l4 == OXLO_L4_TCP && oxlo_framing::whole(m, f, pkt, SOMEIP_HEADER, 16, size, &p) == oxlo_framing::FIRST_WAITING)
        return;
    const uint8_t type = oxlo_rd_peek8(&p, SOMEIP_MESSAGE_TYPE), rc = oxlo_rd_peek8(&p, SOMEIP_RETURN_CODE);
    if (p.length < SOMEIP_HEADER || uint64_t(oxlo_rd_peek32(&p, SOMEIP_LENGTH)) + SOMEIP_LENGTH_BASE != p.length ||
        oxlo_rd_peek8(&p, SOMEIP_PROTOCOL_VERSION) != SOMEIP_VERSION ||
        !((type & 0x9F) < 3 || (type & 0x9E) == 0x80) || rc > 63) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    const uint32_t id = oxlo_rd_peek32(&p, SOMEIP_MESSAGE_ID);
    if ((id == 0xFFFF0000u || id == 0xFFFF8000u) &&
        (oxlo_rd_peek32(&p, SOMEIP_LENGTH) != SOMEIP_LENGTH_BASE ||
         oxlo_rd_peek32(&p, SOMEIP_REQUEST_ID) != SOMEIP_COOKIE_REQUEST || oxlo_rd_peek8(&p, SOMEIP_INTERFACE_VERSION) != 1 ||
         (type != 0x01 && type != 0x21) || rc != 0)) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_SOMEIP, OXLO_PROTOCOL_UNKNOWN);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_SOMEIP};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_someip = {
    "SOME/IP", search_someip, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP_OR_UDP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
