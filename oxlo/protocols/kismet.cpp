/* Kismet's server protocol: lines starting "*KISMET: ". */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

void search_kismet(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_reader p = oxlo_dissector_packet(m, f).payload;
    if (p.length >= 9 && oxlo_rd_match(&p, 0, "*KISMET: ", 0))
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_KISMET, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_KISMET};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_kismet = {
    "kismet", search_kismet, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION, protocols, sizeof(protocols) / sizeof(protocols[0]), 0, nullptr, nullptr,
};

} // extern "C"
