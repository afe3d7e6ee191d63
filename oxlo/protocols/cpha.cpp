/* The firewall cluster's state sync: UDP between two 8116 ports from
 * 0.0.0.0 with a fixed 2-byte magic. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_private.h"

namespace {


void found(oxlo_module *m, oxlo_flow_state *f)
{
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_CPHA, OXLO_PROTOCOL_UNKNOWN);
}

void search_cpha(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view v = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = v.payload;
    const uint8_t *source = v.from_client ? f->client_address : f->server_address;
    const bool unspecified = !v.ipv6 && !(source[0] | source[1] | source[2] | source[3]);
    if (p.length > 20 && oxlo_rd_match_n(&p, 0, "\x1A\x90", 2, 0) && v.src_port == 8116 && v.dst_port == 8116 &&
        unspecified)
        found(m, f);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_CPHA};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_cpha = {
    "CPHA", search_cpha, OXLO_SEL_IPV4 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD,
    protocols, 1, 0, nullptr, nullptr,
};
/* Shorter first datagrams fail the length test search_cpha starts with, whatever
 * their bytes, and end in its exclusion alone. */
extern const uint16_t oxlo_dissector_shortest_cpha = 21;
} // extern "C"
