/* Matter over IPv6 UDP on its ports: message flags, security flags with a
 * session type, and a session id that is 0 exactly for unsecured sessions. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

void search_matter(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader p = pkt.payload;
    if (!((pkt.src_port == 5540 || pkt.dst_port == 5540 || pkt.src_port == 5542 || pkt.dst_port == 5542) && p.length >= 16 && oxlo_rd_peek8(&p, 0) < 32 && (oxlo_rd_peek8(&p, 0) & 3) != 3 && !(oxlo_rd_peek8(&p, 0) & 8) && !(oxlo_rd_peek8(&p, 3) & 0x1C) && (oxlo_rd_peek8(&p, 3) & 3) != 3 && (((oxlo_rd_peek8(&p, 3) & 3) == 0) == (oxlo_rd_peekle16(&p, 1) == 0)))) {
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
