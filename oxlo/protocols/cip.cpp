/* CIP implicit (class 1) I/O on UDP 2222: an item count and common packet
 * format items whose lengths cover the datagram exactly. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

bool items_cover(const oxlo_reader &p, uint8_t count)
{
    size_t off = 2;
    for (unsigned i = 0; i < count && off + 4 <= p.length; i++) {
        uint8_t length = 0;
        oxlo_rd_u8_at(&p, off + 2, &length);
        off += size_t(length) + 4;
    }
    return off == p.length;
}

void search_cip(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader p = pkt.payload;
    uint8_t count = 0, zero = 1;
    if (pkt.src_port == 2222 && pkt.dst_port == 2222 && p.length >= 12 && p.length <= 63 &&
        oxlo_rd_u8_at(&p, 0, &count) && count != 0 && oxlo_rd_u8_at(&p, 1, &zero) && zero == 0 && items_cover(p, count))
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_CIP, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_CIP};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_cip = {
    "CIP", search_cip, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
