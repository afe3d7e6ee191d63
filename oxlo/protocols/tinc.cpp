/* tinc 1.0's meta connection (TCP) opens with ID lines "0 <name> 17" and
 * METAKEY lines "1 <numbers> <hex key>", one or more to a segment; a
 * connection whose meta exchange was seen remembers the server, and a later
 * UDP flow between the same hosts on that port is tinc's data channel. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_lru.h"
#include "oxlo_private.h"

#include <cctype>
#include <cstring>

namespace {


constexpr uint32_t CACHE_SIZE = 64;

struct tinc_state {
    uint8_t lines; /* meta lines seen, 0-3 */
};

/* "0 name 17\n" (tinc 1.0's protocol version 17). */
bool id_line(const oxlo_reader &p)
{
    if (p.length < 7 || !oxlo_rd_match(&p, 0, "0 ", 0) || !oxlo_rd_ends(&p, " 17\n"))
        return false;
    for (size_t i = 2; i < p.length - 4; i++)
        if (oxlo_rd_peek8(&p, i) == ' ' || oxlo_rd_peek8(&p, i) < 0x21 || oxlo_rd_peek8(&p, i) > 0x7E)
            return false;
    return true;
}

/* "1 <n> <n> <n> [<n>] <HEX>\n": the METAKEY line; tinc 1.0 writes four
 * numbers (cipher, digest, MAC length, compression), so three or more are
 * taken. */
bool metakey_line(const oxlo_reader &p)
{
    if (p.length <= 11 || !oxlo_rd_match(&p, 0, "1 ", 0) || !oxlo_rd_ends(&p, "\n"))
        return false;
    size_t at = 2;
    int numbers = 0;
    while (at < p.length) {
        const size_t start = at;
        while (at < p.length && isdigit(oxlo_rd_peek8(&p, at)))
            at++;
        if (at == start || at >= p.length || oxlo_rd_peek8(&p, at) != ' ')
            break;
        numbers++;
        at++;
    }
    if (numbers < 3)
        return false;
    size_t hex = 0;
    for (size_t i = at; i < p.length - 1; i++, hex++)
        if (!isdigit(oxlo_rd_peek8(&p, i)) && !(oxlo_rd_peek8(&p, i) >= 'A' && oxlo_rd_peek8(&p, i) <= 'F'))
            return false;
    return hex > 0;
}

/* The longest meta line waited for: a METAKEY line carries the key in hex
 * (1,024 digits for a 4,096-bit key). */
constexpr size_t LINE_MAX = 2048;

/* Could `rest` (a line without its end yet) start a meta line? The flow's
 * first is an ID ("0 "), later ones IDs or METAKEYs ("1 "). */
bool line_start(const oxlo_reader &rest, const tinc_state *s)
{
    uint8_t first = 0, second = ' ';
    if (!oxlo_rd_u8_at(&rest, 0, &first) || (first != '0' && (s->lines == 0 || first != '1')))
        return false;
    oxlo_rd_u8_at(&rest, 1, &second);
    return second == ' ' && rest.length < LINE_MAX;
}

enum class lines_end { bad, whole, cut };

/* The meta lines of the view, counted into s->lines (up to 3) and read
 * through *at. The answering daemon writes its ID and its METAKEY at once,
 * but a sender may cut a line anywhere: a cut last line is read once its
 * end has come. */
lines_end meta_lines(const oxlo_reader &p, tinc_state *s, size_t *at)
{
    *at = 0;
    while (*at < p.length && s->lines < 3) {
        const ptrdiff_t nl = oxlo_rd_find_byte(&p, *at, '\n');
        if (nl < 0)
            return line_start(oxlo_rd_from(&p, *at), s) ? lines_end::cut : lines_end::bad;
        const oxlo_reader line = oxlo_rd_sub_at(&p, *at, size_t(nl) - *at + 1);
        if (!(s->lines == 0 ? id_line(line) : (id_line(line) || metakey_line(line))))
            return lines_end::bad;
        s->lines++;
        *at = size_t(nl) + 1;
    }
    return lines_end::whole;
}

/* (one address, other address, port): 10 bytes for IPv4. */
void cache_key(const oxlo_module *m, bool reverse, uint16_t port, uint8_t key[10])
{
    const oxlo_reader ip = oxlo_dissector_ip(m, 4);
    memcpy(key, oxlo_rd_bytes_at(&ip, reverse ? 16 : 12, 4), 4);
    memcpy(key + 4, oxlo_rd_bytes_at(&ip, reverse ? 12 : 16, 4), 4);
    key[8] = uint8_t(port >> 8);
    key[9] = uint8_t(port);
}

void search_tinc(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    if (!oxlo_dissector_ip(m, 4).length) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    if (pkt.l4 == OXLO_L4_UDP) {
        uint8_t a[10], b[10];
        cache_key(m, false, pkt.dst_port, a);
        cache_key(m, true, pkt.src_port, b);
        if (m->tinc_cache && (string_lru_cache_contains(m->tinc_cache, a, 10) ||
                              string_lru_cache_contains(m->tinc_cache, b, 10))) {
            string_lru_cache_remove(m->tinc_cache, a, 10);
            string_lru_cache_remove(m->tinc_cache, b, 10);
            oxlo_flow_set_protocol(m, f, OXLO_PROTOCOL_TINC, OXLO_PROTOCOL_UNKNOWN, OXLO_CONFIDENCE_DPI_CACHE);
            return;
        }
        OXLO_EXCLUDE(m, f);
        return;
    }
    tinc_state *s = static_cast<tinc_state *>(oxlo_dissector_state(m, f));
    size_t at = 0;
    const lines_end end = s ? meta_lines(pkt.payload, s, &at) : lines_end::bad;
    if (end == lines_end::bad) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    if (s->lines < 3) {
        oxlo_dissector_consume(m, f, at);
        if (end == lines_end::cut && oxlo_dissector_need(m, f, pkt.payload.length - at + 1) != 0)
            OXLO_EXCLUDE(m, f); /* a line the engine cannot keep */
        return;
    }
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_TINC, OXLO_PROTOCOL_UNKNOWN);
    if (!m->tinc_cache)
        m->tinc_cache = string_lru_cache_new(CACHE_SIZE);
    if (m->tinc_cache) {
        /* The server's side: client address, server address, server port. */
        const bool to_server = pkt.from_client;
        uint8_t key[10];
        cache_key(m, !to_server, to_server ? pkt.dst_port : pkt.src_port, key);
        string_lru_cache_add(m->tinc_cache, key, 10);
    }
}

const uint16_t protocols[] = {OXLO_PROTOCOL_TINC};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_tinc = {
    "TINC", search_tinc, OXLO_SEL_IPV4 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP_OR_UDP,
    protocols, 1, sizeof(tinc_state), nullptr, nullptr,
};
} // extern "C"
