/* Toca Boca's games over UDP: fixed markers in their frames. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

void search(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    bool ok = false;
    if (p.length <= 12) {
        ok = false;
    } else if (oxlo_rd_match_n(&p, 0, "\x7D\x7D\x7D\x7D\x7D\x7D\x7D\x7D", 8, 0)) {
        ok = true;
    } else if (pkt.payload_packets == 1) {
        ok = p.length > 23 && oxlo_rd_match_n(&p, 0, "\xFF\xFF\x00\x01", 4, 0) && oxlo_rd_match_n(&p, 12, "\x02\xFF\x01\x04", 4, 0);
    } else {
        ok = p.length > 31 && (oxlo_rd_match_n(&p, 2, "\x00\x01", 2, 0) || oxlo_rd_match_n(&p, 2, "\x00\x02", 2, 0) ||
                               oxlo_rd_match_n(&p, 2, "\x00\x03", 2, 0)) &&
             (oxlo_rd_match_n(&p, 12, "\x01\x00\x00\x00", 4, 0) || oxlo_rd_match_n(&p, 12, "\x01\xFF\x00\x00", 4, 0)) &&
             oxlo_rd_match_n(&p, 16, "\x00\x00\x00\x14", 4, 0);
    }
    if (ok)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_TOCABOCA, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_TOCABOCA};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_tocaboca = {
    "TocaBoca", search, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD, protocols, 1, 0, nullptr, nullptr,
};
/* Shorter first datagrams fail the length test search starts with, whatever
 * their bytes, and end in its exclusion alone. */
extern const uint16_t oxlo_dissector_shortest_tocaboca = 13;
} // extern "C"
