/* STUN and TURN (the classic form without the magic cookie and the current
 * one with it), and the real-time call services that run over them.
 *
 * A STUN flow is followed after classification: the same 5-tuple later
 * carries the media the exchange set up (RTP, RTCP, SRTP, DTLS), TURN relays
 * it inside DATA attributes or ChannelData frames, and attributes, realms and
 * the addresses seen tell which call service it belongs to. The service found
 * is cached per endpoint so that the next flow to the same peer is known from
 * its first STUN packet.
 *
 * Service hints that are not in the messages themselves (realm domains and
 * the networks of Google's call media servers) come from public facts:
 * - Google publishes the IPv4 and IPv6 ranges of its Meet media servers in
 *   its Workspace help page "Prepare your network for Meet meetings and live
 *   streams" (74.125.250.0/24, 142.250.82.0/24, 2001:4860:4864:5::/64,
 *   2001:4860:4864:6::/64).
 * - The realm domains are the services' own registered domains: google.com,
 *   signal.org and whispersystems.org, the adult CDN domain phncdn.com and
 *   Cloudflare's TURN service turn.cloudflare.com. */
#include "oxlo_dissector.h"
#include "oxlo_dissector_slots.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_flow_json.h"
#include "oxlo_hash.h"
#include "oxlo_lru.h"
#include "oxlo_memory.h"
#include "oxlo_module.h"
#include "oxlo_names.h"
#include "oxlo_serializer.h"
#include "protocols/media_private.h"
#include "protocols/tls/tls_private.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>

