/* The hypervisor's UDP 902 heartbeats: 66 bytes starting 0xA4. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

void search_vmware(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    uint8_t b0 = 0;
    if (pkt.dst_port == 902 && pkt.payload.length == 66 && oxlo_rd_u8_at(&pkt.payload, 0, &b0) && b0 == 0xA4)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_VMWARE, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_VMWARE};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_vmware = {
    "VMWARE", search_vmware, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD, protocols, sizeof(protocols) / sizeof(protocols[0]), 0, nullptr, nullptr,
};

/* Shorter first datagrams fail the length test search_vmware starts with, whatever
 * their bytes, and end in its exclusion alone. */
extern const uint16_t oxlo_dissector_shortest_vmware = 66;
} // extern "C"
