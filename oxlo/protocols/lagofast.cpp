/* LagoFast, a game accelerator: a fixed 4-byte start and a length that
 * fits the datagram. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

void search(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    bool ok = false;
    uint16_t length = 0;
    ok = p.length >= 6 && (oxlo_rd_match_n(&p, 0, "\x00\x6E\x5D\x03", 4, 0) || oxlo_rd_match_n(&p, 0, "\x00\x6E\x5D\x04", 4, 0) ||
                           oxlo_rd_match_n(&p, 0, "\x00\xAE\xDB\x07", 4, 0)) &&
         oxlo_rd_u16_at(&p, 4, &length) && size_t(length) + 6 == p.length;
    if (ok)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_LAGOFAST, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_LAGOFAST};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_lagofast = {
    "LagoFast", search, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD, protocols, 1, 0, nullptr, nullptr,
};
} // extern "C"
