/* The monitoring agent's answer opens with its section header. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {


void found(oxlo_module *m, oxlo_flow_state *f)
{
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_CHECKMK, OXLO_PROTOCOL_UNKNOWN);
}

void search_checkmk(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view v = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = v.payload;
    if (p.length >= 15 && p.length <= 99 && oxlo_rd_match(&p, 0, "<<<check_mk>>>", 0))
        found(m, f);
    else if (p.length <= 128 || v.payload_packets > 6)
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_CHECKMK};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_checkmk = {
    "CHECKMK", search_checkmk, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, 0, nullptr, nullptr,
};
} // extern "C"