namespace {

constexpr uint16_t P_STUN = OXLO_PROTOCOL_STUN, P_RTP = OXLO_PROTOCOL_RTP, P_RTCP = OXLO_PROTOCOL_RTCP,
                   P_SRTP = OXLO_PROTOCOL_SRTP, P_DTLS = OXLO_PROTOCOL_DTLS, P_TELEGRAM = OXLO_PROTOCOL_TELEGRAM;
constexpr uint32_t COOKIE = 0x2112A442;
/* The message header: type, the length of the attributes, the magic
 * cookie and the transaction id; then the attributes (type, length, the
 * value padded to 4 bytes). */
constexpr size_t STUN_TYPE = 0, STUN_LENGTH = 2, STUN_COOKIE = 4, STUN_HEADER = 20;
constexpr size_t ATTR_TYPE = 0, ATTR_LENGTH = 2, ATTR_VALUE = 4;
/* An address value: a reserved byte, the family, the port, the address
 * (4 or 16 bytes); the XOR forms mask it with the cookie and transaction id. */
constexpr size_t ADDRESS_FAMILY = 1, ADDRESS_PORT = 2, ADDRESS_ADDRESS = 4, ADDRESS_MASK_SIZE = 16;
constexpr size_t ADDRESS_IPV4_SIZE = 8, ADDRESS_IPV6_SIZE = 20;
constexpr uint8_t FAMILY_IPV4 = 1, FAMILY_IPV6 = 2;
enum : uint16_t {
    ATTR_MAPPED_ADDRESS = 0x0001,
    ATTR_XOR_PEER_ADDRESS = 0x0012,
    ATTR_DATA = 0x0013,
    ATTR_REALM = 0x0014,
    ATTR_XOR_RELAYED_ADDRESS = 0x0016,
    ATTR_XOR_MAPPED_ADDRESS = 0x0020,
    ATTR_SOFTWARE = 0x8022,
    ATTR_ICE_CONTROLLED = 0x8029,
    ATTR_ICE_CONTROLLING = 0x802A,
    ATTR_RESPONSE_ORIGIN = 0x802B,
    ATTR_OTHER_ADDRESS = 0x802C,
};
/* Over TCP a message may follow a 2-byte length. ChannelData: the channel
 * number, the length, the data. The Teams envelope: FF 10, the length of
 * what follows its first 4 bytes, the message at 12. */
constexpr size_t TCP_FRAMING = 2, CHANNEL_LENGTH = 2, CHANNEL_DATA = 4, ENVELOPE_LENGTH = 2, ENVELOPE_LENGTH_BASE = 4,
                 ENVELOPE_MESSAGE = 12;
constexpr uint32_t CATEGORY_ADULT = 34;
/* Packets the follow-up reads longer while it tries a DTLS handshake. */
constexpr int DTLS_EXTRA_PACKETS = 10;

/* A STUN payload may carry another (DATA attribute, ChannelData, the Teams
 * envelope) and that one again; each level costs only a few bytes, so one
 * datagram could nest thousands deep. Three levels cover every real relay
 * path (TURN inside TURN is already unusual). */
constexpr int MAX_NESTING = 3;

enum { FLAG_DTLS = 0x01, FLAG_RTCP = 0x02, FLAG_TURN = 0x04, FLAG_ICE_CONTROLLING_CLIENT = 0x08 };
enum { A_MAPPED, A_PEER, A_RELAYED, A_RESPONSE_ORIGIN, A_OTHER, A_COUNT };

struct stun_address {
    uint8_t address[16];
    uint16_t port; /* host order */
    uint8_t flags; /* bit 0 IPv6 */
};

struct stun_state {
    uint8_t flags;
    uint8_t telegram_non_dtls;
    uint8_t relayed_address_count, xor_mapped_address_count;
    stun_address addr[A_COUNT];      /* first value wins */
    stun_address *monitoring;        /* A_COUNT slots, last value wins */
    uint8_t response_lengths[2];
    uint8_t response_length_count;
    uint8_t dtls_tried;
    uint16_t rtp_packets[2];         /* per direction */
    uint32_t rtp_first_sec, rtp_last_sec;
    uint16_t saved_app, saved_master;
};

/* One packet's walk through nested payloads: how deep it is and whether its
 * RTP was already counted (a frame relayed inside another counts once). */
struct walk {
    int depth;
    bool rtp_counted;
};

void release_stun(void *state)
{
    stun_state *s = static_cast<stun_state *>(state);
    oxlo_heap_free(s->monitoring);
    s->monitoring = nullptr;
}

stun_state *state_of(oxlo_module *m, oxlo_flow_state *f)
{
    return static_cast<stun_state *>(oxlo_dissector_state_of(m, f, P_STUN, 1));
}

bool monitoring_on(oxlo_module *m) { return oxlo_protocol_monitoring_enabled(m, P_STUN) == 1; }

bool wanted(const oxlo_module *m, int kind)
{
    switch (kind) {
    case A_MAPPED: return m->cfg.stun_mapped_address;
    case A_PEER: return m->cfg.stun_peer_address;
    case A_RELAYED: return m->cfg.stun_relayed_address;
    case A_RESPONSE_ORIGIN: return m->cfg.stun_response_origin;
    default: return m->cfg.stun_other_address;
    }
}

/* ---- caches ---- */
uint64_t endpoint_key_v4(const uint8_t address[4], uint16_t port_network)
{
    uint32_t a;
    memcpy(&a, address, 4);
    return (uint64_t)a << 32 | port_network;
}
uint64_t endpoint_key_v6(const uint8_t address[16], uint16_t port_host)
{
    return (uint64_t)(uint32_t)address_fold_hash(address, 16) << 16 | port_host;
}
uint64_t flow_key(const oxlo_flow_state *f, bool client)
{
    const uint8_t *a = client ? f->client_address : f->server_address;
    const uint16_t port = client ? f->client_port : f->server_port;
    if (oxlo_flow_is_ipv6(f))
        return endpoint_key_v6(a, (uint16_t)((port >> 8) | (port << 8)));
    return endpoint_key_v4(a, port);
}
/* The same key form for an address read from an attribute (port in host
 * order there, so it is put back into network order for IPv4). */
uint64_t address_key(const stun_address &a)
{
    if (a.flags & 1)
        return endpoint_key_v6(a.address, a.port);
    uint16_t network;
    const uint8_t be[2] = {uint8_t(a.port >> 8), uint8_t(a.port)};
    memcpy(&network, be, 2);
    return endpoint_key_v4(a.address, network);
}

uint32_t now_sec(const oxlo_flow_state *f) { return (uint32_t)oxlo_flow_last_seen_sec(f); }

void cache_both(oxlo_module *m, oxlo_flow_state *f, uint16_t app)
{
    oxlo_lru_table *c = m->lru[OXLO_LRU_STUN];
    if (!c)
        return;
    oxlo_lru_table_add(c, flow_key(f, true), app, now_sec(f));
    oxlo_lru_table_add(c, flow_key(f, false), app, now_sec(f));
}

uint64_t signal_key(const oxlo_flow_state *f)
{
    if (oxlo_flow_is_ipv6(f))
        return address_fold_hash(f->client_address, 16);
    uint32_t a;
    memcpy(&a, f->client_address, 4);
    return a;
}

bool packet_from_client(const oxlo_module *m, const oxlo_flow_state *f)
{
    return oxlo_dissector_packet(m, f).from_client;
}

/* ---- attributes ---- */
void store_address(oxlo_module *m, stun_state *s, int kind, const stun_address &a)
{
    if (s->addr[kind].port == 0)
        s->addr[kind] = a;
    if (s->monitoring)
        s->monitoring[kind] = a;
    (void)m;
}

/* Decodes a (XOR-)address attribute value; false when its family is
 * unknown or does not match its length. */
bool decode_address(const oxlo_reader &value, bool xored, const oxlo_reader &message, stun_address *out)
{
    uint8_t family = 0;
    uint16_t port = 0;
    if (!oxlo_rd_u8_at(&value, ADDRESS_FAMILY, &family) || !oxlo_rd_u16_at(&value, ADDRESS_PORT, &port))
        return false;
    memset(out, 0, sizeof(*out));
    const uint8_t *tid = oxlo_rd_bytes_at(&message, STUN_COOKIE, ADDRESS_MASK_SIZE); /* cookie + transaction id */
    if (family == FAMILY_IPV4 && value.length == ADDRESS_IPV4_SIZE) {
        const uint8_t *a = oxlo_rd_bytes_at(&value, ADDRESS_ADDRESS, 4);
        for (int i = 0; i < 4; i++)
            out->address[i] = uint8_t(a[i] ^ (xored ? tid[i] : 0));
    } else if (family == FAMILY_IPV6 && value.length == ADDRESS_IPV6_SIZE) {
        const uint8_t *a = oxlo_rd_bytes_at(&value, ADDRESS_ADDRESS, 16);
        for (int i = 0; i < 16; i++)
            out->address[i] = uint8_t(a[i] ^ (xored ? tid[i] : 0));
        out->flags = 1;
    } else {
        return false;
    }
    out->port = xored ? uint16_t(port ^ (COOKIE >> 16)) : port;
    return true;
}

struct service_domain {
    const char *text;
    uint16_t app;
    uint32_t category;
};
const service_domain REALMS[] = {
    {"google.com", OXLO_PROTOCOL_GOOGLECALL, 0},
    {"signal.org", OXLO_PROTOCOL_SIGNALVOIP, 0},
    {"whispersystems.org", OXLO_PROTOCOL_SIGNALVOIP, 0},
    {"facebook", OXLO_PROTOCOL_FACEBOOKVOIP, 0},
    {"phncdn.com", 0, CATEGORY_ADULT},
    {"telegram", OXLO_PROTOCOL_TELEGRAMVOIP, 0},
    {"viber", OXLO_PROTOCOL_VIBERVOIP, 0},
};
constexpr const char *CLOUDFLARE_TURN = "turn.cloudflare.com";

void realm(oxlo_module *m, oxlo_flow_state *f, const oxlo_reader &value, uint16_t *app, uint32_t *category)
{
    if (oxlo_flow_host(f)[0])
        return;
    const char *name = oxlo_flow_store_host_name(f, reinterpret_cast<const char *>(value.data), value.length, 7);
    if (!name)
        return;
    if (strchr(name, '?')) {
        oxlo_flow_host_clear(f);
        return;
    }
    for (const service_domain &d : REALMS)
        if (strstr(name, d.text)) {
            if (d.app)
                *app = d.app;
            else
                *category = d.category;
            return;
        }
    if (strstr(name, CLOUDFLARE_TURN) && signal_cache_contains(m, f))
        *app = OXLO_PROTOCOL_SIGNALVOIP;
}

bool classic_type(uint16_t t)
{
    static const uint16_t types[] = {0x0001, 0x0101, 0x0111, 0x0002, 0x0102, 0x0112, 0x0003, 0x0103,
                                     0x0113, 0x0004, 0x0104, 0x0114, 0x0006, 0x0106, 0x0115, 0x0116};
    for (uint16_t x : types)
        if (x == t)
            return true;
    return false;
}

bool attributes_end_exactly(const oxlo_reader &msg)
{
    size_t off = STUN_HEADER;
    while (off < msg.length) {
        uint16_t len = 0;
        if (!oxlo_rd_u16_at(&msg, off + ATTR_LENGTH, &len))
            return false;
        off += ATTR_VALUE + ((size_t(len) + 3) & ~size_t(3));
    }
    return off == msg.length;
}

void again_payload(oxlo_module *m, oxlo_flow_state *f, const oxlo_reader &p, walk *w);

int parse(oxlo_module *m, oxlo_flow_state *f, const oxlo_reader *payload, uint16_t *app, uint32_t *category,
          walk *w)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    oxlo_reader p = *payload;
    if (p.length < STUN_HEADER)
        return -1;
    if (oxlo_rd_match(&p, 0, "RSP/", 0) && oxlo_rd_match(&p, 7, " STUN_", 0))
        return 1;
    const bool tcp = pkt.l4 == OXLO_L4_TCP;
    uint32_t cookie = 0;
    uint16_t v = 0;
    if (tcp) {
        if (p.length < STUN_HEADER + TCP_FRAMING) {
            if (!oxlo_rd_u32_at(&p, STUN_COOKIE, &cookie) || cookie != COOKIE)
                return 0;
        } else if (oxlo_rd_u16_at(&p, 0, &v) && size_t(v) + TCP_FRAMING == p.length) {
            p = oxlo_rd_from(&p, TCP_FRAMING);
        }
    }
    if (p.length >= ENVELOPE_MESSAGE + STUN_HEADER && oxlo_rd_match_n(&p, 0, "\xFF\x10", 2, 0) &&
        oxlo_rd_u16_at(&p, ENVELOPE_LENGTH, &v) && size_t(v) + ENVELOPE_LENGTH_BASE == p.length)
        p = oxlo_rd_from(&p, ENVELOPE_MESSAGE);
    uint16_t type = 0, length = 0;
    if (!oxlo_rd_u16_at(&p, STUN_TYPE, &type) || !oxlo_rd_u16_at(&p, STUN_LENGTH, &length) ||
        !oxlo_rd_u32_at(&p, STUN_COOKIE, &cookie))
        return -1;
    const bool has_cookie = cookie == COOKIE;
    if (tcp) {
        if (!has_cookie || size_t(length) + STUN_HEADER > p.length)
            return 0;
        p = oxlo_rd_upto(&p, size_t(length) + STUN_HEADER);
    } else if (size_t(length) + STUN_HEADER != p.length || type == 0) {
        return -1;
    }
    const uint16_t method = uint16_t((type & 0xF) | ((type >> 1) & 0x70) | ((type >> 2) & 0xF80));
    const bool whatsapp_type = type >= 0x0800 && type <= 0x0805 && type != 0x0803;
    if (method > 11 && type != 0x0800 && type != 0x0801) {
        if (type == 0x0805 || type == 0x0802 || type == 0x0804) {
            if (!has_cookie)
                return 0;
        } else {
            return -1;
        }
    } else if (!has_cookie && (!classic_type(type) || !attributes_end_exactly(p))) {
        return 0;
    }
    stun_state *s = state_of(m, f);
    if (s && monitoring_on(m) && !s->monitoring)
        s->monitoring = static_cast<stun_address *>(oxlo_heap_calloc(A_COUNT, sizeof(stun_address)));
    if (whatsapp_type) {
        *app = OXLO_PROTOCOL_WHATSAPPCALL;
        return 1;
    }
    if (method >= 3 && method <= 12 && s)
        s->flags |= FLAG_TURN;
    if (pkt.payload_packets >= 5 && s && !(s->flags & FLAG_TURN) &&
        (!f->master || !stun_subclassification_is_real(f->app)) && (pkt.src_port == 10000 || pkt.dst_port == 10000))
        *app = OXLO_PROTOCOL_SIGNALVOIP;
    if (f->app == P_TELEGRAM)
        *app = OXLO_PROTOCOL_TELEGRAMVOIP;

