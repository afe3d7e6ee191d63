/* WireGuard over UDP: four message types (handshake initiation and
 * response, cookie reply, transport data), each with fixed sizes and the
 * peers' 32-bit indexes, which the answers echo. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/vpn_private.h"

namespace {

enum : uint8_t { INITIATION = 1, RESPONSE = 2, COOKIE = 3, DATA = 4 };
/* Every message: its type and three reserved bytes. The initiation then
 * carries the sender's index; the response its own and the receiver's (the
 * initiator's); the cookie reply and transport data the receiver's index. */
constexpr size_t WG_TYPE = 0, WG_RESERVED = 1, WG_INITIATION_SENDER = 4, WG_RESPONSE_RECEIVER = 8,
                 WG_COOKIE_RECEIVER = 4, WG_DATA_RECEIVER = 4;
/* Message sizes: the initiation and response, each also with the 56 bytes
 * one client appends, and the cookie reply. */
constexpr size_t WG_INITIATION_SIZE = 148, WG_INITIATION_SIZE_LONG = 204, WG_RESPONSE_SIZE = 92,
                 WG_RESPONSE_SIZE_LONG = 100, WG_COOKIE_SIZE = 64, WG_MESSAGE_MIN = 32;

struct wireguard_state {
    uint8_t initiated[2]; /* an initiation was seen from this direction */
    uint32_t sender[2];   /* its sender index */
    uint8_t data_state;   /* 0, 3 first data seen, 5 both directions */
    uint32_t receiver[2];
    uint8_t receiver_known[2];
};

void classify(oxlo_module *m, oxlo_flow_state *f, uint16_t id)
{
    if (id)
        oxlo_flow_set_protocol(m, f, id, OXLO_PROTOCOL_WIREGUARD, OXLO_CONFIDENCE_DPI);
    else
        vpn_set_protocol(m, f, OXLO_PROTOCOL_WIREGUARD, m->cfg.wireguard_subclassification_by_ip, OXLO_CONFIDENCE_DPI);
}

void search_wireguard(oxlo_module *m, oxlo_flow_state *f)
{
    wireguard_state *s = static_cast<wireguard_state *>(oxlo_dissector_state(m, f));
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    uint8_t type = 0;
    if (!s || p.length < WG_MESSAGE_MIN || !oxlo_rd_u8_at(&p, WG_TYPE, &type) ||
        !oxlo_rd_match_n(&p, WG_RESERVED, "\0\0\0", 3, 0)) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    const int d = pkt.direction, o = 1 - d;
    uint32_t index = 0;
    switch (type) {
    case INITIATION:
        if (p.length != WG_INITIATION_SIZE && p.length != WG_INITIATION_SIZE_LONG)
            break;
        oxlo_rd_le32_at(&p, WG_INITIATION_SENDER, &s->sender[d]);
        s->initiated[d] = 1;
        if (pkt.packets > 2)
            classify(m, f, 0);
        return;
    case RESPONSE:
        if ((p.length != WG_RESPONSE_SIZE && p.length != WG_RESPONSE_SIZE_LONG) || !s->initiated[o])
            break;
        oxlo_rd_le32_at(&p, WG_RESPONSE_RECEIVER, &index);
        if (index != s->sender[o])
            break;
        classify(m, f, p.length == WG_RESPONSE_SIZE_LONG && m->cfg.wireguard_subclassification_by_ip ? OXLO_PROTOCOL_TUNNELBEAR : 0);
        return;
    case COOKIE:
        if (p.length != WG_COOKIE_SIZE || !s->initiated[o])
            break;
        oxlo_rd_le32_at(&p, WG_COOKIE_RECEIVER, &index);
        if (index != s->sender[o])
            break;
        classify(m, f, 0);
        return;
    case DATA:
        if (!f->partial_guess)
            f->partial_guess = OXLO_PROTOCOL_WIREGUARD;
        oxlo_rd_le32_at(&p, WG_DATA_RECEIVER, &index);
        if (!s->receiver_known[d]) {
            s->receiver[d] = index;
            s->receiver_known[d] = 1;
            s->data_state = s->receiver_known[o] ? 5 : 3;
            return;
        }
        if (s->data_state == 5 && index == s->receiver[d])
            classify(m, f, 0);
        return;
    default:
        break;
    }
    OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_WIREGUARD};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_wireguard = {
    "WireGuard", search_wireguard, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD, protocols, 1,
    sizeof(wireguard_state), nullptr, nullptr,
};
/* Shorter first datagrams fail the length test search_wireguard starts with, whatever
 * their bytes, and end in its exclusion alone. */
extern const uint16_t oxlo_dissector_shortest_wireguard = WG_MESSAGE_MIN;
} // extern "C"
