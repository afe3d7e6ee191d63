/* SOCKS 4 and 5. A SOCKS4 request (04 01/02 ... NUL) is answered with 8
 * bytes 00 5A..5D; a SOCKS5 greeting (05, a method count, the methods) is
 * answered with 05 and the chosen method, one the client offered (FF, no
 * acceptable method, refuses the client). */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

/* SOCKS4: version (4), command, port, address, the user id up to a NUL;
 * the answer: a null byte, the status (0x5A-0x5D), port and address.
 * SOCKS5's greeting: version (5), the method count, the methods; the answer
 * the version and the method chosen. */
constexpr size_t SOCKS_VERSION = 0, SOCKS4_COMMAND = 1, SOCKS4_STATUS = 1, SOCKS5_METHOD_COUNT = 1,
                 SOCKS5_METHOD = 1, SOCKS5_METHODS = 2;
constexpr size_t SOCKS4_ANSWER_SIZE = 8, SOCKS5_ANSWER_SIZE = 2;

struct socks_state {
    uint8_t socks4_side, socks5_side; /* 0 none, else the direction + 1 */
    uint64_t socks5_methods;          /* methods 0..63 the greeting offered */
};

void search_socks(oxlo_module *m, oxlo_flow_state *f)
{
    socks_state *s = static_cast<socks_state *>(oxlo_dissector_state(m, f));
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    if (!s || pkt.payload_packets > 10) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    const uint8_t side = uint8_t(pkt.direction + 1);
    uint8_t b0 = 0, b1 = 0, last = 1;
    static_assert(SOCKS4_COMMAND == SOCKS4_STATUS && SOCKS4_STATUS == SOCKS5_METHOD_COUNT &&
                      SOCKS5_METHOD_COUNT == SOCKS5_METHOD,
                  "one byte read for all");
    oxlo_rd_u8_at(&p, SOCKS_VERSION, &b0);
    oxlo_rd_u8_at(&p, SOCKS4_COMMAND, &b1);
    oxlo_rd_u8_at(&p, p.length - 1, &last);
    if (s->socks4_side && s->socks4_side != side) {
        if (p.length == SOCKS4_ANSWER_SIZE && b0 == 0 && b1 >= 0x5A && b1 <= 0x5D) {
            oxlo_dissector_classify(m, f, OXLO_PROTOCOL_SOCKS, OXLO_PROTOCOL_UNKNOWN);
            return;
        }
        s->socks4_side = 0;
    }
    if (s->socks5_side && s->socks5_side != side) {
        if (p.length == SOCKS5_ANSWER_SIZE && b0 == 5 && b1 < 64 && (s->socks5_methods >> b1) & 1) {
            oxlo_dissector_classify(m, f, OXLO_PROTOCOL_SOCKS, OXLO_PROTOCOL_UNKNOWN);
            return;
        }
        s->socks5_side = 0;
    }
    if (p.length > SOCKS4_ANSWER_SIZE && b0 == 4 && (b1 == 1 || b1 == 2) && last == 0)
        s->socks4_side = side;
    /* Any method list: curl with credentials offers 05 03 00 01 02. */
    else if (b0 == 5 && b1 >= 1 && p.length == size_t(b1) + SOCKS5_METHODS) {
        s->socks5_side = side;
        s->socks5_methods = 0;
        for (size_t i = SOCKS5_METHODS; i < p.length; i++) {
            uint8_t method = 0xFF;
            oxlo_rd_u8_at(&p, i, &method);
            if (method < 64)
                s->socks5_methods |= uint64_t(1) << method;
        }
    }
}

const uint16_t protocols[] = {OXLO_PROTOCOL_SOCKS};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_socks45 = {
    "SOCKS", search_socks, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP,
    protocols, 1, sizeof(socks_state), nullptr, nullptr,
};
} // extern "C"