    size_t off = STUN_HEADER;
    while (off + ATTR_VALUE < p.length) {
        uint16_t a = 0, n = 0;
        oxlo_rd_u16_at(&p, off + ATTR_TYPE, &a);
        oxlo_rd_u16_at(&p, off + ATTR_LENGTH, &n);
        const size_t padded = (size_t(n) + 3) & ~size_t(3);
        const bool inside = oxlo_rd_has(&p, off + ATTR_VALUE, n);
        const oxlo_reader value = inside ? oxlo_rd_sub_at(&p, off + ATTR_VALUE, n) : oxlo_reader_make(nullptr, 0);
        const size_t remaining = p.length - off - ATTR_VALUE;
        stun_address addr;
        int kind = -1;
        bool xored = false;
        switch (a) {
        case 0x0000: break;
        case ATTR_MAPPED_ADDRESS: kind = A_MAPPED; break;
        case ATTR_XOR_MAPPED_ADDRESS: kind = A_MAPPED; xored = true; break;
        case ATTR_XOR_PEER_ADDRESS: kind = A_PEER; xored = true; break;
        case ATTR_XOR_RELAYED_ADDRESS: kind = A_RELAYED; xored = true; break;
        case ATTR_RESPONSE_ORIGIN: kind = A_RESPONSE_ORIGIN; break;
        case ATTR_OTHER_ADDRESS: kind = A_OTHER; break;
        case ATTR_DATA:
            /* TURN DATA: the relayed datagram, read as a packet of its own. */
            if (w && inside && w->depth + 1 < MAX_NESTING) {
                walk inner = {w->depth + 1, w->rtp_counted};
                again_payload(m, f, value, &inner);
                w->rtp_counted = inner.rtp_counted;
            }
            break;
        case ATTR_REALM: {
            /* the value, cut to what is left of the message */
            const size_t cap = remaining;
            const oxlo_reader r = oxlo_rd_sub_at(&p, off + ATTR_VALUE, n < cap ? n : cap);
            if (!r.error)
                realm(m, f, r, app, category);
            break;
        }
        case ATTR_SOFTWARE:
            if (inside && oxlo_rd_contains(&value, "Cisco-Spark", 0))
                *app = OXLO_PROTOCOL_WEBEX;
            break;
        case ATTR_ICE_CONTROLLED:
        case ATTR_ICE_CONTROLLING:
            if (s) {
                const bool client = packet_from_client(m, f);
                /* ICE-CONTROLLED from the server, or ICE-CONTROLLING from the client */
                if ((a == ATTR_ICE_CONTROLLED) != client)
                    s->flags |= FLAG_ICE_CONTROLLING_CLIENT;
                else
                    s->flags &= uint8_t(~FLAG_ICE_CONTROLLING_CLIENT);
            }
            break;
        case 0x4000: case 0x4001: case 0x4002: case 0x4003: case 0x4004: case 0x4007:
            *app = OXLO_PROTOCOL_WHATSAPPCALL;
            break;
        case 0x0101:
        case 0x0103:
            *app = OXLO_PROTOCOL_ZOOM;
            return 1;
        case 0x0800: case 0x3802: case 0x24DF: case 0x8006: case 0x8036: case 0x8054: case 0x8055: case 0x8070:
        case 0x8095:
            *app = OXLO_PROTOCOL_TEAMSCALL;
            break;
        case 0xFF03:
            *app = OXLO_PROTOCOL_GOOGLECALL;
            break;
        default: break;
        }
        if (kind >= 0 && s && inside && wanted(m, kind) && decode_address(value, xored, p, &addr)) {
            store_address(m, s, kind, addr);
            if (a == ATTR_XOR_MAPPED_ADDRESS && s->xor_mapped_address_count < 255)
                s->xor_mapped_address_count++;
            if (a == ATTR_XOR_RELAYED_ADDRESS && s->relayed_address_count < 255)
                s->relayed_address_count++;
            if (a == ATTR_XOR_PEER_ADDRESS && m->lru[OXLO_LRU_STUN] && f->master && stun_subclassification_is_real(f->app))
                oxlo_lru_table_add(m->lru[OXLO_LRU_STUN], address_key(addr), f->app, now_sec(f));
        }
        off += ATTR_VALUE + padded;
    }
    return 1;
}

