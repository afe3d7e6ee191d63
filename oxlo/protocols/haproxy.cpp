/* The PROXY protocol a load balancer puts in front of a relayed
 * connection: version 2 starts with a 12-byte binary signature; version 1
 * is one text line "PROXY TCP4|TCP6 src dst sport dport" sent alone. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

namespace {

/* Version 1's line: "PROXY TCP" and at most 107 bytes in all. */
constexpr size_t V1_PREFIX = 9, V1_LINE_MAX = 108;

const uint8_t v2_signature[12] = {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D, 0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A};

void search_haproxy(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    /* The header is read from the stream: a signature cut short, or a
     * version 1 line whose end has not come, waits for the rest. */
    if (oxlo_framing::wait_magic(m, f, pkt, reinterpret_cast<const char *>(v2_signature), sizeof(v2_signature),
                                 sizeof(v2_signature)))
        return;
    const ptrdiff_t end = oxlo_rd_find(&p, 0, "\r\n", 0);
    const size_t prefix = p.length < V1_PREFIX ? p.length : V1_PREFIX;
    if (pkt.l4 == OXLO_L4_TCP && p.length && p.length < V1_LINE_MAX && end < 0 &&
        oxlo_rd_match_n(&p, 0, "PROXY TCP", prefix, 0) && oxlo_dissector_need(m, f, p.length + 1) == 0)
        return;
    const uint8_t *sig = oxlo_rd_bytes_at(&p, 0, sizeof(v2_signature));
    const bool v2 = sig && memcmp(sig, v2_signature, sizeof(v2_signature)) == 0;
    /* Version 1: the line is the header; over TCP the bytes the proxy
     * relays behind it may share its segment. */
    const bool v1 = p.length > 8 && oxlo_rd_match(&p, 0, "PROXY TCP", 0) &&
                    (end == ptrdiff_t(p.length) - 2 || (pkt.l4 == OXLO_L4_TCP && end > 0 && size_t(end) < V1_LINE_MAX));
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
