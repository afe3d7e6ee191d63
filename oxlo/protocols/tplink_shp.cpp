/* TP-Link smart home protocol: XOR-obfuscated JSON that starts with "{"
 * (0xD0) followed by '"' (0xF2) or a space (0xAD); TCP prefixes a length. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

void search_tplink_shp(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader p = pkt.payload;
    const bool tcp = pkt.l4 == OXLO_L4_TCP;
    const size_t off = tcp ? 4 : 0;
    uint8_t a = 0, b = 0;
    if (p.length > (tcp ? 5u : 1u) && oxlo_rd_u8_at(&p, off, &a) && oxlo_rd_u8_at(&p, off + 1, &b) && a == 0xD0 &&
        (b == 0xAD || b == 0xF2))
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_TPLINK_SHP, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_TPLINK_SHP};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_tplink_shp = {
    "TPLINK SHP", search_tplink_shp, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP_OR_UDP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
