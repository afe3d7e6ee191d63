/* GTP over UDP: user plane on 2152, control plane on 2123 (versions 1 and
 * 2), and GTP' charging on 3386. Byte 0 holds the version (top three bits),
 * the protocol-type bit and the E, S and PN flags; the length at offset 2
 * counts what follows the mandatory header. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

bool on_port(const oxlo_packet_view &pkt, uint16_t port) { return pkt.src_port == port || pkt.dst_port == port; }

void search_gtp(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    uint8_t flags = 0, type = 0;
    uint16_t length = 0;
    if (p.length > 4 && oxlo_rd_u8_at(&p, 0, &flags) && oxlo_rd_u8_at(&p, 1, &type) && oxlo_rd_u16_at(&p, 2, &length)) {
        const uint8_t version = uint8_t(flags >> 5);
        const bool pt = flags & 0x10;
        if (on_port(pkt, 2152) && version == 1 && pt && p.length > 7 && p.length - 8 >= length) {
            oxlo_dissector_classify(m, f, OXLO_PROTOCOL_GTP_U, OXLO_PROTOCOL_GTP);
            return;
        }
        if (on_port(pkt, 2123)) {
            const bool v1 = version == 1 && pt && p.length == size_t(length) + 8 && (!(flags & 0x07) || length > 3) &&
                            type >= 1 && type <= 129;
            const bool v2 = version == 2 && p.length == size_t(length) + 4;
            if (v1 || v2) {
                oxlo_dissector_classify(m, f, OXLO_PROTOCOL_GTP_C, OXLO_PROTOCOL_GTP);
                return;
            }
        }
        if (on_port(pkt, 3386) && !pt && (flags & 0x0E) == 0x0E && p.length != 5 && p.length >= 6 &&
            p.length - 6 >= length && ((type >= 1 && type <= 7) || type == 240 || type == 241)) {
            oxlo_dissector_classify(m, f, OXLO_PROTOCOL_GTP_PRIME, OXLO_PROTOCOL_GTP);
            return;
        }
    }
    OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_GTP, OXLO_PROTOCOL_GTP_U, OXLO_PROTOCOL_GTP_C, OXLO_PROTOCOL_GTP_PRIME};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_gtp = {
    "GTP", search_gtp, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD, protocols, 4, 0, nullptr, nullptr,
};

} // extern "C"
