/* ZUG over UDP: every datagram opens with 00 "zUG" and version 0x10. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

void search_zug(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_reader p = oxlo_dissector_packet(m, f).payload;
    if (p.length >= 5 && oxlo_rd_match_n(&p, 0, "\x00\x7A\x55\x47\x10", 5, 0))
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_ZUG, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_ZUG};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_zug = {
    "ZUG", search_zug, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD, protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
