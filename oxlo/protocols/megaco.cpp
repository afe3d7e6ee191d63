/* Megaco (H.248) in its text encoding: a message starts with the version
 * token, "!/1 " or "MEGACO/1 ", followed by the sender's address in
 * brackets ("[" for an IP address, "<" for a domain name). */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {


void search_megaco(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_reader &p = oxlo_dissector_packet(m, f).payload;
    const bool short_form = p.length > 4 && oxlo_rd_match_n(&p, 0, "!/1 ", 4, 0) && (oxlo_rd_peek8(&p, 4) == '[' || oxlo_rd_peek8(&p, 4) == '<');
    const bool long_form = p.length > 9 && oxlo_rd_match_n(&p, 0, "MEGACO/1 [", 10, 0);
    if (short_form || long_form)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_MEGACO, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_MEGACO};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_megaco = {
    "Megaco", search_megaco, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD, protocols, 1, 0, nullptr, nullptr,
};
} // extern "C"
