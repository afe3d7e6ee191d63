/* The search cluster's transport: ES and a 32-bit message length. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

/* A message: "ES", the length of what follows the 6-byte header. */
constexpr size_t ES_MARKER = 0, ES_LENGTH = 2, ES_HEADER = 6;


void found(oxlo_module *m, oxlo_flow_state *f)
{
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_ELASTICSEARCH, OXLO_PROTOCOL_UNKNOWN);
}

void search_elastic_search(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view v = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = v.payload;
    if (p.length >= ES_HEADER && oxlo_rd_match(&p, ES_MARKER, "ES", 0) &&
        p.length >= oxlo_rd_peek32(&p, ES_LENGTH) + ES_HEADER)
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
