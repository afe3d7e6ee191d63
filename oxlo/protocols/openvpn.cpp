/* OpenVPN. Control packets carry an opcode and key id, then the sender's
 * 8-byte session id; a peer's hard reset acknowledges the other side's
 * packet and echoes its session id. Over TCP every packet has a 2-byte
 * length first. An optional heuristic follows the opcodes of an obfuscated
 * session. */
#include "oxlo_dissector.h"
#include "oxlo_risks.h"
#include "oxlo_risk_ids.h"
#include "oxlo_protocol_ids.h"
#include "protocols/vpn_private.h"

#include <cstring>

namespace {

enum : uint8_t { UNDECIDED, NO, YES };

struct openvpn_state {
    uint8_t session[2][8];
    uint8_t packets[2];
    uint8_t detection, heuristic;
    /* heuristic */
    uint8_t messages;
    uint8_t first_opcode[2];
    uint8_t opcodes[4], opcode_count;
    uint16_t pending[2]; /* bytes of a TCP message continuing in the next packet */
};

/* A control packet: opcode and key id in one byte, the sender's 8-byte
 * session id, then with tls-auth an HMAC (16 or 20 bytes), the packet id and
 * the net time; then the ack array (its count, 4 bytes per id, the peer's
 * session id). Over TCP each packet follows its 2-byte length. */
constexpr size_t OVPN_OPCODE = 0, OVPN_SESSION_ID = 1, OVPN_SESSION_ID_SIZE = 8, OVPN_AFTER_SESSION_ID = 9;
constexpr size_t OVPN_HMAC_MD5 = 16, OVPN_HMAC_SHA1 = 20, OVPN_PACKET_ID_TIME = 8, OVPN_ACK_ID_SIZE = 4;
constexpr size_t OVPN_TCP_LENGTH = 2;

bool valid_opcode(uint8_t op) { return op == 1 || op == 2 || (op >= 4 && op <= 11); }
bool reset_opcode(uint8_t op) { return op == 1 || op == 2 || op == 7 || op == 8 || op == 10; }

/* The ack array of a hard reset: after the session id, or after an HMAC
 * (16 or 20 bytes), the packet id and the net time when the packet carries
 * them. Its entries are followed by the peer's session id. */
uint8_t hard_reset(const oxlo_reader &r, const openvpn_state *s, int other)
{
    uint32_t id = 0;
    size_t ack = OVPN_AFTER_SESSION_ID;
    /* The first packet id is 1. */
    if (oxlo_rd_u32_at(&r, OVPN_AFTER_SESSION_ID + OVPN_HMAC_MD5, &id) && id == 1)
        ack = OVPN_AFTER_SESSION_ID + OVPN_HMAC_MD5 + OVPN_PACKET_ID_TIME;
    else if (r.length > OVPN_AFTER_SESSION_ID + OVPN_HMAC_SHA1 + 3 &&
             oxlo_rd_u32_at(&r, OVPN_AFTER_SESSION_ID + OVPN_HMAC_SHA1, &id) && id == 1)
        ack = OVPN_AFTER_SESSION_ID + OVPN_HMAC_SHA1 + OVPN_PACKET_ID_TIME;
    uint8_t count = 0;
    if (!oxlo_rd_u8_at(&r, ack, &count) || count == 0)
        return UNDECIDED;
    const uint8_t *remote = oxlo_rd_bytes_at(&r, ack + 1 + size_t(count) * OVPN_ACK_ID_SIZE, OVPN_SESSION_ID_SIZE);
    return remote && memcmp(remote, s->session[other], OVPN_SESSION_ID_SIZE) == 0 ? YES : NO;
}

uint8_t detect(openvpn_state *s, const oxlo_packet_view &pkt)
{
    const bool tcp = pkt.l4 == OXLO_L4_TCP;
    const oxlo_reader r = oxlo_rd_from(&pkt.payload, tcp ? OVPN_TCP_LENGTH : 0);
    const int d = pkt.direction, o = 1 - d;
    uint8_t b = 0;
    if (pkt.payload.length < size_t(tcp ? 16 : 14) || !oxlo_rd_u8_at(&r, OVPN_OPCODE, &b))
        return NO;
    const uint8_t op = b >> 3, key = b & 7;
    if (key != 0 || !valid_opcode(op))
        return NO;
    const uint8_t *sid = oxlo_rd_bytes_at(&r, OVPN_SESSION_ID, OVPN_SESSION_ID_SIZE);
    if (!sid)
        return NO;
    if (s->packets[d] == 0) {
        uint16_t length = 0;
        if (!reset_opcode(op) || pkt.payload.length >= 1200 ||
            (tcp && (!oxlo_rd_u16_at(&pkt.payload, 0, &length) || length != r.length)))
            return NO;
        memcpy(s->session[d], sid, OVPN_SESSION_ID_SIZE);
    } else {
        if (pkt.payload.length >= 1200 && (op == 7 || op == 8 || op == 10))
            return NO;
        if (s->packets[d] < 2)
            memcpy(s->session[d], sid, OVPN_SESSION_ID_SIZE);
        else if (memcmp(s->session[d], sid, OVPN_SESSION_ID_SIZE) != 0)
            return NO;
        if (s->packets[o] >= 2 || (s->packets[o] == 0 && s->packets[d] > 3))
            return YES;
    }
    if ((op == 2 || op == 8) && s->packets[o] > 0)
        return hard_reset(r, s, o);
    return UNDECIDED;
}

/* One message of the heuristic (its first byte's opcode). */
uint8_t heuristic_message(const oxlo_module *m, openvpn_state *s, const oxlo_packet_view &pkt, uint8_t first)
{
    const int d = pkt.direction, o = 1 - d;
    const uint8_t op = first >> 3;
    s->messages++;
    if (s->packets[d] == 0 && s->first_opcode[d] == 0) {
        s->first_opcode[d] = uint8_t(op | 0x80);
        if (s->packets[o] && (s->first_opcode[o] & 0x7F) == op)
            return NO;
    } else if ((s->first_opcode[d] & 0x7F) == op) {
        if (s->opcode_count)
            return NO;
    } else if (!s->packets[o] || (s->first_opcode[o] & 0x7F) == op) {
        return NO;
    } else {
        bool known = false;
        for (uint8_t i = 0; i < s->opcode_count; i++)
            known = known || s->opcodes[i] == op;
        if (s->opcode_count == 4 && s->opcodes[3] != op)
            return NO;
        if (!known && s->opcode_count < 4)
            s->opcodes[s->opcode_count++] = op;
    }
    if (s->messages >= m->cfg.openvpn_heuristics_num_msgs)
        return uint8_t((s->packets[0] && s->packets[1] && s->opcode_count >= 2) ? YES : NO);
    return UNDECIDED;
}

uint8_t heuristic(const oxlo_module *m, oxlo_flow_state *f, openvpn_state *s, const oxlo_packet_view &pkt)
{
    if (!(m->cfg.openvpn_heuristics & 1) || oxlo_flow_ip_guess_is_service(f))
        return NO;
    const oxlo_reader &p = pkt.payload;
    if (pkt.l4 == OXLO_L4_UDP) {
        uint8_t b = 0;
        return p.length >= 14 && oxlo_rd_u8_at(&p, 0, &b) ? heuristic_message(m, s, pkt, b) : uint8_t(UNDECIDED);
    }
    size_t at = s->pending[pkt.direction] < p.length ? s->pending[pkt.direction] : p.length;
    s->pending[pkt.direction] = uint16_t(s->pending[pkt.direction] - at);
    uint8_t result = UNDECIDED;
    while (result == UNDECIDED && at + 2 < p.length) {
        uint16_t length = 0;
        oxlo_rd_u16_at(&p, at, &length);
        if (length < 14 || length > 6000)
            return NO;
        result = heuristic_message(m, s, pkt, oxlo_rd_peek8(&p, at + 2));
        if (at + 2 + length > p.length)
            s->pending[pkt.direction] = uint16_t(at + 2 + length - p.length);
        at += 2 + size_t(length);
    }
    return result;
}

void search_openvpn(oxlo_module *m, oxlo_flow_state *f)
{
    openvpn_state *s = static_cast<openvpn_state *>(oxlo_dissector_state(m, f));
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    /* STUN's magic cookie: this is no OpenVPN. */
    if (!s || (p.length > 10 && oxlo_rd_match_n(&p, pkt.l4 == OXLO_L4_TCP ? 6 : 4, "\x21\x12\xA4\x42", 4, 0))) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    if (s->detection == UNDECIDED)
        s->detection = detect(s, pkt);
    if (s->heuristic == UNDECIDED)
        s->heuristic = heuristic(m, f, s, pkt);
    if (s->packets[pkt.direction] < 255)
        s->packets[pkt.direction]++;
    if (s->detection == UNDECIDED && pkt.payload_packets > 5)
        s->detection = NO;
    const int by_ip = m->cfg.openvpn_subclassification_by_ip;
    if (s->detection == YES) {
        vpn_set_protocol(m, f, OXLO_PROTOCOL_OPENVPN, by_ip, OXLO_CONFIDENCE_DPI);
    } else if (s->heuristic == YES) {
        vpn_set_protocol(m, f, OXLO_PROTOCOL_OPENVPN, by_ip, OXLO_CONFIDENCE_DPI_AGGRESSIVE);
        oxlo_dissector_risk(m, f, OXLO_OBFUSCATED_TRAFFIC, "Obfuscated OpenVPN");
    } else if (s->detection == NO && s->heuristic == NO) {
        OXLO_EXCLUDE(m, f);
    }
}

const uint16_t protocols[] = {OXLO_PROTOCOL_OPENVPN};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_openvpn = {
    "OpenVPN", search_openvpn, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP_OR_UDP,
    protocols, 1, sizeof(openvpn_state), nullptr, nullptr,
};
} // extern "C"
