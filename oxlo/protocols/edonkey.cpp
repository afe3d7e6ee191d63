/* The file-sharing network's TCP messages: a protocol byte (plain, packed
 * or extended) and a 32-bit little-endian length. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

namespace {


void found(oxlo_module *m, oxlo_flow_state *f)
{
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_EDONKEY, OXLO_PROTOCOL_UNKNOWN);
}

void search_edonkey(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view v = oxlo_dissector_packet(m, f);
    oxlo_reader p = v.payload;
    /* Messages (a protocol tag, a 32-bit length of what follows) are read
     * whole from the stream. */
    auto size = [](const oxlo_reader &r) -> int64_t {
        const uint8_t t = oxlo_rd_peek8(&r, 0);
        uint32_t n = 0;
        if (t != 0xC5 && t != 0xD4 && t != 0xE3)
            return 0;
        if (!oxlo_rd_le32_at(&r, 1, &n))
            return -1;
        return n >= 1 && n <= 65536 ? int64_t(n) + 5 : 0;
    };
    if (oxlo_framing::whole(m, f, v, 5, 16, size, &p) == oxlo_framing::FIRST_WAITING)
        return;
    const uint8_t tag = oxlo_rd_peek8(&p, 0);
    if (p.length >= 6 && (tag == 0xC5 || tag == 0xD4 || tag == 0xE3) && oxlo_rd_peekle32(&p, 1) + 5 == p.length)
        found(m, f);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_EDONKEY};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_edonkey = {
    "eDonkey", search_edonkey, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, 0, nullptr, nullptr,
};
} // extern "C"
