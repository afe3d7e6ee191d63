/* RDP. Over TCP the client opens with an X.224 Connection Request in a
 * TPKT (a cookie line "Cookie: mstshash=<user>\r\n" and/or a negotiation
 * request naming the security protocols it wants), the server answers with
 * a Connection Confirm. Over UDP both sides' datagrams start with their
 * sequence numbers. A TPKT cut by the segments is read whole from the
 * stream. */
#include "oxlo_dissector.h"
#include "oxlo_risks.h"
#include "oxlo_risk_ids.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_private.h"
#include "protocols/framing.h"
#include "protocols/tls/tls_private.h"

#include <cstring>

namespace {

constexpr uint8_t X224_CR = 0xE0, X224_CC = 0xD0;
constexpr uint32_t PROTOCOL_SSL = 0x1;
/* TPKT (version, reserved, length), then the X.224 TPDU: its length
 * indicator, the code, destination and source references and the class;
 * the RDP negotiation structure follows at 11 (type, flags, a 16-bit
 * length of 8, the protocols). */
constexpr size_t TPKT_VERSION = 0, TPKT_RESERVED = 1, TPKT_LENGTH = 2, X224_LENGTH_INDICATOR = 4, X224_CODE = 5,
                 X224_END = 11;
constexpr size_t NEG_TYPE = 0, NEG_LENGTH = 2, NEG_PROTOCOLS = 4;
constexpr uint8_t NEG_REQUEST = 1, NEG_RESPONSE = 2, NEG_SIZE = 8, TPKT_VERSION_3 = 3;
/* RDP over UDP: the SYN's source ack (all ones), receive window and flags,
 * then the initial sequence number and the two MTUs. */
constexpr size_t UDP_SOURCE_ACK = 0, UDP_FLAGS_LOW = 7, UDP_SEQUENCE = 8, UDP_UPSTREAM_MTU = 12,
                 UDP_DOWNSTREAM_MTU = 14, UDP_HEAD = 10, UDP_SYN_MIN = 16;
constexpr uint16_t RDP_PORT = 3389;

struct rdp_state {
    uint8_t request_seen;
    uint8_t over_tls;
    /* UDP: the first three bytes of each side's first datagram. */
    uint8_t first[2][3];
    uint8_t seen[2];
    uint8_t seq[3];
    uint8_t have_seq;
};

void found(oxlo_module *m, oxlo_flow_state *f)
{
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_RDP, OXLO_PROTOCOL_UNKNOWN);
    oxlo_dissector_risk(m, f, OXLO_DESKTOP_OR_FILE_SHARING_SESSION, "Found RDP");
}

/* A TPKT (the view's first) carrying an X.224 TPDU of its own length;
 * the shortest, a Connection Confirm without a negotiation response (the
 * answer to a request that had none), is 11 bytes. */
bool tpkt(const oxlo_reader &p)
{
    uint8_t version = 0, reserved = 1, li = 0;
    uint16_t length = 0;
    return p.length >= X224_END && oxlo_rd_u8_at(&p, TPKT_VERSION, &version) && version == TPKT_VERSION_3 &&
           oxlo_rd_u8_at(&p, TPKT_RESERVED, &reserved) && reserved == 0 && oxlo_rd_u16_at(&p, TPKT_LENGTH, &length) &&
           length == p.length && oxlo_rd_u8_at(&p, X224_LENGTH_INDICATOR, &li) && size_t(li) + X224_LENGTH_INDICATOR + 1 == p.length;
}

/* The offset of the RDP negotiation request: right after the X.224 header
 * (offset 11), or after the cookie line's CR LF when a cookie comes first
 * (its length depends on the user name). -1 when there is none. */
ptrdiff_t negotiation_request(const oxlo_reader &p, bool *cookie)
{
    *cookie = p.length > X224_END + 6 && oxlo_rd_match(&p, X224_END, "Cookie:", 0);
    size_t at = X224_END;
    if (*cookie) {
        const ptrdiff_t crlf = oxlo_rd_find(&p, X224_END, "\r\n", 0);
        if (crlf < 0)
            return -1;
        at = size_t(crlf) + 2;
    }
    uint8_t type = 0, length = 0;
    if (oxlo_rd_u8_at(&p, at + NEG_TYPE, &type) && type == NEG_REQUEST && oxlo_rd_u8_at(&p, at + NEG_LENGTH, &length) &&
        length == NEG_SIZE)
        return ptrdiff_t(at);
    return -1;
}

int tls_after_request(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    uint8_t first = 0;
    if (pkt.payload.length && oxlo_rd_u8_at(&pkt.payload, 0, &first) && first == 22 && oxlo_tls_state(m, f, 1))
        return tls_search_tcp(m, f);
    /* The server's Connection Confirm comes first: read whole from the
     * stream, so that it costs the budget one packet however it was cut. */
    oxlo_reader confirm;
    if (oxlo_framing::first(m, f, pkt, oxlo_framing::TPKT_HEADER, oxlo_framing::tpkt_size, &confirm) ==
        oxlo_framing::FIRST_WHOLE)
        oxlo_dissector_consume(m, f, confirm.length);
    return 1;
}

