/* The file protocol over DSI: a 16-byte header (flags, command 1-8, request
 * id, error code or offset, data length, reserved zero). */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {


void found(oxlo_module *m, oxlo_flow_state *f)
{
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_AFP, OXLO_PROTOCOL_UNKNOWN);
}

void search_afp(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view v = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = v.payload;
    if (p.length < 16) {
        OXLO_EXCLUDE(m, f);
    } else if (p.length <= 128) {
        if (oxlo_rd_peek8(&p, 0) <= 1 && oxlo_rd_peek8(&p, 1) >= 1 && oxlo_rd_peek8(&p, 1) <= 8 && oxlo_rd_peek32(&p, 12) == 0 && p.length >= oxlo_rd_peek32(&p, 8) + 16)
            found(m, f);
        else
            OXLO_EXCLUDE(m, f);
    } else if (v.payload_packets > 5) {
        OXLO_EXCLUDE(m, f);
    }
}

const uint16_t protocols[] = {OXLO_PROTOCOL_AFP};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_afp = {
    "AFP", search_afp, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, 0, nullptr, nullptr,
};
} // extern "C"
