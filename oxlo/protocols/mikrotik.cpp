/* MikroTik neighbour discovery: a broadcast (or link-local multicast)
 * datagram to UDP 5678 holding a 4-byte header and then type-length-value
 * records (16-bit type, 16-bit length) naming the device. */
#include "oxlo_dissector.h"
#include "oxlo_dissector_slots.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_private.h"
#include "oxlo_serializer.h"

#include <arpa/inet.h>
#include <cstdio>
#include <utility>

namespace {

enum : uint8_t { HAS_UPTIME = 1, HAS_IPV4 = 2, HAS_IPV6 = 4, HAS_MAC = 8 };
/* The destination address in the IPv4 and IPv6 headers. */
constexpr size_t IPV4_DESTINATION = 16, IPV6_DESTINATION = 24;
/* The datagram: a 4-byte header, then the TLVs (type, length, value). */
constexpr size_t MNDP_TLVS = 4;

struct mikrotik_state {
    uint8_t mac[6];
    uint8_t have;
    char identity[16], version[48], software_id[16], board[32], iface[32];
    uint32_t uptime, ipv4;
    uint8_t ipv6[16];
};

bool to_discovery_address(const oxlo_module *m)
{
    if (const oxlo_reader ip = oxlo_dissector_ip(m, 4); ip.length) {
        uint32_t dst = 0;
        return oxlo_rd_u32_at(&ip, IPV4_DESTINATION, &dst) && dst == 0xFFFFFFFFu;
    }
    if (const oxlo_reader ip = oxlo_dissector_ip(m, 6); ip.length) {
        uint16_t prefix = 0;
        return oxlo_rd_u16_at(&ip, IPV6_DESTINATION, &prefix) && prefix == 0xFF02;
    }
    return false;
}

void keep(const oxlo_reader &value, uint16_t type, mikrotik_state *s)
{
    oxlo_reader v = value;
    switch (type) {
    case 1:
        if (value.length == 6) {
            memcpy(s->mac, value.data, 6);
            s->have |= HAS_MAC;
        }
        break;
    case 5: oxlo_rd_text(&value, s->identity, sizeof(s->identity)); break;
    case 7: oxlo_rd_text(&value, s->version, sizeof(s->version)); break;
    case 10:
        if (value.length == 4) {
            /* Senders write the uptime in their own (little-endian) order. */
            s->uptime = oxlo_rd_le32(&v);
            s->have |= HAS_UPTIME;
        }
        break;
    case 11: oxlo_rd_text(&value, s->software_id, sizeof(s->software_id)); break;
    case 12: oxlo_rd_text(&value, s->board, sizeof(s->board)); break;
    case 14:
        if (value.length == 4) {
            s->ipv4 = oxlo_rd_be32(&v);
            s->have |= HAS_IPV4;
        }
        break;
    case 15:
        if (value.length == 16) {
            memcpy(s->ipv6, value.data, 16);
            s->have |= HAS_IPV6;
        }
        break;
    case 16: oxlo_rd_text(&value, s->iface, sizeof(s->iface)); break;
    default: break;
    }
}

void search_mikrotik(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    mikrotik_state *s = static_cast<mikrotik_state *>(oxlo_dissector_state(m, f));
    if (!s || !to_discovery_address(m)) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    if (pkt.dst_port != 5678)
        return;
    if (pkt.payload.length < 8) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    /* A record that ends exactly at the payload's end is the last one, and
     * devices put a name there: it counts. */
    oxlo_reader r = oxlo_rd_from(&pkt.payload, MNDP_TLVS);
    while (oxlo_rd_left(&r) >= 4) {
        const uint16_t type = oxlo_rd_be16(&r);
        const oxlo_reader value = oxlo_rd_lp16(&r);
        if (r.error)
            break;
        keep(value, type, s);
    }
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_MIKROTIK, OXLO_PROTOCOL_UNKNOWN);
}

int mikrotik_json(oxlo_module *, const oxlo_flow_state *f, oxlo_recbuf *out)
{
    const mikrotik_state *s = static_cast<const mikrotik_state *>(oxlo_flow_slot_state(f, OXLO_DISSECTOR_mikrotik));
    const mikrotik_state empty{};
    if (!s)
        s = &empty;
    char text[INET6_ADDRSTRLEN];
    snprintf(text, sizeof(text), "%02X:%02X:%02X:%02X:%02X:%02X", s->mac[0], s->mac[1], s->mac[2], s->mac[3],
             s->mac[4], s->mac[5]);
    int rc = oxlo_recbuf_open_block(out, "mikrotik");
    rc |= oxlo_recbuf_put_text(out, "mac_address", text);
    const std::pair<const char *, const char *> texts[] = {{"identity", s->identity}, {"version", s->version},
                                                           {"software_id", s->software_id}, {"board", s->board},
                                                           {"iface_name", s->iface}};
    for (const auto &t : texts)
        if (t.second[0])
            rc |= oxlo_recbuf_put_text(out, t.first, t.second);
    if (s->have & HAS_IPV4) {
        const uint32_t a = htonl(s->ipv4);
        rc |= oxlo_recbuf_put_text(out, "ipv4_addr", inet_ntop(AF_INET, &a, text, sizeof(text)));
    }
    if (s->have & HAS_IPV6)
        rc |= oxlo_recbuf_put_text(out, "ipv6_addr", inet_ntop(AF_INET6, s->ipv6, text, sizeof(text)));
    if (s->have & HAS_UPTIME)
        rc |= oxlo_recbuf_put_u32(out, "uptime", s->uptime);
    rc |= oxlo_recbuf_close_block(out);
    return rc ? -1 : 0;
}

const uint16_t protocols[] = {OXLO_PROTOCOL_MIKROTIK};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_mikrotik = {
    "MIKROTIK", search_mikrotik, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD,
    protocols, 1, sizeof(mikrotik_state), nullptr, mikrotik_json,
};

} // extern "C"
