/* GTP over UDP: user plane on 2152, control plane on 2123 (versions 1 and
 * 2), and GTP' charging on 3386. Byte 0 holds the version (top three bits),
 * the protocol-type bit and the E, S and PN flags; the length at offset 2
 * counts what follows the mandatory header. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

/* Every version: flags (version in the top 3 bits, protocol type), the
 * message type and a length; version 1 and GTP' count what follows the
 * 8- and 6-byte headers, version 2 what follows the first 4 bytes. */
constexpr size_t GTP_FLAGS = 0, GTP_MESSAGE_TYPE = 1, GTP_LENGTH = 2;
constexpr size_t GTP_V1_HEADER = 8, GTP_V2_LENGTH_BASE = 4, GTP_PRIME_HEADER = 6;
constexpr uint16_t GTP_U_PORT = 2152, GTP_C_PORT = 2123, GTP_PRIME_PORT = 3386;

bool on_port(const oxlo_packet_view &pkt, uint16_t port) { return pkt.src_port == port || pkt.dst_port == port; }

void search_gtp(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    uint8_t flags = 0, type = 0;
    uint16_t length = 0;
    if (p.length > 4 && oxlo_rd_u8_at(&p, GTP_FLAGS, &flags) && oxlo_rd_u8_at(&p, GTP_MESSAGE_TYPE, &type) &&
        oxlo_rd_u16_at(&p, GTP_LENGTH, &length)) {
        const uint8_t version = uint8_t(flags >> 5);
        const bool pt = flags & 0x10;
        if (on_port(pkt, GTP_U_PORT) && version == 1 && pt && p.length >= GTP_V1_HEADER &&
            p.length - GTP_V1_HEADER >= length) {
            oxlo_dissector_classify(m, f, OXLO_PROTOCOL_GTP_U, OXLO_PROTOCOL_GTP);
            return;
        }
        if (on_port(pkt, GTP_C_PORT)) {
            const bool v1 = version == 1 && pt && p.length == size_t(length) + GTP_V1_HEADER &&
                            (!(flags & 0x07) || length > 3) && type >= 1 && type <= 129;
            const bool v2 = version == 2 && p.length == size_t(length) + GTP_V2_LENGTH_BASE;
            if (v1 || v2) {
                oxlo_dissector_classify(m, f, OXLO_PROTOCOL_GTP_C, OXLO_PROTOCOL_GTP);
                return;
            }
        }
        if (on_port(pkt, GTP_PRIME_PORT) && !pt && (flags & 0x0E) == 0x0E && p.length != 5 &&
            p.length >= GTP_PRIME_HEADER && p.length - GTP_PRIME_HEADER >= length && ((type >= 1 && type <= 7) || type == 240 || type == 241)) {
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
