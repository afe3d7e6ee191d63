/* The file protocol over DSI: a 16-byte header (flags, command 1-8, request
 * id, error code or offset, data length, reserved zero). */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

/* The DSI header: flags (request or reply), command, request id, error
 * code or data offset, the total data length and a reserved word. */
constexpr size_t DSI_FLAGS = 0, DSI_COMMAND = 1, DSI_TOTAL_LENGTH = 8, DSI_RESERVED = 12, DSI_HEADER = 16;
constexpr uint8_t DSI_COMMAND_LAST = 8;


void found(oxlo_module *m, oxlo_flow_state *f)
{
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_AFP, OXLO_PROTOCOL_UNKNOWN);
}

void search_afp(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view v = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = v.payload;
    if (p.length < DSI_HEADER) {
        OXLO_EXCLUDE(m, f);
    } else if (p.length <= 128) {
        const uint8_t command = oxlo_rd_peek8(&p, DSI_COMMAND);
        if (oxlo_rd_peek8(&p, DSI_FLAGS) <= 1 && command >= 1 && command <= DSI_COMMAND_LAST &&
            oxlo_rd_peek32(&p, DSI_RESERVED) == 0 && p.length >= oxlo_rd_peek32(&p, DSI_TOTAL_LENGTH) + DSI_HEADER)
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