/* ---- classification ---- */
bool in_google_call_networks(const oxlo_flow_state *f)
{
    static const uint8_t v4[][3] = {{74, 125, 250}, {142, 250, 82}};
    static const uint8_t v6[][8] = {{0x20, 0x01, 0x48, 0x60, 0x48, 0x64, 0x00, 0x05},
                                    {0x20, 0x01, 0x48, 0x60, 0x48, 0x64, 0x00, 0x06}};
    const bool ipv6 = oxlo_flow_is_ipv6(f);
    for (const uint8_t *a : {f->client_address, f->server_address}) {
        if (ipv6) {
            for (const auto &net : v6)
                if (!memcmp(a, net, 8))
                    return true;
        } else {
            for (const auto &net : v4)
                if (!memcmp(a, net, 3))
                    return true;
        }
    }
    return false;
}

bool google_port(uint16_t p) { return p == 3478 || (p >= 19302 && p <= 19309); }

void set_protocol(oxlo_module *m, oxlo_flow_state *f, uint16_t app, uint16_t master, uint32_t category)
{
    if (f->state == OXLO_STATE_MONITORING)
        return;
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    if (!app && (google_port(pkt.src_port) || google_port(pkt.dst_port)) && in_google_call_networks(f))
        app = OXLO_PROTOCOL_GOOGLECALL;
    oxlo_confidence_level confidence = OXLO_CONFIDENCE_DPI;
    if (stun_subclassification_is_real(app)) {
        if (master == P_RTP || master == P_RTCP)
            master = P_SRTP;
        cache_both(m, f, app);
    } else {
        uint16_t found = 0;
        oxlo_lru_table *c = m->lru[OXLO_LRU_STUN];
        if (c) {
            const bool from_client = pkt.from_client;
            if (!oxlo_lru_table_find(c, flow_key(f, from_client), &found, 0, now_sec(f)))
                oxlo_lru_table_find(c, flow_key(f, !from_client), &found, 0, now_sec(f));
        }
        if (found) {
            if (found == P_RTP || app == P_RTP || master == P_RTP || master == P_RTCP)
                master = P_SRTP;
            app = found;
            confidence = OXLO_CONFIDENCE_DPI_CACHE;
            if (stun_subclassification_is_real(found))
                cache_both(m, f, found);
        } else if (master == P_RTP || master == P_RTCP) {
            if (app) {
                master = P_SRTP;
            } else {
                app = P_RTP;
                master = P_STUN;
            }
        }
    }
    if (category)
        f->category = category;
    if (!(app == 0 && f->app != 0)) {
        /* A service the messages named is more precise than what the realm
         * alone would give (a Signal TURN realm is Signal's calls, not its
         * messenger): the realm is not classified again. */
        if (stun_subclassification_is_real(app) && oxlo_flow_host(f)[0])
            memcpy(f->texts->last_classified_host, f->texts->host_name, OXLO_HOST_NAME_SIZE);
        oxlo_flow_set_protocol(m, f, app, master, confidence);
        if (oxlo_dissector_extra_active(f, nullptr)) {
            const uint32_t pair = (uint32_t)f->app << 16 | f->master;
            if (!category)
                f->category = oxlo_protocol_pair_category(m, pair);
            f->breed = oxlo_protocol_pair_breed(m, pair);
        }
    }
    stun_extra_dissection_start(m, f, 1);
}

