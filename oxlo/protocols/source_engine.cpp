/* Source engine server queries: four 0xFF bytes and a query letter from
 * the client ('T' info, 'U' players, 'V' rules), the answers' letters from the
 * server. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

/* A connectionless packet: the header FF FF FF FF, then the query or
 * answer letter. */
constexpr size_t QUERY_HEADER = 0, QUERY_TYPE = 4;

void search(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    bool ok = false;
    uint8_t q = 0;
    const bool ff = oxlo_rd_match_n(&p, QUERY_HEADER, "\xFF\xFF\xFF\xFF", 4, 0) && oxlo_rd_u8_at(&p, QUERY_TYPE, &q);
    ok = ff && (pkt.from_client ? (p.length >= 9 && p.length <= 29 && (q == 'T' || q == 'U' || q == 'V'))
                                : ((p.length == 9 && q == 'A') || (p.length > 30 && (q == 'D' || q == 'E' || q == 'I'))));
    if (ok)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_SOURCE_ENGINE, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_SOURCE_ENGINE};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_source_engine = {
    "Source_Engine", search, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD, protocols, 1, 0, nullptr, nullptr,
};
/* Shorter first datagrams fail the length test search starts with, whatever
 * their bytes, and end in its exclusion alone. */
extern const uint16_t oxlo_dissector_shortest_source_engine = 9;
} // extern "C"
