/* Steam's UDP discovery: four 0xFF bytes and a fixed marker. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

void search(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    bool ok = false;
    ok = p.length > 39 && oxlo_rd_match_n(&p, 0, "\xFF\xFF\xFF\xFF\x21\x4C\x5F\xA0", 8, 0);
    if (ok)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_STEAM, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_STEAM};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_steam = {
    "Steam", search, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD, protocols, 1, 0, nullptr, nullptr,
};
/* Shorter first datagrams fail the length test search starts with, whatever
 * their bytes, and end in its exclusion alone. */
extern const uint16_t oxlo_dissector_shortest_steam = 40;
} // extern "C"
