/* Riot Games' UDP game traffic: a fixed trailer, or a fixed 53-byte
 * message. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

void search(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    bool ok = false;
    ok = (p.length > 8 && oxlo_rd_match_n(&p, p.length - 8, "\xAA\xAA\xAA\xAA\xBB\xBB\xBB\xBB", 8, 0)) ||
         (p.length == 53 && oxlo_rd_match_n(&p, 45, "\x3C\xB1\x1F\x2D\xEA\x23\x46\x0C", 8, 0));
    if (ok)
        oxlo_flow_set_protocol(m, f, OXLO_PROTOCOL_UNKNOWN, OXLO_PROTOCOL_RIOTGAMES, OXLO_CONFIDENCE_DPI);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_RIOTGAMES};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_riotgames = {
    "RiotGames", search, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD, protocols, 1, 0, nullptr, nullptr,
};
/* Shorter first datagrams fail the length test search starts with, whatever
 * their bytes, and end in its exclusion alone. */
extern const uint16_t oxlo_dissector_shortest_riotgames = 9;
} // extern "C"
