/* AMQP 0-9-1 frames: type, channel, a 32-bit size, then class and method
 * ids. The client's protocol header waits; the server's first method frame
 * names the flow. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {


void found(oxlo_module *m, oxlo_flow_state *f)
{
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_AMQP, OXLO_PROTOCOL_UNKNOWN);
}

void search_amqp(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view v = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = v.payload;
    const uint64_t size = oxlo_rd_peek32(&p, 3);
    if (p.length > 11 && oxlo_rd_peek8(&p, 0) < 4 && size + 8 >= p.length && size <= 32767 && oxlo_rd_peek16(&p, 7) >= 10 &&
        oxlo_rd_peek16(&p, 7) <= 110 && oxlo_rd_peek16(&p, 9) <= 120)
        found(m, f);
    else if (v.payload_packets > 5)
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_AMQP};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_amqp = {
    "AMQP", search_amqp, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, 0, nullptr, nullptr,
};
} // extern "C"
