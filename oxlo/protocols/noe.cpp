/* NOE, the signalling of a family of IP desk phones: one-byte keep-alives
 * (4 or 5), short 07 00 xx 00 control messages and the 00 06 "bl" header of
 * its longer ones. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {


bool matches(const oxlo_reader &p)
{
    if (p.length == 1)
        return oxlo_rd_peek8(&p, 0) == 4 || oxlo_rd_peek8(&p, 0) == 5;
    if (p.length == 5 || p.length == 12)
        return oxlo_rd_peek8(&p, 0) == 0x07 && oxlo_rd_peek8(&p, 1) == 0 && oxlo_rd_peek8(&p, 2) != 0 && oxlo_rd_peek8(&p, 3) == 0;
    return p.length > 24 && oxlo_rd_match_n(&p, 0, "\x00\x06\x62\x6C", 4, 0);
}

void search_noe(oxlo_module *m, oxlo_flow_state *f)
{
    if (matches(oxlo_dissector_packet(m, f).payload))
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_NOE, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_NOE};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_noe = {
    "NOE", search_noe, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD, protocols, 1, 0, nullptr, nullptr,
};
} // extern "C"
