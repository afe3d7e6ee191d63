/* Diameter over TCP: version 1, a 24-bit length, one flag of request,
 * proxiable, error or retransmitted, and a base or credit-control command
 * code. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include <initializer_list>
#include "protocols/framing.h"

namespace {

/* The header: version, message length (24 bits), command flags, command
 * code (24 bits), application id, hop-by-hop and end-to-end ids. */
constexpr size_t DIAMETER_VERSION = 0, DIAMETER_FLAGS = 4, DIAMETER_COMMAND_CODE = 5, DIAMETER_HEADER = 20;
constexpr uint8_t DIAMETER_VERSION_1 = 1;


void found(oxlo_module *m, oxlo_flow_state *f)
{
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_DIAMETER, OXLO_PROTOCOL_UNKNOWN);
}

void search_diameter(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view v = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = v.payload;
    /* A 20-byte header cut by the segments is asked for from the stream. */
    if (p.length < DIAMETER_HEADER && oxlo_rd_peek8(&p, DIAMETER_VERSION) == DIAMETER_VERSION_1 &&
        oxlo_framing::wait_for(m, f, v, DIAMETER_HEADER))
        return;
    uint32_t code = 0;
    oxlo_rd_u24_at(&p, DIAMETER_COMMAND_CODE, &code);
    const uint8_t flags = oxlo_rd_peek8(&p, DIAMETER_FLAGS);
    bool known = false;
    for (uint32_t c : {257u, 258u, 271u, 272u, 274u, 275u, 280u, 282u})
        known = known || code == c;
    if (p.length >= DIAMETER_HEADER && oxlo_rd_peek8(&p, DIAMETER_VERSION) == DIAMETER_VERSION_1 && (flags == 0x10 || flags == 0x20 || flags == 0x40 || flags == 0x80) && known)
        found(m, f);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_DIAMETER};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_diameter = {
    "Diameter", search_diameter, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, 0, nullptr, nullptr,
};
} // extern "C"
