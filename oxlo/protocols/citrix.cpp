/* Citrix ICA: a 6-byte ICA greeting, a CGP (session reliability) header,
 * or the TCP proxy service's name in the client's request. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

void search_citrix(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_reader p = oxlo_dissector_packet(m, f).payload;
    if ((p.length == 6 && oxlo_rd_match_n(&p, 0, "\x7F\x7F\x49\x43\x41\x00", 6, 0)) ||
        (p.length > 22 && (oxlo_rd_match_n(&p, 0, "\x1A\x43\x47\x50\x2F\x30\x31", 7, 0) ||
                           oxlo_rd_contains(&p, "Citrix.TcpProxyService", 0))))
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_CITRIX, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_CITRIX};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_citrix = {
    "Citrix", search_citrix, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP,
    protocols, 1, 0, nullptr, nullptr,
};
} // extern "C"
