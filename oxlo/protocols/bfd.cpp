/* Bidirectional forwarding detection: control packets to 3784 (version and
 * diagnostic, flags, multiplier, length) and 12-byte echo packets to 3785. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {


void found(oxlo_module *m, oxlo_flow_state *f)
{
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_BFD, OXLO_PROTOCOL_UNKNOWN);
}

void search_bfd(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view v = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = v.payload;
    bool echo = p.length == 12 && v.dst_port == 3785 && oxlo_rd_peek32(&p, 0) == 0 && oxlo_rd_peek32(&p, 4) == 1 && oxlo_rd_peek16(&p, 10) == 0;
    bool control = p.length >= 24 && p.length <= 100 && v.dst_port == 3784 && oxlo_rd_peek8(&p, 0) <= 0x3F && oxlo_rd_peek8(&p, 3) == p.length;
    if (echo || control)
        found(m, f);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_BFD};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_bfd = {
    "BFD", search_bfd, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD,
    protocols, 1, 0, nullptr, nullptr,
};
} // extern "C"
