/* HSRP hellos: version 1 (and 2) to 224.0.0.2 or 224.0.0.102 on UDP 1985,
 * HSRP for IPv6 to ff02::66 on UDP 2029. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_private.h"

namespace {

void search_hsrp(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    uint8_t b0 = 0xFF, b2 = 0, b5 = 0, b7 = 0xFF;
    oxlo_rd_u8_at(&p, 0, &b0);
    oxlo_rd_u8_at(&p, 2, &b2);
    oxlo_rd_u8_at(&p, 5, &b5);
    oxlo_rd_u8_at(&p, 7, &b7);
    bool ok = false;
    const oxlo_reader ip4 = oxlo_dissector_ip(m, 4), ip6 = oxlo_dissector_ip(m, 6);
    if (ip6.length) {
        static const uint8_t all_hsrp[16] = {0xFF, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x66};
        const uint8_t *dst = oxlo_rd_bytes_at(&ip6, 24, 16);
        ok = pkt.src_port == 2029 && pkt.dst_port == 2029 && p.length > 0 && b0 <= 4 && dst &&
             memcmp(dst, all_hsrp, 16) == 0;
    } else if (ip4.length && pkt.src_port == 1985 && pkt.dst_port == 1985) {
        uint32_t dst = 0;
        oxlo_rd_u32_at(&ip4, 16, &dst);
        if (dst == 0xE0000002u)
            ok = p.length >= 20 && b0 == 0 && b7 == 0;
        else if (dst == 0xE0000066u)
            ok = p.length > 41 && b2 == 2 && b5 == 4;
    }
    if (ok)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_HSRP, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_HSRP};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_hsrp = {
    "HSRP", search_hsrp, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD, protocols, sizeof(protocols) / sizeof(protocols[0]), 0, nullptr, nullptr,
};

} // extern "C"
