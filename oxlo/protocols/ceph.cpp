/* The storage cluster's messenger opens with its banner ceph v. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

namespace {


void found(oxlo_module *m, oxlo_flow_state *f)
{
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_CEPH, OXLO_PROTOCOL_UNKNOWN);
}

void search_ceph(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view v = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = v.payload;
    /* The banner is read whole however the peer cut its write. */
    if (p.length <= 6 && oxlo_rd_match_n(&p, 0, "ceph v", p.length, 0) && oxlo_framing::wait_for(m, f, v, 7))
        return;
    if (p.length > 6 && oxlo_rd_match(&p, 0, "ceph v", 0))
        found(m, f);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_CEPH};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_ceph = {
    "Ceph", search_ceph, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, 0, nullptr, nullptr,
};
} // extern "C"
