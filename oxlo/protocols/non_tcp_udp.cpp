/* The IP protocols other than TCP and UDP, named by their protocol number.
 * ICMP and ICMPv6 messages are also checked for what a well-behaved stack
 * never sends: a truncated header, a type or code outside the assigned
 * ranges, a wrong checksum; the bytes after the ICMP header feed the flow's
 * entropy (tunnels hidden in echo data look random). */
#include "oxlo_dissector.h"
#include "oxlo_risk_ids.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_hosts.h"
#include "oxlo_private.h"
#include "oxlo_risks.h"
#include "oxlo_utils.h"

namespace {

struct by_number {
    uint8_t ip_protocol;
    uint16_t id;
};

const by_number table[] = {
    {1, OXLO_PROTOCOL_ICMP},     {2, OXLO_PROTOCOL_IGMP},   {4, OXLO_PROTOCOL_IP_IN_IP}, {8, OXLO_PROTOCOL_EGP},
    {47, OXLO_PROTOCOL_GRE},     {50, OXLO_PROTOCOL_ESP},   {51, OXLO_PROTOCOL_AH},      {58, OXLO_PROTOCOL_ICMPV6},
    {89, OXLO_PROTOCOL_IP_OSPF}, {103, OXLO_PROTOCOL_IP_PIM}, {112, OXLO_PROTOCOL_VRRP},  {113, OXLO_PROTOCOL_PGM},
    {132, OXLO_PROTOCOL_SCTP},
};

/* The ones' complement sum of the message folds to 0xFFFF when its
 * checksum field is right. */
/* The ICMP and ICMPv6 header: type, code, checksum, then 4 bytes the type
 * defines; the message body follows the 8 bytes. */
constexpr size_t ICMP_TYPE = 0, ICMP_CODE = 1, ICMP_HEADER = 8;

bool checksum_ok(const oxlo_reader &p)
{
    uint32_t sum = 0;
    size_t i = 0;
    for (uint16_t word = 0; oxlo_rd_u16_at(&p, i, &word); i += 2)
        sum += word;
    uint8_t last = 0;
    if (oxlo_rd_u8_at(&p, i, &last))
        sum += uint32_t(last) << 8;
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return sum == 0xFFFF;
}

/* The engine hands over no payload for a message shorter than its header,
 * so the size told is the IP payload's. */
bool too_short(oxlo_module *m, oxlo_flow_state *f, const oxlo_reader &p)
{
    if (p.length >= ICMP_HEADER)
        return false;
    const int length = p.length ? int(p.length) : int(oxlo_dissector_l4_length(m));
    oxlo_dissector_risk(m, f, OXLO_MALFORMED_PACKET, "Packet too short (%d vs %u)", length, unsigned(ICMP_HEADER));
    return true;
}

void check_icmp(oxlo_module *m, oxlo_flow_state *f, const oxlo_reader &p)
{
    if (too_short(m, f, p))
        return;
    uint8_t type = 0, code = 0;
    oxlo_rd_u8_at(&p, ICMP_TYPE, &type);
    oxlo_rd_u8_at(&p, ICMP_CODE, &code);
    if ((type >= 44 && type <= 252) || code > 15)
        oxlo_dissector_risk(m, f, OXLO_MALFORMED_PACKET, "Invalid type (%u)/code(%u)", type, code);
    if (p.length > ICMP_HEADER && m->cfg.compute_entropy && f->entropy == 0.0f) {
        f->entropy = oxlo_shannon_entropy(p.data + ICMP_HEADER, p.length - ICMP_HEADER);
        /* The verdict depends on the category, which is ICMP's from now on. */
        oxlo_fill_protocol_category(m, f, nullptr);
        oxlo_flow_entropy_risk_update(m, f);
    }
    if (!checksum_ok(p))
        oxlo_dissector_risk(m, f, OXLO_MALFORMED_PACKET, "Invalid ICMP checksum");
}

void check_icmpv6(oxlo_module *m, oxlo_flow_state *f, const oxlo_reader &p)
{
    if (too_short(m, f, p))
        return;
    uint8_t type = 0, code = 0;
    oxlo_rd_u8_at(&p, ICMP_TYPE, &type);
    oxlo_rd_u8_at(&p, ICMP_CODE, &code);
    if ((type >= 5 && type <= 127) || (code >= 156 && type != 255))
        oxlo_dissector_risk(m, f, OXLO_MALFORMED_PACKET, "Invalid type (%u)/code(%u)", type, code);
}

void search_non_tcp_udp(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    for (const by_number &b : table) {
        if (b.ip_protocol != pkt.l4 || !oxlo_protocol_enabled(m, b.id))
            continue;
        oxlo_dissector_classify(m, f, b.id, OXLO_PROTOCOL_UNKNOWN);
        if (b.id == OXLO_PROTOCOL_ICMP)
            check_icmp(m, f, pkt.payload);
        else if (b.id == OXLO_PROTOCOL_ICMPV6)
            check_icmpv6(m, f, pkt.payload);
        break;
    }
    /* One look per packet is all there is to it. */
    OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {
    OXLO_PROTOCOL_ICMP, OXLO_PROTOCOL_IGMP, OXLO_PROTOCOL_IP_IN_IP, OXLO_PROTOCOL_EGP, OXLO_PROTOCOL_GRE,
    OXLO_PROTOCOL_ESP,  OXLO_PROTOCOL_AH,   OXLO_PROTOCOL_ICMPV6,   OXLO_PROTOCOL_IP_OSPF, OXLO_PROTOCOL_IP_PIM,
    OXLO_PROTOCOL_VRRP, OXLO_PROTOCOL_PGM,  OXLO_PROTOCOL_SCTP,
};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_non_tcp_udp = {
    "Non_TCP_UDP", search_non_tcp_udp, OXLO_SEL_IPV4_OR_IPV6, protocols, sizeof(protocols) / sizeof(protocols[0]),
    0, nullptr, nullptr,
};

} // extern "C"