/* The keep-going decision, once per packet (never per nested payload, so
 * nothing is counted twice). */
int keep_going(oxlo_module *m, oxlo_flow_state *f)
{
    stun_state *s = state_of(m, f);
    if (!s)
        return 0;
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    uint8_t first = 0;
    if (pkt.src_port == 3478 && s->response_length_count < 2 && oxlo_rd_u8_at(&pkt.payload, 0, &first) && first > 1)
        s->response_lengths[s->response_length_count++] = uint8_t(pkt.payload.length);
    if (f->app == OXLO_PROTOCOL_TELEGRAMVOIP && pkt.payload.length >= 700 &&
        !oxlo_rd_match_n(&pkt.payload, 0, "\x16\xFE\xFD", 3, 0) && !oxlo_rd_match_n(&pkt.payload, 0, "\x16\xFE\xFF", 3, 0))
        s->telegram_non_dtls |= 0x02;
    if (f->state == OXLO_STATE_MONITORING)
        return 1;
    const bool monitor = monitoring_on(m);
    const bool last = oxlo_dissector_extra_last(f);
    if (!(last && monitor)) {
        if (!f->master || !stun_subclassification_is_real(f->app))
            return 1;
        if (monitor && f->master != P_SRTP && f->master != P_DTLS)
            return 1;
        if (f->app == OXLO_PROTOCOL_TELEGRAMVOIP) {
            if (wanted(m, A_PEER) || (wanted(m, A_MAPPED) && !s->addr[A_MAPPED].port))
                return 1;
        } else if (f->app != OXLO_PROTOCOL_ZOOM) {
            const bool whatsapp_done = f->app == OXLO_PROTOCOL_WHATSAPPCALL && f->master == P_SRTP &&
                                       s->addr[A_MAPPED].port && s->addr[A_RELAYED].port;
            if (!whatsapp_done)
                for (int k = 0; k < A_COUNT; k++)
                    if (wanted(m, k) && !s->addr[k].port)
                        return 1;
        }
    }
    if (monitor) {
        f->state = OXLO_STATE_MONITORING;
        return 1;
    }
    return 0;
}

