/* The video service's streams open with a fixed magic: one over TCP,
 * another over UDP. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {


void found(oxlo_module *m, oxlo_flow_state *f)
{
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_AMAZONVIDEO, OXLO_PROTOCOL_UNKNOWN);
}

void search_amazon_video(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view v = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = v.payload;
    if (p.length > 4 && oxlo_rd_match_n(&p, 0, v.l4 == OXLO_L4_TCP ? "\xFE\xED\xFA\xCE" : "\xDE\xAD\xBE\xEF", 4, 0))
        found(m, f);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_AMAZONVIDEO};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_amazon_video = {
    "AMAZON_VIDEO", search_amazon_video, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP_OR_UDP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, 0, nullptr, nullptr,
};
} // extern "C"
