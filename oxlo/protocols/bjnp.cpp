/* The printer and scanner discovery protocol over UDP: a 4-byte tag. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include <initializer_list>

namespace {


void found(oxlo_module *m, oxlo_flow_state *f)
{
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_BJNP, OXLO_PROTOCOL_UNKNOWN);
}

void search_bjnp(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view v = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = v.payload;
    bool known = false;
    if (p.length > 4)
        for (const char *tag : {"BJNP", "BNJB", "BJNB", "MFNP"})
            known = known || oxlo_rd_match(&p, 0, tag, 0);
    if (known)
        found(m, f);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_BJNP};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_bjnp = {
    "BJNP", search_bjnp, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD,
    protocols, 1, 0, nullptr, nullptr,
};
} // extern "C"
