/* VXLAN on UDP port 4789: flags with the VNI bit and reserved zeros. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

/* The header: flags (the VNI bit, 0x08) and three reserved bytes, the
 * 24-bit VNI and a reserved byte. */
constexpr size_t VXLAN_FLAGS = 0, VXLAN_RESERVED2 = 7, VXLAN_HEADER = 8;
constexpr uint16_t VXLAN_PORT = 4789;

void search_vxlan(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    uint8_t reserved = 1;
    if (pkt.dst_port == VXLAN_PORT && p.length >= VXLAN_HEADER &&
        oxlo_rd_match_n(&p, VXLAN_FLAGS, "\x08\x00\x00\x00", 4, 0) &&
        oxlo_rd_u8_at(&p, VXLAN_RESERVED2, &reserved) && reserved == 0)
        oxlo_flow_set_protocol(m, f, OXLO_PROTOCOL_VXLAN, OXLO_PROTOCOL_VXLAN, OXLO_CONFIDENCE_DPI);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_VXLAN};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_vxlan = {
    "VXLAN", search_vxlan, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD, protocols, 1, 0, nullptr, nullptr,
};
} // extern "C"
