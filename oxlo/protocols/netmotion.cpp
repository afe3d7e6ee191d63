/* NetMotion mobility tunnels: a length, 'L' and a small version, then a
 * 16-bit and a 32-bit session value that each side repeats: once both sides
 * have shown different values, a repeat confirms. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

/* The header: its length, 'L', a version, a 16-bit session value at 4 and
 * a 32-bit one at 12 (16 bytes in all). */
constexpr size_t NM_LENGTH = 0, NM_MARK = 2, NM_VERSION = 3, NM_SESSION_A = 4, NM_SESSION_B = 12, NM_HEADER = 16;

struct netmotion_state {
    uint16_t a[2];
    uint32_t b[2];
    uint8_t set[2];
};

void search_netmotion(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    netmotion_state *s = static_cast<netmotion_state *>(oxlo_dissector_state(m, f));
    const oxlo_reader &p = pkt.payload;
    uint8_t l = 0, version = 0xFF;
    uint16_t length = 0, a = 0;
    uint32_t b = 0;
    if (!s || p.length < NM_HEADER || !oxlo_rd_u8_at(&p, NM_MARK, &l) || l != 'L' ||
        !oxlo_rd_u8_at(&p, NM_VERSION, &version) || version >= 2 || !oxlo_rd_u16_at(&p, NM_LENGTH, &length) ||
        length < NM_HEADER || length > p.length || !oxlo_rd_u16_at(&p, NM_SESSION_A, &a) ||
        !oxlo_rd_u32_at(&p, NM_SESSION_B, &b)) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    const uint8_t d = pkt.direction & 1, o = uint8_t(d ^ 1);
    if (s->set[d] && s->a[d] == a && s->b[d] == b && s->set[o] && (s->a[o] != a || s->b[o] != b)) {
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_NETMOTION, OXLO_PROTOCOL_UNKNOWN);
        return;
    }
    s->a[d] = a;
    s->b[d] = b;
    s->set[d] = 1;
}

const uint16_t protocols[] = {OXLO_PROTOCOL_NETMOTION};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_netmotion = {
    "NetMotion", search_netmotion, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD, protocols, sizeof(protocols) / sizeof(protocols[0]), sizeof(netmotion_state), nullptr, nullptr,
};

/* Shorter first datagrams fail the length test search_netmotion starts with, whatever
 * their bytes, and end in its exclusion alone. */
extern const uint16_t oxlo_dissector_shortest_netmotion = NM_HEADER;
} // extern "C"
