/* i3D.net's game hosting: fixed headers carrying its service markers. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

void search(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    bool ok = false;
    ok = p.length >= 74 && (((oxlo_rd_match_n(&p, 0, "\x00\x01\x00\x46", 4, 0) || oxlo_rd_match_n(&p, 0, "\x00\x02\x00\x46", 4, 0)) &&
                              oxlo_rd_match_n(&p, 4, "\x00\x03\xCF\xA8", 4, 0)) ||
                             ((oxlo_rd_match_n(&p, 0, "\x90\x67", 2, 0) || oxlo_rd_match_n(&p, 0, "\x90\x78", 2, 0)) &&
                              oxlo_rd_match_n(&p, 8, "\x00\x03\xCF\xA9\xBE\xDE\x00\x03", 8, 0)));
    if (ok)
        oxlo_flow_set_protocol(m, f, OXLO_PROTOCOL_UNKNOWN, OXLO_PROTOCOL_I3D, OXLO_CONFIDENCE_DPI);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_I3D};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_i3d = {
    "i3D", search, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD, protocols, 1, 0, nullptr, nullptr,
};
/* Shorter first datagrams fail the length test search starts with, whatever
 * their bytes, and end in its exclusion alone. */
extern const uint16_t oxlo_dissector_shortest_i3d = 74;
} // extern "C"
