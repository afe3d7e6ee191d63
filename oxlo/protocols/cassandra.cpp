/* Cassandra: a 19-byte frame with its magic, or the client's STARTUP whose
 * option map ends with CQL_VERSION and its value. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {


void found(oxlo_module *m, oxlo_flow_state *f)
{
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_CASSANDRA, OXLO_PROTOCOL_UNKNOWN);
}

void search_cassandra(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view v = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = v.payload;
    if (p.length == 19 && oxlo_rd_match_n(&p, 0, "\xCA\x55\x2D\xFA", 4, 0)) {
        found(m, f);
        return;
    }
    if (p.length < 9 || v.payload_packets > 7 || v.payload_packets_dir[v.direction & 1] > 2) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    if (p.length >= 61 && oxlo_rd_match(&p, p.length - 20, "CQL_VERSION", 0))
        found(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_CASSANDRA};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_cassandra = {
    "Cassandra", search_cassandra, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, 0, nullptr, nullptr,
};
} // extern "C"
