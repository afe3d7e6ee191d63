/* Threema on port 5222: its handshake has three packets of fixed sizes
 * (48, 80 and 191 bytes); later packets carry a 16-bit little-endian
 * length before their body. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

void search_threema(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    static const size_t sizes[] = {48, 80, 191};
    const uint16_t n = pkt.payload_packets;
    bool ok = pkt.src_port == 5222 || pkt.dst_port == 5222;
    if (ok && n >= 1 && n <= 3)
        ok = p.length == sizes[n - 1];
    else if (ok && n == 4)
        return;
    else if (ok) {
        uint16_t length = 0;
        ok = p.length >= 2 && oxlo_rd_le16_at(&p, 0, &length) && size_t(length) + 2 == p.length;
        if (ok) {
            oxlo_flow_set_protocol(m, f, OXLO_PROTOCOL_UNKNOWN, OXLO_PROTOCOL_THREEMA, OXLO_CONFIDENCE_DPI);
            return;
        }
    }
    if (!ok)
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_THREEMA};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_threema = {
    "Threema", search_threema, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
