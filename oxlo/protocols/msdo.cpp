/* Delivery Optimization swarms: a length byte of 14 and "Swarm protocol". */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

void search_msdo(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_reader p = oxlo_dissector_packet(m, f).payload;
    uint8_t length = 0;
    if (p.length > 16 && oxlo_rd_u8_at(&p, 0, &length) && length == 14 && oxlo_rd_match(&p, 1, "Swarm protocol", 0))
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_MSDO, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_MSDO};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_msdo = {
    "MSDO", search_msdo, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP,
    protocols, 1, 0, nullptr, nullptr,
};
} // extern "C"