void media(oxlo_module *m, oxlo_flow_state *f, stun_state *s, const oxlo_reader &p, walk *w)
{
    const int kind = rtp_or_rtcp_check(&p, nullptr);
    if (kind == 2) {
        s->flags |= FLAG_RTCP;
        return;
    }
    if (kind != 1)
        return;
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    if (!w->rtp_counted) {
        w->rtp_counted = true;
        if (s->rtp_packets[pkt.direction] < 0xFFFF)
            s->rtp_packets[pkt.direction]++;
        if (s->rtp_packets[0] && s->rtp_packets[1]) {
            if (!s->rtp_first_sec)
                s->rtp_first_sec = now_sec(f);
            s->rtp_last_sec = now_sec(f);
        }
    }
    uint8_t pt = 0;
    oxlo_rd_u8_at(&p, 1, &pt);
    rtp_media_type_by_payload_type(uint8_t(pt & 0x7F), &f->media_types, f->app);
    if (f->app == P_RTP || f->app == P_RTCP || f->master == P_SRTP || f->state == OXLO_STATE_MONITORING)
        return;
    if (f->master && f->master != P_DTLS) {
        oxlo_flow_set_protocol(m, f, f->app, P_SRTP, OXLO_CONFIDENCE_DPI);
    } else if (!f->master) {
        const uint16_t app = f->app == P_TELEGRAM ? P_STUN : f->app;
        if (!app || app == P_STUN)
            oxlo_flow_set_protocol(m, f, P_RTP, P_STUN, OXLO_CONFIDENCE_DPI);
        else
            oxlo_flow_set_protocol(m, f, P_SRTP, app, OXLO_CONFIDENCE_DPI);
    }
}

