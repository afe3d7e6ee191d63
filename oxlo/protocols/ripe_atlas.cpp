/* RIPE Atlas probes' UDP measurements: a 25-byte payload starting "MGLNDD". */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

void search_ripe_atlas(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_reader p = oxlo_dissector_packet(m, f).payload;
    if (p.length == 25 && oxlo_rd_match(&p, 0, "MGLNDD", 0))
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_RIPEATLAS, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_RIPEATLAS};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_ripe_atlas = {
    "RipeAtlas", search_ripe_atlas, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD, protocols, sizeof(protocols) / sizeof(protocols[0]), 0, nullptr, nullptr,
};

/* Shorter first datagrams fail the length test search_ripe_atlas starts with, whatever
 * their bytes, and end in its exclusion alone. */
extern const uint16_t oxlo_dissector_shortest_ripe_atlas = 25;
} // extern "C"
