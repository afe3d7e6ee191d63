/* The log sink of smart-home thermostats on TCP 11095: records with a small
 * type, a flags byte and 19 in the fourth byte; three of them confirm. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

/* A record: ..., its type at 1, a flags byte and 19 at 3. */
constexpr size_t NEST_TYPE = 1, NEST_FLAGS = 2, NEST_MARK = 3, NEST_MIN = 8;
constexpr uint16_t NEST_PORT = 11095;

struct nest_state {
    uint8_t count;
};

void search_nest_log_sink(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    nest_state *s = static_cast<nest_state *>(oxlo_dissector_state(m, f));
    const oxlo_reader &p = pkt.payload;
    if (!s || p.length < NEST_MIN || (pkt.src_port != NEST_PORT && pkt.dst_port != NEST_PORT)) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    uint8_t b1 = 0xFF, b2 = 0xFF, b3 = 0;
    oxlo_rd_u8_at(&p, NEST_TYPE, &b1);
    oxlo_rd_u8_at(&p, NEST_FLAGS, &b2);
    oxlo_rd_u8_at(&p, NEST_MARK, &b3);
    if (b1 <= 2 && (b2 & 0xEF) == 0 && b3 == 19 && ++s->count == 3)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_NESTLOGSINK, OXLO_PROTOCOL_UNKNOWN);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_NESTLOGSINK};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_nest_log_sink = {
    "NEST_LOG_SINK", search_nest_log_sink, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION, protocols, sizeof(protocols) / sizeof(protocols[0]), sizeof(nest_state), nullptr, nullptr,
};

} // extern "C"
