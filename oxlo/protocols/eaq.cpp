/* The broadband quality probe: 16-byte UDP packets on 6000 whose first four
 * digits count up by at most one per packet. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

struct eaq_state {
    uint32_t sequence;
    uint8_t count;
    uint8_t started;
};


void found(oxlo_module *m, oxlo_flow_state *f)
{
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_EAQ, OXLO_PROTOCOL_UNKNOWN);
}

void search_eaq(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view v = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = v.payload;
    eaq_state *s = static_cast<eaq_state *>(oxlo_dissector_state(m, f));
    if (!s || p.length != 16 || (v.src_port != 6000 && v.dst_port != 6000)) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    const uint32_t sequence = 1000u * oxlo_rd_peek8(&p, 0) + 100u * oxlo_rd_peek8(&p, 1) + 10u * oxlo_rd_peek8(&p, 2) + oxlo_rd_peek8(&p, 3);
    if (!s->started) {
        s->started = 1;
        s->sequence = sequence;
        return;
    }
    if (sequence != s->sequence && sequence != s->sequence + 1) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    s->sequence = sequence;
    if (++s->count == 3)
        found(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_EAQ};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_eaq = {
    "EAQ", search_eaq, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD,
    protocols, 1, sizeof(eaq_state), nullptr, nullptr,
};
/* Shorter first datagrams fail the length test search_eaq starts with, whatever
 * their bytes, and end in its exclusion alone. */
extern const uint16_t oxlo_dissector_shortest_eaq = 16;
} // extern "C"