void dtls(oxlo_module *m, oxlo_flow_state *f, stun_state *s, const oxlo_reader &p)
{
    if (!m->cfg.stun_tls_dissection || f->state == OXLO_STATE_MONITORING)
        return;
    uint16_t record = 0;
    if (!dtls_record_header_check(p.data, p.length, &record))
        return;
    /* The TLS family reads the packet in process: point it at this payload. */
    const oxlo_reader saved = oxlo_dissector_swap_payload(m, p);
    if (s->flags & FLAG_DTLS) {
        tls_reset_and_search(m, f, 0);
    } else if (!s->dtls_tried) {
        s->dtls_tried = 1;
        s->saved_app = f->app;
        s->saved_master = f->master;
        s->flags |= FLAG_DTLS;
        oxlo_dissector_extra_grow(f, DTLS_EXTRA_PACKETS);
        tls_reset_and_search(m, f, 1);
        /* A hello read counts as recognised: the DTLS reader names the
         * protocol itself only when application data shows up. */
        const oxlo_tls_flow *t = oxlo_tls_state(m, f, 0);
        const bool seen = f->app == P_DTLS || f->master == P_DTLS || (t && (t->hello_flags & 0x09));
        if (seen && s->saved_app && s->saved_app != P_STUN) {
            set_protocol(m, f, s->saved_app == P_RTP ? P_SRTP : s->saved_app, P_DTLS, 0);
        } else if (!seen) {
            oxlo_flow_set_protocol(m, f, s->saved_app, s->saved_master, OXLO_CONFIDENCE_DPI);
            s->flags &= uint8_t(~FLAG_DTLS);
            oxlo_dissector_extra_grow(f, -DTLS_EXTRA_PACKETS);
        }
    }
    oxlo_dissector_swap_payload(m, saved);
}

void again_payload(oxlo_module *m, oxlo_flow_state *f, const oxlo_reader &p, walk *w)
{
    stun_state *s = state_of(m, f);
    uint8_t b0 = 0, b1 = 0;
    if (!s || p.length < 2 || !oxlo_rd_u8_at(&p, 0, &b0) || !oxlo_rd_u8_at(&p, 1, &b1))
        return;
    const uint16_t first_two = uint16_t(b0 << 8 | b1);
    const bool whatsapp = f->app == OXLO_PROTOCOL_WHATSAPPCALL && first_two >= 0x0800 && first_two <= 0x0805 &&
                          first_two != 0x0803;
    if (b0 < 4 || whatsapp) {
        uint16_t app = 0;
        uint32_t category = 0;
        if (parse(m, f, &p, &app, &category, w) != 1)
            return;
        if (f->master) {
            if (app && app != f->app)
                set_protocol(m, f, app, f->master, category);
        } else if (app != f->app) {
            const uint16_t master = (!f->app || f->app == P_TELEGRAM) ? P_STUN : f->app;
            set_protocol(m, f, app, master, category);
        }
    } else if (b0 >= 0x40 && b0 <= 0x4F) {
        uint16_t len = 0;
        if ((s->flags & FLAG_TURN) && p.length >= CHANNEL_DATA && oxlo_rd_u16_at(&p, CHANNEL_LENGTH, &len) &&
            size_t(len) < p.length - (CHANNEL_DATA - 1) && w->depth + 1 < MAX_NESTING) {
            walk inner = {w->depth + 1, w->rtp_counted};
            again_payload(m, f, oxlo_rd_sub_at(&p, CHANNEL_DATA, len), &inner);
            w->rtp_counted = inner.rtp_counted;
        }
    } else if (b0 >= 0x80 && b0 <= 0xBF) {
        media(m, f, s, p, w);
    } else if (b0 == 0xFF && f->app == OXLO_PROTOCOL_TEAMSCALL && p.length > 11 && b1 == 0x10) {
        uint16_t len = 0;
        if (oxlo_rd_u16_at(&p, ENVELOPE_LENGTH, &len) && size_t(len) + ENVELOPE_LENGTH_BASE == p.length &&
            len >= ENVELOPE_MESSAGE - ENVELOPE_LENGTH_BASE && w->depth + 1 < MAX_NESTING) {
            walk inner = {w->depth + 1, w->rtp_counted};
            again_payload(m, f, oxlo_rd_sub_at(&p, ENVELOPE_MESSAGE, size_t(len) - (ENVELOPE_MESSAGE - ENVELOPE_LENGTH_BASE)),
                          &inner);
            w->rtp_counted = inner.rtp_counted;
        }
    } else if (b0 >= 20 && b0 <= 63) {
        dtls(m, f, s, p);
    }
}

void search_stun(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    if (!pkt.ipv6) {
        const uint8_t *dst = pkt.from_client ? f->server_address : f->client_address;
        if ((dst[0] == 255 && dst[1] == 255 && dst[2] == 255 && dst[3] == 255) || (dst[0] & 0xF0) == 0xE0) {
            OXLO_EXCLUDE(m, f);
            return;
        }
    }
    if (!state_of(m, f)) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    uint16_t app = 0;
    uint32_t category = 0;
    walk w = {0, false};
    if (parse(m, f, &pkt.payload, &app, &category, &w) == 1) {
        const uint16_t master = f->master ? f->master : (f->app && f->app != P_TELEGRAM ? f->app : P_STUN);
        set_protocol(m, f, app, master, category);
        return;
    }
    if (pkt.payload_packets > 5)
        OXLO_EXCLUDE(m, f);
}

const char *const ADDRESS_KEYS[A_COUNT] = {"mapped_address", "peer_address", "relayed_address", "response_origin",
                                           "other_address"};

