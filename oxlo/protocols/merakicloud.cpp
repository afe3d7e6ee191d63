/* Meraki cloud tunnels on UDP 7351: the magic FE F7 28 91. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

void search_merakicloud(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    uint32_t magic = 0;
    if ((pkt.src_port == 7351 || pkt.dst_port == 7351) && pkt.payload.length >= 5 &&
        oxlo_rd_u32_at(&pkt.payload, 0, &magic) && magic == 0xFEF72891u)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_MERAKICLOUD, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_MERAKICLOUD};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_merakicloud = {
    "MerakiCloud", search_merakicloud, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD, protocols, sizeof(protocols) / sizeof(protocols[0]), 0, nullptr, nullptr,
};

} // extern "C"