void search_tcp(oxlo_module *m, oxlo_flow_state *f, rdp_state *s, const oxlo_packet_view &pkt)
{
    oxlo_reader p = pkt.payload;
    const oxlo_framing::first_end first =
        oxlo_framing::first(m, f, pkt, oxlo_framing::TPKT_HEADER, oxlo_framing::tpkt_size, &p);
    if (first == oxlo_framing::FIRST_WAITING)
        return;
    if (first == oxlo_framing::FIRST_NONE || !tpkt(p)) {
        if (s->request_seen) {
            found(m, f);
            oxlo_dissector_risk(m, f, OXLO_PROBING_ATTEMPT, "Mismatching client/server protocol");
        } else {
            OXLO_EXCLUDE(m, f);
        }
        return;
    }
    uint8_t code = 0, b11 = 0, b13 = 0;
    oxlo_rd_u8_at(&p, X224_CODE, &code);
    oxlo_rd_u8_at(&p, X224_END + NEG_TYPE, &b11);
    oxlo_rd_u8_at(&p, X224_END + NEG_LENGTH, &b13);
    bool cookie = false;
    const ptrdiff_t neg = code == X224_CR ? negotiation_request(p, &cookie) : -1;
    if (code == X224_CR && (neg >= 0 || cookie)) {
        uint32_t wanted = 0;
        if (neg >= 0 && oxlo_rd_le32_at(&p, size_t(neg) + NEG_PROTOCOLS, &wanted) && (wanted & PROTOCOL_SSL)) {
            s->over_tls = 1;
            oxlo_dissector_extra(f, tls_after_request, 5);
        }
        if (pkt.payload_packets > 4 || s->over_tls)
            found(m, f);
        else
            s->request_seen = 1;
        return;
    }
    if (code == X224_CC && b11 == NEG_RESPONSE && b13 == NEG_SIZE) {
        found(m, f);
        return;
    }
    if (s->request_seen)
        found(m, f);
    else
        OXLO_EXCLUDE(m, f);
}

void search_udp(oxlo_module *m, oxlo_flow_state *f, rdp_state *s, const oxlo_packet_view &pkt)
{
    const oxlo_reader &p = pkt.payload;
    /* The first 10 bytes: the opening 3 and the sequence at 8. */
    const uint8_t *head = oxlo_rd_bytes_at(&p, 0, UDP_HEAD);
    if (!head || (pkt.src_port != RDP_PORT && pkt.dst_port != RDP_PORT)) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    const int side = pkt.src_port == RDP_PORT ? 1 : 0;
    uint8_t flags = 0;
    uint16_t mtu1 = 0xFFFF, mtu2 = 0xFFFF;
    oxlo_rd_u8_at(&p, UDP_FLAGS_LOW, &flags);
    oxlo_rd_u16_at(&p, UDP_UPSTREAM_MTU, &mtu1);
    oxlo_rd_u16_at(&p, UDP_DOWNSTREAM_MTU, &mtu2);
    const bool mtus = mtu1 <= 1600 && mtu2 <= 1600;
    if (!side && p.length >= UDP_SYN_MIN && oxlo_rd_match_n(&p, UDP_SOURCE_ACK, "\xFF\xFF\xFF\xFF", 4, 0) &&
        (flags & 1) && mtus) {
        memcpy(s->seq, head + UDP_SEQUENCE, 3);
        s->have_seq = 1;
        s->seen[0] = 1;
        memcpy(s->first[0], head, 3);
        return;
    }
    if (side && s->have_seq && p.length >= UDP_SYN_MIN && memcmp(head + UDP_SOURCE_ACK, s->seq, 3) == 0 &&
        (flags & 3) && mtus) {
        found(m, f);
        return;
    }
    if (!s->seen[side]) {
        memcpy(s->first[side], head, 3);
        s->seen[side] = 1;
        return;
    }
    if (memcmp(head, s->first[side], 3) != 0) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    s->seen[side] = 2;
    if (s->seen[0] == 2 && s->seen[1] == 2)
        found(m, f);
}

void search_rdp(oxlo_module *m, oxlo_flow_state *f)
{
    rdp_state *s = static_cast<rdp_state *>(oxlo_dissector_state(m, f));
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    if (!s) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    if (pkt.l4 == OXLO_L4_TCP)
        search_tcp(m, f, s, pkt);
    else
        search_udp(m, f, s, pkt);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_RDP};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_rdp = {
    "RDP", search_rdp, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP_OR_UDP,
    protocols, 1, sizeof(rdp_state), nullptr, nullptr,
};
} // extern "C"
