/* OpenWire: the broker's first command is WireFormatInfo (type 1) whose
 * magic reads "ActiveMQ". */
#include "oxlo_dissector.h"
#include "oxlo_dissector_kit.h"

namespace {

void search_openwire(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_reader p = oxlo_dissector_packet(m, f).payload;
    uint32_t length = 0;
    uint8_t type = 0;
    if (p.length > 22 && oxlo_rd_u32_at(&p, 0, &length) && uint64_t(length) + 4 == p.length &&
        oxlo_rd_u8_at(&p, 4, &type) && type == 1 && oxlo_rd_match(&p, 5, "ActiveMQ", 0))
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_OPENWIRE, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_OPENWIRE};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_openwire = {
    "OpenWire", search_openwire, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
