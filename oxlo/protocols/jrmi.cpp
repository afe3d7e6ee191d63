/* Java RMI: the client's stream opens with the magic "JRMI". */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

namespace {

/* The magic, the 16-bit version and the protocol byte follow. */
constexpr size_t JRMI_HEADER = 6;

void search_jrmi(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    /* The magic and the version after it, cut by the segments, are read whole. */
    if (oxlo_framing::wait_for_prefix(m, f, pkt, "JRMI", 4) ||
        (p.length < JRMI_HEADER && oxlo_rd_match(&p, 0, "JRMI", 0) && oxlo_framing::wait_for(m, f, pkt, JRMI_HEADER)))
        return;
    if (p.length > 5 && oxlo_rd_match(&p, 0, "JRMI", 0))
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_JRMI, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_JRMI};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_jrmi = {
    "JRMI", search_jrmi, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
