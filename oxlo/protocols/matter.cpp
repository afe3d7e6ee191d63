/* Matter over IPv6 UDP on its ports: message flags, security flags with a
 * session type, and a session id that is 0 exactly for unsecured sessions. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

/* Reads within the payload; callers check its length first. */
uint8_t at(const oxlo_reader &p, size_t o)
{
    uint8_t v = 0;
    oxlo_rd_u8_at(&p, o, &v);
    return v;
}
uint16_t le16(const oxlo_reader &p, size_t o)
{
    uint16_t v = 0;
    oxlo_rd_le16_at(&p, o, &v);
    return v;
}

void search_matter(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader p = pkt.payload;
    if (!((pkt.src_port == 5540 || pkt.dst_port == 5540 || pkt.src_port == 5542 || pkt.dst_port == 5542) && p.length >= 16 && at(p, 0) < 32 && (at(p, 0) & 3) != 3 && !(at(p, 0) & 8) && !(at(p, 3) & 0x1C) && (at(p, 3) & 3) != 3 && (((at(p, 3) & 3) == 0) == (le16(p, 1) == 0)))) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_MATTER, OXLO_PROTOCOL_UNKNOWN);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_MATTER};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_matter = {
    "Matter", search_matter, OXLO_SEL_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
