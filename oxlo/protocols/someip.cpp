/* SOME/IP: a 16-byte header whose length covers the rest, protocol version
 * 1, a known message type and return code; the magic-cookie messages must
 * be exactly the cookie. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

namespace {

void search_someip(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    oxlo_reader p = pkt.payload;
    /* Over TCP messages (a 32-bit length at 4 covering what follows it) are
     * read whole from the stream. */
    auto size = [](const oxlo_reader &r) -> int64_t {
        uint8_t version = 1;
        uint32_t n = 0;
        if (oxlo_rd_u8_at(&r, 12, &version) && version != 1)
            return 0;
        if (!oxlo_rd_u32_at(&r, 4, &n) || r.length < 16)
            return -1;
        return n >= 8 && n <= 65536 ? int64_t(n) + 8 : 0;
    };
    if (pkt.l4 == OXLO_L4_TCP && oxlo_framing::whole(m, f, pkt, 16, 16, size, &p) == oxlo_framing::FIRST_WAITING)
        return;
    const uint8_t type = oxlo_rd_peek8(&p, 14), rc = oxlo_rd_peek8(&p, 15);
    if (p.length < 16 || uint64_t(oxlo_rd_peek32(&p, 4)) + 8 != p.length || oxlo_rd_peek8(&p, 12) != 1 ||
        !((type & 0x9F) < 3 || (type & 0x9E) == 0x80) || rc > 63) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    const uint32_t id = oxlo_rd_peek32(&p, 0);
    if ((id == 0xFFFF0000u || id == 0xFFFF8000u) &&
        (oxlo_rd_peek32(&p, 4) != 8 || oxlo_rd_peek32(&p, 8) != 0xDEADBEEFu || oxlo_rd_peek8(&p, 13) != 1 || (type != 0x01 && type != 0x21) || rc != 0)) {
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
