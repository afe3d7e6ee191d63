/* AMQP 0-9-1 frames: type, channel, a 32-bit size, then class and method
 * ids. The client's protocol header waits; the server's first method frame
 * names the flow. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

namespace {

/* A frame: type, channel, the payload size, then (method frames) the class
 * and method ids; the frame end octet follows the payload. */
constexpr size_t AMQP_TYPE = 0, AMQP_SIZE = 3, AMQP_CLASS_ID = 7, AMQP_METHOD_ID = 9, AMQP_METHOD_HEADER = 11;
/* Header and frame end around the payload. */
constexpr uint64_t AMQP_FRAME_OVERHEAD = 8;


void found(oxlo_module *m, oxlo_flow_state *f)
{
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_AMQP, OXLO_PROTOCOL_UNKNOWN);
}

void search_amqp(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view v = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = v.payload;
    /* A frame's method header is read whole however the peer cut its
     * write: a start of a frame (a known type) waits for it. */
    if (p.length <= AMQP_METHOD_HEADER && oxlo_rd_peek8(&p, AMQP_TYPE) < 4 &&
        oxlo_framing::wait_for(m, f, v, AMQP_METHOD_HEADER + 1))
        return;
    const uint64_t size = oxlo_rd_peek32(&p, AMQP_SIZE);
    const uint32_t klass = oxlo_rd_peek16(&p, AMQP_CLASS_ID);
    if (p.length > AMQP_METHOD_HEADER && oxlo_rd_peek8(&p, AMQP_TYPE) < 4 && size + AMQP_FRAME_OVERHEAD >= p.length &&
        size <= 32767 && klass >= 10 && klass <= 110 && oxlo_rd_peek16(&p, AMQP_METHOD_ID) <= 120)
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
