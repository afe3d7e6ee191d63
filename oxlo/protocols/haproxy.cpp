/* The PROXY protocol a load balancer puts in front of a relayed
 * connection: version 2 starts with a 12-byte binary signature; version 1
 * is one text line "PROXY TCP4|TCP6 src dst sport dport" ended by CR LF, at
 * most 107 bytes, that the relayed bytes follow (in the same write or not). */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

namespace {

const uint8_t v2_signature[12] = {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D, 0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A};
const char v1_start[] = "PROXY TCP";
constexpr size_t V1_MAX = 107; /* the longest version-1 line, CR LF included */

void search_haproxy(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    /* A signature or a line cut by the segments is read whole. */
    if (oxlo_framing::wait_for_prefix(m, f, pkt, v2_signature, sizeof(v2_signature)) ||
        oxlo_framing::wait_for_prefix(m, f, pkt, v1_start, sizeof(v1_start) - 1))
        return;
    const uint8_t *sig = oxlo_rd_bytes_at(&p, 0, sizeof(v2_signature));
    const bool v2 = sig && memcmp(sig, v2_signature, sizeof(v2_signature)) == 0;
    bool v1 = false;
    if (!v2 && p.length > 8 && oxlo_rd_match(&p, 0, v1_start, 0)) {
        const ptrdiff_t end = oxlo_rd_find(&p, 0, "\r\n", 0);
        if (end < 0 && p.length < V1_MAX && oxlo_framing::wait_for(m, f, pkt, p.length + 1))
            return;
        v1 = end >= 0 && size_t(end) + 2 <= V1_MAX;
    }
    if (v1 || v2)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_HAPROXY, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_HAPROXY};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_haproxy = {
    "HAProxy", search_haproxy, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
