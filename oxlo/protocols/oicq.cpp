/* OICQ over UDP: a 0x02 start byte, the version 0x3B0B and a command
 * number from the known range. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

void search_oicq(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_reader p = oxlo_dissector_packet(m, f).payload;
    uint16_t command = 0;
    if (p.length >= 7 && oxlo_rd_match_n(&p, 0, "\x02\x3B\x0B", 3, 0) && oxlo_rd_u16_at(&p, 3, &command) &&
        ((command >= 1 && command <= 181) || command == 1015))
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_OICQ, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_OICQ};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_oicq = {
    "OICQ", search_oicq, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD, protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
