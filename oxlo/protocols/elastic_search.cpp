/* The search cluster's transport: ES and a 32-bit message length. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {


void found(oxlo_module *m, oxlo_flow_state *f)
{
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_ELASTICSEARCH, OXLO_PROTOCOL_UNKNOWN);
}

void search_elastic_search(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view v = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = v.payload;
    if (p.length >= 6 && oxlo_rd_match(&p, 0, "ES", 0) && p.length >= oxlo_rd_peek32(&p, 2) + 6)
        found(m, f);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_ELASTICSEARCH};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_elastic_search = {
    "Elasticsearch", search_elastic_search, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, 0, nullptr, nullptr,
};
} // extern "C"
