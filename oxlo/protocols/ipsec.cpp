/* IKE (ISAKMP) over UDP 500 and 4500: a 28-byte header (SPIs, next payload,
 * version, exchange type, flags, message id, length), behind four zero bytes
 * on the NAT-traversal port. From an IKEv2 IKE_SA_INIT the first proposal of
 * each side is kept: its protocol, its transform count and the first
 * transform of each type. The walk never leaves the payload: every payload,
 * proposal, transform and attribute must fit inside its parent. */
#include "oxlo_dissector.h"
#include "oxlo_dissector_slots.h"
#include "oxlo_risk_ids.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_names.h"
#include "oxlo_serializer.h"

#include <cstdio>

namespace {

/* The IKE header: initiator and responder SPIs, next payload, version,
 * exchange type, flags, message id, length of the whole message; over the
 * NAT-traversal port a zero marker comes first. Each payload then has a
 * generic header: next payload, critical bit, its length. */
constexpr size_t IKE_NEXT_PAYLOAD = 16, IKE_VERSION = 17, IKE_EXCHANGE = 18, IKE_FLAGS = 19, IKE_LENGTH = 24,
                 IKE_HEADER = 28, NON_ESP_MARKER = 4;
constexpr uint8_t IKE_V2 = 0x20, IKE_V1 = 0x10, IKE_SA_PAYLOAD = 33, IKE_SA_INIT = 34;
/* A message too large for one datagram is sent in pieces, each of which
 * holds a single Encrypted Fragment payload (strongSwan does so by default
 * for an IKE_AUTH with certificates). */
constexpr uint8_t IKE_ENCRYPTED_FRAGMENT = 53;

struct ike_proposal {
    uint8_t protocol_id, transforms;
    uint16_t encryption, key_bits, prf, integrity, dh_group;
    uint8_t esn;
    uint8_t seen; /* bit per transform type kept */
};

struct ipsec_state {
    uint8_t version, exchange;
    ike_proposal side[2]; /* 0 initiator, 1 responder */
};

ipsec_state *state_of(oxlo_module *m, oxlo_flow_state *f)
{
    return static_cast<ipsec_state *>(oxlo_dissector_state_of(m, f, OXLO_PROTOCOL_IPSEC, 1));
}

void read_transform(oxlo_reader t, ike_proposal *p)
{
    const uint8_t type = oxlo_rd_u8(&t);
    oxlo_rd_skip(&t, 1);
    const uint16_t id = oxlo_rd_be16(&t);
    if (t.error || type < 1 || type > 5 || (p->seen & (1u << type)))
        return;
    p->seen = uint8_t(p->seen | (1u << type));
    switch (type) {
    case 1:
        p->encryption = id;
        while (oxlo_rd_left(&t) >= 4 && !t.error) {
            const uint16_t at = oxlo_rd_be16(&t);
            if (at & 0x8000) { /* TV: the value in place of a length */
                const uint16_t value = oxlo_rd_be16(&t);
                if ((at & 0x7FFF) == 14)
                    p->key_bits = value;
            } else {
                oxlo_rd_lp16(&t);
            }
        }
        break;
    case 2: p->prf = id; break;
    case 3: p->integrity = id; break;
    case 4: p->dh_group = id; break;
    default: p->esn = uint8_t(id); break;
    }
}

/* The first proposal of an SA payload's content. */
void read_sa(oxlo_reader sa, ike_proposal *p)
{
    oxlo_rd_skip(&sa, 2);
    const uint16_t length = oxlo_rd_be16(&sa);
    if (sa.error || length < 8)
        return;
    oxlo_reader proposal = oxlo_rd_field(&sa, length - 4u);
    oxlo_rd_skip(&proposal, 1);
    p->protocol_id = oxlo_rd_u8(&proposal);
    const uint8_t spi = oxlo_rd_u8(&proposal);
    p->transforms = oxlo_rd_u8(&proposal);
    oxlo_rd_skip(&proposal, spi);
    for (uint8_t i = 0; i < p->transforms && !proposal.error && oxlo_rd_left(&proposal) >= 8; i++) {
        oxlo_rd_skip(&proposal, 2);
        const uint16_t tl = oxlo_rd_be16(&proposal);
        if (proposal.error || tl < 8)
            break;
        oxlo_reader transform = oxlo_rd_field(&proposal, tl - 4u);
        if (transform.error)
            break;
        read_transform(transform, p);
    }
}

/* The payload chain after the header, up to the SA payload. */
void walk(oxlo_reader ike, uint8_t next, ike_proposal *p)
{
    oxlo_rd_skip(&ike, IKE_HEADER);
    for (int guard = 0; next != 0 && guard < 32 && !ike.error; guard++) {
        const uint8_t following = oxlo_rd_u8(&ike);
        oxlo_rd_skip(&ike, 1);
        const uint16_t length = oxlo_rd_be16(&ike);
        if (ike.error || length < 4)
            return;
        oxlo_reader body = oxlo_rd_field(&ike, length - 4u);
        if (body.error)
            return;
        if (next == IKE_SA_PAYLOAD) {
            read_sa(body, p);
            return;
        }
        next = following;
    }
}

/* 1 valid header, 0 not IKE. */
int read_header(oxlo_module *m, oxlo_flow_state *f, ipsec_state *s, bool keep)
{
    const oxlo_reader p = oxlo_dissector_packet(m, f).payload;
    if (p.length < IKE_HEADER)
        return 0;
    uint32_t marker = 1;
    oxlo_rd_u32_at(&p, 0, &marker);
    if (marker == 0 && p.length < NON_ESP_MARKER + IKE_HEADER)
        return 0;
    const oxlo_reader ike = marker == 0 ? oxlo_rd_from(&p, NON_ESP_MARKER) : p;
    uint8_t next = 0xFF, version = 0, exchange = 0, flags = 0xFF;
    uint32_t length = 0;
    oxlo_rd_u8_at(&ike, IKE_NEXT_PAYLOAD, &next);
    oxlo_rd_u8_at(&ike, IKE_VERSION, &version);
    oxlo_rd_u8_at(&ike, IKE_EXCHANGE, &exchange);
    oxlo_rd_u8_at(&ike, IKE_FLAGS, &flags);
    oxlo_rd_u32_at(&ike, IKE_LENGTH, &length);
    if ((version != IKE_V2 && version != IKE_V1) || length != ike.length)
        return 0;
    if (version == IKE_V2) {
        if ((next != 0 && next != IKE_ENCRYPTED_FRAGMENT && (next < IKE_SA_PAYLOAD || next > 48)) ||
            exchange < IKE_SA_INIT || exchange > 37 || (flags & 0xC7))
            return 0;
        if (keep && exchange == IKE_SA_INIT) {
            s->version = version;
            s->exchange = exchange;
            ike_proposal *side = &s->side[(flags & 0x08) ? 0 : 1];
            if (!side->protocol_id)
                walk(ike, next, side);
        }
    } else if (next > 13 || (exchange >= 6 && exchange <= 30) || flags > 7) {
        return 0;
    }
    if (keep && !s->version) {
        s->version = version;
        s->exchange = exchange;
    }
    return 1;
}

int extra_ipsec(oxlo_module *m, oxlo_flow_state *f)
{
    ipsec_state *s = state_of(m, f);
    if (!s)
        return 0;
    if (oxlo_dissector_packet(m, f).payload.length)
        read_header(m, f, s, true);
    return !(s->side[0].protocol_id && s->side[1].protocol_id);
}

void search_ipsec(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    ipsec_state *s = state_of(m, f);
    if (!s || pkt.payload.length <= 27) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    if (!read_header(m, f, s, true)) {
        const bool ike_port = pkt.src_port == 500 || pkt.dst_port == 500 || pkt.src_port == 4500 ||
                              pkt.dst_port == 4500;
        if (!ike_port) {
            OXLO_EXCLUDE(m, f);
            return;
        }
        oxlo_dissector_risk(m, f, OXLO_MALFORMED_PACKET, "Invalid IPSec/ISAKMP Header");
    }
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_IPSEC, OXLO_PROTOCOL_UNKNOWN);
    if (!(s->side[0].protocol_id && s->side[1].protocol_id))
        oxlo_dissector_extra(f, extra_ipsec, 6);
}

