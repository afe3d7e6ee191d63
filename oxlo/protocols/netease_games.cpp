/* NetEase games over UDP: fixed starts of their session messages. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

void search(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    bool ok = false;
    ok = (p.length == 12 && pkt.from_client && oxlo_rd_match_n(&p, 0, "\x01\x00\xD0\x01", 4, 0) &&
          oxlo_rd_match_n(&p, 8, "\x00\x01\x01\x01", 4, 0)) ||
         (p.length > 29 && oxlo_rd_match_n(&p, 0, "\xB3\xAF\x8D\xE8", 4, 0)) ||
         (p.length > 30 && oxlo_rd_match_n(&p, 0, "\x07\x08\x08\x0C", 4, 0));
    if (ok)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_NETEASEGAMES, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_NETEASEGAMES};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_netease_games = {
    "NetEaseGames", search, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD, protocols, 1, 0, nullptr, nullptr,
};
/* Shorter first datagrams fail the length test search starts with, whatever
 * their bytes, and end in its exclusion alone. */
extern const uint16_t oxlo_dissector_shortest_netease_games = 12;
} // extern "C"
