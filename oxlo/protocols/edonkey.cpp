/* The file-sharing network's TCP messages: a protocol byte (plain, packed
 * or extended) and a 32-bit little-endian length. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

namespace {

/* A message: the protocol tag (plain, extended or packed) and the length
 * of what follows the 5-byte header (little-endian). */
constexpr size_t ED_PROTOCOL = 0, ED_LENGTH = 1, ED_HEADER = 5;
constexpr uint8_t ED_PLAIN = 0xE3, ED_EXTENDED = 0xC5, ED_PACKED = 0xD4;
bool known_tag(uint8_t t) { return t == ED_EXTENDED || t == ED_PACKED || t == ED_PLAIN; }


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
        const uint8_t t = oxlo_rd_peek8(&r, ED_PROTOCOL);
        uint32_t n = 0;
        if (!known_tag(t))
            return 0;
        if (!oxlo_rd_le32_at(&r, ED_LENGTH, &n))
            return -1;
        return n >= 1 && n <= 65536 ? int64_t(n) + ED_HEADER : 0;
    };
    if (oxlo_framing::whole(m, f, v, ED_HEADER, 16, size, &p) == oxlo_framing::FIRST_WAITING)
        return;
    const uint8_t tag = oxlo_rd_peek8(&p, ED_PROTOCOL);
    if (p.length > ED_HEADER && known_tag(tag) && oxlo_rd_peekle32(&p, ED_LENGTH) + ED_HEADER == p.length)
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
