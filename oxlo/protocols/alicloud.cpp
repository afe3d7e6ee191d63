/* The cloud agent's TCP frames: a 4-byte magic and a 32-bit body length. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {


void found(oxlo_module *m, oxlo_flow_state *f)
{
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_ALICLOUD, OXLO_PROTOCOL_UNKNOWN);
}

void search_alicloud(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view v = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = v.payload;
    if (p.length < 8) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    if (oxlo_rd_match_n(&p, 0, "\xCE\xFA\xBE\xBA", 4, 0) &&
        (p.length == oxlo_rd_peek32(&p, 4) + 8 || (p.length == 8 && oxlo_rd_peek32(&p, 4) != 0)))
        found(m, f);
    else if (v.payload_packets > 3)
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_ALICLOUD};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_alicloud = {
    "AliCloud", search_alicloud, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, 0, nullptr, nullptr,
};
} // extern "C"
