/* memcached's text protocol: commands and replies are words at the start
 * of a line; over UDP each datagram starts with an 8-byte frame header. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

struct memcached_state {
    uint8_t matches;
};

/* The UDP frame header: request id, sequence number, the datagram count,
 * a reserved field; the text follows the 8 bytes. */
constexpr size_t UDP_DATAGRAMS = 4, UDP_RESERVED = 6, UDP_HEADER = 8, UDP_MIN = 13;

const char *const tokens[] = {"set ", "add ", "replace ", "append ", "prepend ", "cas ", "get ", "gets ", "delete ",
                              "incr ", "decr ", "touch ", "gat ", "gats ", "stats", "ERROR\r\n", "CLIENT_ERROR ",
                              "SERVER_ERROR ", "STORED\r\n", "NOT_STORED\r\n", "EXISTS\r\n", "NOT_FOUND\r\n",
                              "END\r\n", "DELETED\r\n", "TOUCHED\r\n", "STAT "};

void search_memcached(oxlo_module *m, oxlo_flow_state *f)
{
    memcached_state *s = static_cast<memcached_state *>(oxlo_dissector_state(m, f));
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    oxlo_reader p = pkt.payload;
    if (!s || (pkt.l4 == OXLO_L4_TCP && p.length < 5)) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    if (pkt.l4 == OXLO_L4_UDP) {
        uint16_t total = 0, reserved = 1;
        if (p.length < UDP_MIN || !oxlo_rd_u16_at(&p, UDP_DATAGRAMS, &total) || total == 0 ||
            !oxlo_rd_u16_at(&p, UDP_RESERVED, &reserved) || reserved != 0) {
            OXLO_EXCLUDE(m, f);
            return;
        }
        p = oxlo_rd_from(&p, UDP_HEADER);
    }
    for (const char *t : tokens)
        if (oxlo_rd_match(&p, 0, t, 0)) {
            if (++s->matches >= 2) {
                oxlo_dissector_classify(m, f, OXLO_PROTOCOL_MEMCACHED, OXLO_PROTOCOL_UNKNOWN);
                return;
            }
            break;
        }
    if (pkt.payload_packets > 5)
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_MEMCACHED};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_memcached = {
    "MEMCACHED", search_memcached, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP_OR_UDP,
    protocols, 1, sizeof(memcached_state), nullptr, nullptr,
};

/* Shorter first datagrams fail the length test search_memcached starts with, whatever
 * their bytes, and end in its exclusion alone. */
extern const uint16_t oxlo_dissector_shortest_memcached = UDP_MIN;
} // extern "C"
