/* Samsung's device discovery over UDP: a text search request starting
 * "SEARCH BSDP/" (its version follows). */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

void search_samsung_sdp(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_reader p = oxlo_dissector_packet(m, f).payload;
    if (p.length >= 12 && oxlo_rd_match(&p, 0, "SEARCH BSDP/", 0))
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_SAMSUNGSDP, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_SAMSUNGSDP};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_samsung_sdp = {
    "SamsungSDP", search_samsung_sdp, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD,
    protocols, 1, 0, nullptr, nullptr,
};

/* Shorter first datagrams fail the length test search_samsung_sdp starts with, whatever
 * their bytes, and end in its exclusion alone. */
extern const uint16_t oxlo_dissector_shortest_samsung_sdp = 12;
} // extern "C"