int proposal_json(char *out, size_t size, const char *type, const ike_proposal &p)
{
    return snprintf(out, size,
                    "{\"type\":\"%s\",\"protocol_id\":%u,\"num_transforms\":%u,\"encryption_algorithm\":\"%s\","
                    "\"encryption_key_bits\":%u,\"pseudo_random_algorithm\":\"%s\",\"integrity_algorithm\":\"%s\","
                    "\"diffie_hellman_group\":\"%s\",\"extended_sequence_numbers\":%u}",
                    type, p.protocol_id, p.transforms, oxlo_ike_encryption_name(p.encryption), p.key_bits,
                    oxlo_ike_prf_name(p.prf), oxlo_ike_integrity_name(p.integrity),
                    oxlo_ike_dh_group_name(p.dh_group), p.esn);
}

int ipsec_json(oxlo_module *, const oxlo_flow_state *f, oxlo_recbuf *out)
{
    const ipsec_state *s = static_cast<const ipsec_state *>(oxlo_flow_slot_state(f, OXLO_DISSECTOR_ipsec));
    const ipsec_state empty{};
    if (!s)
        s = &empty;
    char version[16];
    snprintf(version, sizeof(version), "%u.%u", s->version >> 4, s->version & 0x0F);
    int rc = oxlo_recbuf_open_block(out, "ipsec");
    rc |= oxlo_recbuf_put_text(out, "ike_version", version);
    if (s->side[0].protocol_id || s->side[1].protocol_id) {
        char list[1024];
        size_t n = 0;
        list[n++] = '[';
        const int a = proposal_json(list + n, sizeof(list) - n, "request", s->side[0]);
        n += a > 0 ? size_t(a) : 0;
        if (n < sizeof(list))
            list[n++] = ',';
        const int b = n < sizeof(list) ? proposal_json(list + n, sizeof(list) - n, "response", s->side[1]) : -1;
        n += b > 0 ? size_t(b) : 0;
        if (n + 1 < sizeof(list)) {
            list[n++] = ']';
            rc |= oxlo_recbuf_put_raw_json(out, "proposals", list, n);
        }
    }
    rc |= oxlo_recbuf_close_block(out);
    return rc ? -1 : 0;
}

const uint16_t protocols[] = {OXLO_PROTOCOL_IPSEC};

} // namespace

extern "C" {

int oxlo_flow_ike_responder_proposal(const oxlo_flow_state *flow, uint16_t *encryption, uint16_t *key_bits,
                                     uint16_t *integrity)
{
    const void *slot = flow ? oxlo_flow_slot_state(flow, OXLO_DISSECTOR_ipsec) : nullptr;
    const ike_proposal *p = slot ? &static_cast<const ipsec_state *>(slot)->side[1] : nullptr;
    if (!p || !p->protocol_id)
        return 0;
    *encryption = p->encryption;
    *key_bits = p->key_bits;
    *integrity = p->integrity;
    return 1;
}

extern const oxlo_dissector_def oxlo_dissector_def_ipsec = {
    "IPSec", search_ipsec, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD,
    protocols, 1, sizeof(ipsec_state), nullptr, ipsec_json,
};

/* Shorter first datagrams fail the length test search_ipsec starts with, whatever
 * their bytes, and end in its exclusion alone. */
extern const uint16_t oxlo_dissector_shortest_ipsec = 28;
} // extern "C"
