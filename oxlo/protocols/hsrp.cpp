/* HSRP hellos: version 1 (and 2) to 224.0.0.2 or 224.0.0.102 on UDP 1985,
 * HSRP for IPv6 to ff02::66 on UDP 2029. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_private.h"

namespace {

/* Version 1: version, op code, state, hello and hold times, priority,
 * group, a reserved byte, then the authentication data and the virtual
 * address (20 bytes in all). Version 2: TLVs, the group state one first
 * (type, length, version, op code, state, IP version, ...). */
constexpr size_t HSRP1_VERSION = 0, HSRP1_RESERVED = 7, HSRP1_SIZE = 20;
constexpr size_t HSRP2_TLV_TYPE = 0, HSRP2_VERSION = 2, HSRP2_IP_VERSION = 5, HSRP2_MIN = 42;
constexpr uint8_t HSRP2_TLV_TYPE_LAST = 4;
constexpr uint16_t HSRP_PORT = 1985, HSRP_IPV6_PORT = 2029;
/* The destination address in the IPv4 and IPv6 headers. */
constexpr size_t IPV4_DESTINATION = 16, IPV6_DESTINATION = 24;
constexpr uint32_t ALL_ROUTERS = 0xE0000002u, ALL_HSRP_ROUTERS = 0xE0000066u;

void search_hsrp(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    static_assert(HSRP1_VERSION == HSRP2_TLV_TYPE, "one byte read for both");
    uint8_t b0 = 0xFF, b2 = 0, b5 = 0, b7 = 0xFF;
    oxlo_rd_u8_at(&p, HSRP1_VERSION, &b0);
    oxlo_rd_u8_at(&p, HSRP2_VERSION, &b2);
    oxlo_rd_u8_at(&p, HSRP2_IP_VERSION, &b5);
    oxlo_rd_u8_at(&p, HSRP1_RESERVED, &b7);
    bool ok = false;
    const oxlo_reader ip4 = oxlo_dissector_ip(m, 4), ip6 = oxlo_dissector_ip(m, 6);
    if (ip6.length) {
        static const uint8_t all_hsrp[16] = {0xFF, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x66};
        const uint8_t *dst = oxlo_rd_bytes_at(&ip6, IPV6_DESTINATION, 16);
        ok = pkt.src_port == HSRP_IPV6_PORT && pkt.dst_port == HSRP_IPV6_PORT && p.length > 0 &&
             b0 <= HSRP2_TLV_TYPE_LAST && dst &&
             memcmp(dst, all_hsrp, 16) == 0;
    } else if (ip4.length && pkt.src_port == HSRP_PORT && pkt.dst_port == HSRP_PORT) {
        uint32_t dst = 0;
        oxlo_rd_u32_at(&ip4, IPV4_DESTINATION, &dst);
        if (dst == ALL_ROUTERS)
            ok = p.length >= HSRP1_SIZE && b0 == 0 && b7 == 0;
        else if (dst == ALL_HSRP_ROUTERS)
            ok = p.length >= HSRP2_MIN && b2 == 2 && b5 == 4;
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