int stun_json(oxlo_module *, const oxlo_flow_state *f, oxlo_recbuf *out)
{
    const stun_state *s = static_cast<const stun_state *>(oxlo_flow_slot_state(f, OXLO_DISSECTOR_stun));
    int rc = oxlo_recbuf_open_block(out, "stun");
    for (int k = 0; s && k < A_COUNT; k++) {
        if (!s->addr[k].port)
            continue;
        oxlo_endpoint e;
        memcpy(e.address, s->addr[k].address, 16);
        e.port = s->addr[k].port;
        e.flags = s->addr[k].flags & 1 ? OXLO_ENDPOINT_IPV6 : 0;
        char text[64];
        rc |= oxlo_recbuf_put_text(out, ADDRESS_KEYS[k], oxlo_endpoint_to_text(&e, text, sizeof(text)));
    }
    char media[64];
    const char *t = oxlo_stream_content_text(f->media_types, media, sizeof(media));
    rc |= oxlo_recbuf_put_text(out, "multimedia_flow_types", t ? t : "Unknown");
    rc |= oxlo_recbuf_close_block(out);
    return rc ? -1 : 0;
}

const uint16_t protocols[] = {P_STUN};

} // namespace

extern "C" {

int stun_parse_message(oxlo_module *module, oxlo_flow_state *flow, const oxlo_reader *payload, uint16_t *app,
                       uint32_t *category, int depth)
{
    uint16_t a = 0;
    uint32_t c = 0;
    walk w = {depth, true};
    const int rc = parse(module, flow, payload, app ? app : &a, category ? category : &c, &w);
    return rc;
}

int stun_subclassification_is_real(uint16_t id)
{
    return !(id == 0 || id == P_DTLS || id == P_STUN || id == P_RTP || id == P_RTCP || id == P_SRTP ||
             id == P_TELEGRAM);
}

int stun_search_again(oxlo_module *module, oxlo_flow_state *flow)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(module, flow);
    walk w = {0, false};
    if (pkt.payload.length >= 2)
        again_payload(module, flow, pkt.payload, &w);
    return keep_going(module, flow);
}

int stun_search_again_encapsulated(oxlo_module *module, oxlo_flow_state *flow)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(module, flow);
    const oxlo_reader &p = pkt.payload;
    const uint8_t *marks = oxlo_rd_bytes_at(&p, 16, 12);
    uint16_t len = 0;
    if (p.length > 28 && marks && oxlo_rd_u16_at(&p, 22, &len) && size_t(len) + 23 < p.length) {
        bool all_ff = true;
        for (int i = 0; i < 12; i++)
            all_ff = all_ff && marks[i] == 0xFF;
        if (!all_ff) {
            walk w = {0, false};
            const oxlo_reader inner = oxlo_rd_sub_at(&p, 24, len);
            if (!inner.error && inner.length >= 2)
                again_payload(module, flow, inner, &w);
        }
    }
    return keep_going(module, flow);
}

void stun_extra_dissection_start(oxlo_module *module, oxlo_flow_state *flow, int plain)
{
    if (oxlo_dissector_extra_active(flow, nullptr) || !state_of(module, flow))
        return;
    /* The decision reads the packet budget: judge it as for a fresh reader. */
    oxlo_dissector_extra(flow, nullptr, uint8_t(module->cfg.stun_max_packets_extra_dissection));
    stun_state *s = state_of(module, flow);
    const uint8_t saved_count = s->response_length_count, saved_telegram = s->telegram_non_dtls;
    const int more = keep_going(module, flow);
    s->response_length_count = saved_count; /* recorded when the packet is read, not here */
    s->telegram_non_dtls = saved_telegram;
    if (more && module->cfg.stun_max_packets_extra_dissection > 0)
        oxlo_dissector_extra(flow, plain ? stun_search_again : stun_search_again_encapsulated,
                             uint8_t(module->cfg.stun_max_packets_extra_dissection));
}

void signal_cache_insert(oxlo_module *module, oxlo_flow_state *flow)
{
    if (module && module->lru[OXLO_LRU_SIGNAL])
        oxlo_lru_table_add(module->lru[OXLO_LRU_SIGNAL], signal_key(flow), 1, now_sec(flow));
}

int signal_cache_contains(oxlo_module *module, oxlo_flow_state *flow)
{
    uint16_t v = 0;
    if (!module || !module->lru[OXLO_LRU_SIGNAL])
        return 0;
    return oxlo_lru_table_find(module->lru[OXLO_LRU_SIGNAL], signal_key(flow), &v, 0, now_sec(flow)) ? 1 : 0;
}

extern const oxlo_dissector_def oxlo_dissector_def_stun = {
    "STUN", search_stun,
    OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP_OR_UDP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, sizeof(stun_state), release_stun, stun_json,
};

} // extern "C"
