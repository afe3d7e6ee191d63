/* BitTorrent: the peer wire handshake (19, "BitTorrent protocol", reserved
 * bytes, the info hash, the peer id), BitTorrent over HTTP (web seeds,
 * trackers, client headers), the DHT and the uTP transport over UDP. Peers
 * found are remembered, so later flows between them are named too. */
#include "oxlo_dissector.h"
#include "oxlo_dissector_slots.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_serializer.h"
#include "protocols/p2p_private.h"
#include "protocols/framing.h"

#include <cctype>
#include <cstdio>
#include <initializer_list>

namespace {

constexpr char PROTOCOL_NAME[] = "BitTorrent protocol";
constexpr uint8_t HASH_PACKETS = 3;
/* The peer handshake: the name's length (19) and the name, 8 reserved
 * bytes, the 20-byte info hash and the peer id. */
constexpr size_t HANDSHAKE_NAME_LENGTH = 0, HANDSHAKE_NAME = 1, HANDSHAKE_INFO_HASH_AFTER_NAME = 27,
                 INFO_HASH_SIZE = 20;
constexpr uint8_t NAME_LENGTH = sizeof(PROTOCOL_NAME) - 1;
/* uTP: type and version in byte 0, the first extension's type, the
 * connection id and timestamp; extensions follow the 20-byte header. */
constexpr size_t UTP_TYPE_VERSION = 0, UTP_EXTENSION = 1, UTP_CONNECTION_ID = 2, UTP_TIMESTAMP = 4, UTP_HEADER = 20;

struct bittorrent_state {
    uint8_t hash[20];
    uint8_t have_hash;
    uint8_t udp_attempts;
    uint8_t cache_checked;
};

bittorrent_state *state_of(oxlo_module *m, oxlo_flow_state *f, int create)
{
    return static_cast<bittorrent_state *>(oxlo_dissector_state_of(m, f, OXLO_PROTOCOL_BITTORRENT, create));
}

uint64_t endpoint_key(const oxlo_flow_state *f, bool client, uint16_t delta)
{
    const uint8_t *address = client ? f->client_address : f->server_address;
    const uint16_t port_be = client ? f->client_port : f->server_port;
    const uint16_t port = uint16_t(oxlo_swap16(port_be) + (client ? delta : 0));
    const uint16_t wire = oxlo_swap16(port);
    return uint64_t(p2p_address32(f, address)) << (f->flags_a & OXLO_FLOW_IPV6 ? 16 : 32) | wire;
}

/* The info hash 27 bytes after the start of "BitTorrent protocol". */
void take_hash(bittorrent_state *s, const oxlo_reader &p)
{
    const ptrdiff_t at = oxlo_rd_find(&p, 0, PROTOCOL_NAME, 0);
    const uint8_t *h = at >= 0 ? oxlo_rd_bytes_at(&p, size_t(at) + HANDSHAKE_INFO_HASH_AFTER_NAME, INFO_HASH_SIZE) : nullptr;
    if (h) {
        memcpy(s->hash, h, INFO_HASH_SIZE);
        s->have_hash = 1;
    }
}

int hash_later(oxlo_module *m, oxlo_flow_state *f)
{
    bittorrent_state *s = state_of(m, f, 0);
    if (!s)
        return 0;
    take_hash(s, oxlo_dissector_packet(m, f).payload);
    return s->have_hash ? 0 : 1;
}

void found(oxlo_module *m, oxlo_flow_state *f, bittorrent_state *s, bool handshake, oxlo_confidence_level confidence)
{
    const oxlo_reader p = oxlo_dissector_packet(m, f).payload;
    if (m->cfg.bittorrent_hash && handshake)
        take_hash(s, p);
    oxlo_flow_refine_protocol(m, f, OXLO_PROTOCOL_BITTORRENT, confidence);
    if (m->cfg.bittorrent_hash && !s->have_hash && !oxlo_dissector_extra_active(f, nullptr))
        oxlo_dissector_extra(f, hash_later, HASH_PACKETS);
    oxlo_lru_table *cache = m->lru[OXLO_LRU_BITTORRENT];
    if (!cache)
        return;
    const uint32_t now = uint32_t(f->last_seen_ms / 1000);
    for (uint16_t delta : {0, 1, 2})
        oxlo_lru_table_add(cache, endpoint_key(f, true, delta), OXLO_PROTOCOL_BITTORRENT, now);
    oxlo_lru_table_add(cache, endpoint_key(f, false, 0), OXLO_PROTOCOL_BITTORRENT, now);
    oxlo_lru_table_add(cache, mining_address_pair_key(f), OXLO_PROTOCOL_BITTORRENT, now);
}

/* Gives up on the flow, unless the cache knows its peers. */
void skip(oxlo_module *m, oxlo_flow_state *f, bittorrent_state *s)
{
    if (oxlo_flow_app_protocol(f) == OXLO_PROTOCOL_BITTORRENT)
        return;
    oxlo_lru_table *cache = m->lru[OXLO_LRU_BITTORRENT];
    if (cache && !s->cache_checked) {
        s->cache_checked = 1;
        uint16_t value = 0;
        const uint32_t now = uint32_t(f->last_seen_ms / 1000);
        if (oxlo_lru_table_find(cache, endpoint_key(f, true, 0), &value, 0, now) ||
            oxlo_lru_table_find(cache, endpoint_key(f, false, 0), &value, 0, now) ||
            oxlo_lru_table_find(cache, mining_address_pair_key(f), &value, 0, now)) {
            found(m, f, s, false, OXLO_CONFIDENCE_DPI_CACHE);
            return;
        }
    }
    OXLO_EXCLUDE(m, f);
}

/* "info_hash=" followed by 20 characters, "%XX" counting as one. */
bool info_hash_param(const oxlo_reader &line)
{
    const ptrdiff_t at = oxlo_rd_find(&line, 0, "info_hash=", 0);
    if (at < 0)
        return false;
    size_t i = size_t(at) + 10;
    for (int n = 0; n < 20; n++) {
        if (i >= line.length || oxlo_rd_peek8(&line, i) < 0x21 || oxlo_rd_peek8(&line, i) > 0x7E)
            return false;
        if (oxlo_rd_peek8(&line, i) == '%') {
            if (i + 2 >= line.length || !isxdigit(oxlo_rd_peek8(&line, i + 1)) || !isxdigit(oxlo_rd_peek8(&line, i + 2)))
                return false;
            i += 3;
        } else {
            i++;
        }
    }
    return true;
}

bool http_request(oxlo_module *m, oxlo_flow_state *f, const oxlo_reader &p)
{
    if (p.length > 23 && oxlo_rd_match(&p, 0, "GET /webseed?info_hash=", 0))
        return true;
    if (p.length > 60 && oxlo_rd_match(&p, 0, "GET /data?fid=", 0) && oxlo_rd_contains(&p, "&size=", 0))
        return true;
    if (p.length <= 90 || !(oxlo_rd_match(&p, 0, "GET ", 0) || oxlo_rd_match(&p, 0, "POST ", 0)))
        return false;
    oxlo_parse_payload_lines(m, f);
    uint16_t line_count = 0;
    const oxlo_line_table &t = *oxlo_dissector_lines(m, &line_count);
    const oxlo_reader ua = oxlo_reader_make(t.user_agent.ptr, t.user_agent.ptr ? t.user_agent.len : 0);
    if (oxlo_rd_match(&ua, 0, "Azureus ", 0) || oxlo_rd_match(&ua, 0, "BitTorrent", 0) ||
        oxlo_rd_match(&ua, 0, "BTWebClient", 0))
        return true;
    if (oxlo_rd_match(&ua, 0, "Shareaza ", 0) && line_count > 8 && oxlo_rd_contains(&p, "X-Queue: ", 0))
        return true;
    const oxlo_reader line0 = oxlo_reader_make(t.line[0].ptr, t.line[0].ptr ? t.line[0].len : 0);
    return info_hash_param(line0);
}

const uint8_t binary_pattern_a[] = {0x4C, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0x57, 0, 0, 0, 0, 0, 0, 0};
const uint8_t binary_pattern_b[] = {0x28, 0x23, 0, 0, 1, 0, 0, 0};

void search_tcp(oxlo_module *m, oxlo_flow_state *f, bittorrent_state *s, const oxlo_packet_view &pkt)
{
    const oxlo_reader &p = pkt.payload;
    /* A handshake cut inside its name waits for the rest of the name. */
    uint8_t name_length = 0;
    if (p.length <= HANDSHAKE_NAME + NAME_LENGTH && oxlo_rd_u8_at(&p, HANDSHAKE_NAME_LENGTH, &name_length) &&
        name_length == NAME_LENGTH &&
        (p.length == HANDSHAKE_NAME || oxlo_rd_match_n(&p, HANDSHAKE_NAME, PROTOCOL_NAME, p.length - HANDSHAKE_NAME, 0)) &&
        oxlo_framing::wait_for(m, f, pkt, HANDSHAKE_NAME + NAME_LENGTH + 1))
        return;
    if (p.length < 2)
        return;
    if (!(f->flags_a & OXLO_FLOW_IPV6)) {
        static const uint8_t broadcast[4] = {0xFF, 0xFF, 0xFF, 0xFF};
        if (!memcmp(f->client_address, broadcast, 4) || !memcmp(f->server_address, broadcast, 4)) {
            OXLO_EXCLUDE(m, f);
            return;
        }
    }
    if (pkt.payload_packets == 2 && oxlo_rd_match(&p, 0, PROTOCOL_NAME, 0)) {
        found(m, f, s, true, OXLO_CONFIDENCE_DPI);
        return;
    }
    if (p.length > NAME_LENGTH + 1 && oxlo_rd_peek8(&p, HANDSHAKE_NAME_LENGTH) == NAME_LENGTH &&
        oxlo_rd_match(&p, HANDSHAKE_NAME, PROTOCOL_NAME, 0)) {
        found(m, f, s, true, OXLO_CONFIDENCE_DPI);
        return;
    }
    uint32_t v16 = 0, v60 = 0;
    if (http_request(m, f, p) ||
        (p.length == 80 && oxlo_rd_match_n(&p, 0, reinterpret_cast<const char *>(binary_pattern_a), 16, 0) &&
         oxlo_rd_le32_at(&p, 16, &v16) && v16 == 32 &&
         oxlo_rd_match_n(&p, 52, reinterpret_cast<const char *>(binary_pattern_b), 8, 0) &&
         oxlo_rd_le32_at(&p, 60, &v60) && v60 == 16)) {
        found(m, f, s, false, OXLO_CONFIDENCE_DPI);
        return;
    }
    if (pkt.payload_packets > 5)
        skip(m, f, s);
}

/* A uTP header: version 1, a known type, extensions ending in the payload,
 * a connection id and a timestamp. */
bool utp(const oxlo_packet_view &pkt)
{
    const oxlo_reader &p = pkt.payload;
    uint8_t b0 = 0, ext = 0;
    if (p.length < UTP_HEADER || !oxlo_rd_u8_at(&p, UTP_TYPE_VERSION, &b0) || (b0 & 0x0F) != 1 || (b0 >> 4) > 4 ||
        !oxlo_rd_u8_at(&p, UTP_EXTENSION, &ext) || ext > 2)
        return false;
    size_t at = UTP_HEADER;
    for (int n = 0; ext != 0 && n < 5; n++) {
        uint8_t next = 0, length = 0;
        if (!oxlo_rd_u8_at(&p, at, &next) || next > 2 || !oxlo_rd_u8_at(&p, at + 1, &length) ||
            at + 2 + length > p.length)
            return false;
        ext = next;
        at += 2 + size_t(length);
    }
    uint16_t connection = 0;
    uint32_t timestamp = 0;
    return oxlo_rd_u16_at(&p, UTP_CONNECTION_ID, &connection) && connection != 0 &&
           oxlo_rd_u32_at(&p, UTP_TIMESTAMP, &timestamp) && timestamp != 0;
}

void search_udp(oxlo_module *m, oxlo_flow_state *f, bittorrent_state *s, const oxlo_packet_view &pkt)
{
    const oxlo_reader &p = pkt.payload;
    auto port_is = [&](uint16_t lo, uint16_t hi) {
        return (pkt.src_port >= lo && pkt.src_port <= hi) || (pkt.dst_port >= lo && pkt.dst_port <= hi);
    };
    if (port_is(3544, 3544) || port_is(5246, 5247)) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    if (pkt.src_port < 1024 || pkt.dst_port < 1024) {
        skip(m, f, s);
        return;
    }
    if ((p.length >= 23 && oxlo_rd_match(&p, 0, "BT-SEARCH * HTTP/1.1\r\n", 0)) ||
        (p.length >= 13 && oxlo_rd_match(&p, 0, "d1:ad2:id20:", 0))) {
        found(m, f, s, false, OXLO_CONFIDENCE_DPI);
        return;
    }
    if (p.length >= UTP_HEADER && utp(pkt)) {
        const uint8_t type = oxlo_rd_peek8(&p, UTP_TYPE_VERSION) >> 4;
        const bool handshake = oxlo_rd_find(&p, UTP_HEADER, PROTOCOL_NAME, 0) >= 0;
        if (type != 0 /* DATA */ || handshake || pkt.payload_packets >= 3) {
            found(m, f, s, handshake, OXLO_CONFIDENCE_DPI);
            return;
        }
    }
    if (p.length >= 20 && s->udp_attempts < 4) {
        s->udp_attempts++;
        for (const char *t : {":target20:", ":find_node1:", "d1:ad2:id20:", ":info_hash20:", ":filter64", "d1:rd2:id20:"})
            if (oxlo_rd_contains(&p, t, 0)) {
                found(m, f, s, false, OXLO_CONFIDENCE_DPI);
                return;
            }
        if (oxlo_rd_contains(&p, PROTOCOL_NAME, 0)) {
            found(m, f, s, true, OXLO_CONFIDENCE_DPI);
            return;
        }
    } else if (s->udp_attempts >= 4) {
        skip(m, f, s);
        return;
    }
    if (pkt.payload_packets > 5)
        skip(m, f, s);
}

void search_bittorrent(oxlo_module *m, oxlo_flow_state *f)
{
    bittorrent_state *s = state_of(m, f, 1);
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

int bittorrent_json(oxlo_module *, const oxlo_flow_state *f, oxlo_recbuf *out)
{
    const void *st = oxlo_flow_slot_state(f, OXLO_DISSECTOR_bittorrent);
    char hex[41] = "";
    if (st && static_cast<const bittorrent_state *>(st)->have_hash) {
        const uint8_t *h = static_cast<const bittorrent_state *>(st)->hash;
        bool zero = true;
        for (int i = 0; i < 20; i++)
            zero = zero && h[i] == 0;
        for (int i = 0; !zero && i < 20; i++)
            snprintf(hex + 2 * i, 3, "%02x", h[i]);
    }
    int rc = oxlo_recbuf_open_block(out, "bittorrent");
    rc |= oxlo_recbuf_put_text(out, "hash", hex);
    rc |= oxlo_recbuf_close_block(out);
    return rc ? -1 : 0;
}

const uint16_t protocols[] = {OXLO_PROTOCOL_BITTORRENT};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_bittorrent = {
    "BitTorrent", search_bittorrent,
    OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP_OR_UDP, protocols, 1,
    sizeof(bittorrent_state), nullptr, bittorrent_json,
};
} // extern "C"
