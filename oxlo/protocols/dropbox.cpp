/* The sync client's LAN discovery broadcasts to 17500: JSON with
 * host_int between two 17500 ports, or its bus command otherwise. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {


void found(oxlo_module *m, oxlo_flow_state *f)
{
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_DROPBOX, OXLO_PROTOCOL_UNKNOWN);
}

void search_dropbox(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view v = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = v.payload;
    if (v.dst_port == 17500 && p.length > 10 &&
        oxlo_rd_contains(&p, v.src_port == 17500 ? "\"host_int\"" : "Bus17Cmd", 0))
        found(m, f);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_DROPBOX};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_dropbox = {
    "DROPBOX", search_dropbox, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD,
    protocols, 1, 0, nullptr, nullptr,
};
/* Shorter first datagrams fail the length test search_dropbox starts with, whatever
 * their bytes, and end in its exclusion alone. */
extern const uint16_t oxlo_dissector_shortest_dropbox = 11;
} // extern "C"
