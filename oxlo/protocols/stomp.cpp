/* STOMP: text frames; the client opens with a STOMP (or CONNECT) frame and
 * the broker answers CONNECTED with its headers. 1.0 clients open with
 * CONNECT; its line end is required, so an HTTP CONNECT request is not one. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

bool client_opening(const oxlo_reader &p)
{
    return oxlo_rd_match(&p, 0, "STOMP", 0) || oxlo_rd_match(&p, 0, "CONNECT\n", 0) ||
           oxlo_rd_match(&p, 0, "CONNECT\r\n", 0);
}

void search_stomp(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    if ((pkt.from_client && p.length > 26 && client_opening(p)) ||
        (!pkt.from_client && p.length > 100 && oxlo_rd_match(&p, 0, "CONNECTED", 0)))
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_STOMP, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_STOMP};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_stomp = {
    "STOMP", search_stomp, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
