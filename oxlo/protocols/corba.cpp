/* CORBA's GIOP (and its compressed ZIOP) over TCP, MIOP over UDP multicast:
 * a 4-byte tag. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

namespace {


void found(oxlo_module *m, oxlo_flow_state *f)
{
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_CORBA, OXLO_PROTOCOL_UNKNOWN);
}

void search_corba(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view v = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = v.payload;
    if (v.l4 == OXLO_L4_TCP &&
        (oxlo_framing::wait_magic(m, f, v, "GIOP", 4, 24) || oxlo_framing::wait_magic(m, f, v, "ZIOP", 4, 24)))
        return;
    bool known = v.l4 == OXLO_L4_TCP
                     ? p.length > 23 && (oxlo_rd_match(&p, 0, "GIOP", 0) || oxlo_rd_match(&p, 0, "ZIOP", 0))
                     : p.length > 32 && oxlo_rd_match(&p, 0, "MIOP", 0);
    if (known)
        found(m, f);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_CORBA};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_corba = {
    "Corba", search_corba, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP_OR_UDP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, 0, nullptr, nullptr,
};
/* Shorter first datagrams fail the length test search_corba starts with, whatever
 * their bytes, and end in its exclusion alone. */
extern const uint16_t oxlo_dissector_shortest_corba = 33;
} // extern "C"
