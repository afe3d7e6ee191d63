/* Gaijin Entertainment's game and updater traffic over UDP: a fixed 8-byte
 * header, or the updater's text commands. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

void search(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    bool ok = false;
    ok = (p.length == 52 && oxlo_rd_match_n(&p, 0, "\x8F\xFF\x00", 3, 0) && oxlo_rd_match_n(&p, 4, "\x82\xFF\x00\x01", 4, 0)) ||
         (p.length > 100 && (oxlo_rd_match(&p, 0, "embeddedupdater.", 0) || oxlo_rd_match(&p, 0, "app.start", 0) ||
                             oxlo_rd_match(&p, 0, "app.stage", 0)));
    if (ok)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_GAIJINENTERTAINMENT, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_GAIJINENTERTAINMENT};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_gaijin_entertainment = {
    "GaijinEntertainment", search, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD, protocols, 1, 0, nullptr, nullptr,
};
/* Shorter first datagrams fail the length test search starts with, whatever
 * their bytes, and end in its exclusion alone. */
extern const uint16_t oxlo_dissector_shortest_gaijin_entertainment = 52;
} // extern "C"
