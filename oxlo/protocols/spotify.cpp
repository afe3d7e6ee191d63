/* Spotify: the desktop client's LAN discovery broadcast between two 57621
 * ports ("SpotUdp..."), and the access-point handshake over TCP, whose hello
 * opens 00 04 00 00 with a fixed field tag at 6 and 8. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {


bool matches(const oxlo_packet_view &pkt)
{
    const oxlo_reader &p = pkt.payload;
    if (pkt.l4 == OXLO_L4_UDP)
        return pkt.src_port == 57621 && pkt.dst_port == 57621 && p.length > 6 && oxlo_rd_match_n(&p, 0, "SpotUdp", 7, 0);
    if (pkt.l4 == OXLO_L4_TCP)
        return p.length > 8 && oxlo_rd_match_n(&p, 0, "\x00\x04\x00\x00", 4, 0) && oxlo_rd_peek8(&p, 6) == 0x52 &&
               (oxlo_rd_peek8(&p, 7) == 0x0E || oxlo_rd_peek8(&p, 7) == 0x0F) && oxlo_rd_peek8(&p, 8) == 0x50;
    return false;
}

void search_spotify(oxlo_module *m, oxlo_flow_state *f)
{
    if (matches(oxlo_dissector_packet(m, f)))
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_SPOTIFY, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_SPOTIFY};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_spotify = {
    "SPOTIFY", search_spotify,
    OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP_OR_UDP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, 0, nullptr, nullptr,
};
} // extern "C"
