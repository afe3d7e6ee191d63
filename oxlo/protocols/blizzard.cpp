/* Blizzard's games and launcher: fixed-size UDP messages (two more when the
 * addresses already say Blizzard), and over TCP its length-framed messages,
 * the World of Warcraft greeting and the pro-client hello. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_private.h"

namespace {

const char udp_hello[23] = {char(0xFF), char(0xFF), char(0xFF), char(0xFF), char(0xA3), 0x1F, char(0xB6), 0x1E, 0, 0, 0x40, 0x01,
                            0, 0, 0, 0, 0, 0, 0, 0x04, 0x03, 0x02, 0x01};
const char zeros[16] = {0};

void search_udp(oxlo_module *m, oxlo_flow_state *f, const oxlo_packet_view &pkt, bool guessed)
{
    const oxlo_reader &p = pkt.payload;
    uint32_t one = 0;
    uint8_t b14 = 0;
    const bool ok = (p.length == 18 && oxlo_rd_le32_at(&p, 14, &one) && one == 1) ||
                    (p.length == 15 && oxlo_rd_u8_at(&p, 14, &b14) && b14 == 1) ||
                    (p.length == 23 && oxlo_rd_match_n(&p, 0, udp_hello, sizeof udp_hello, 0)) ||
                    (guessed && p.length == 40 && oxlo_rd_match_n(&p, 17, zeros, 4, 0)) ||
                    (guessed && p.length == 50 && (oxlo_rd_match_n(&p, 32, zeros, 16, 0) || oxlo_rd_match_n(&p, 0, zeros, 16, 0)));
    if (ok)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_BLIZZARD, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

void search_tcp(oxlo_module *m, oxlo_flow_state *f, const oxlo_packet_view &pkt, bool guessed)
{
    const oxlo_reader &p = pkt.payload;
    const uint16_t server_port = pkt.from_client ? pkt.dst_port : pkt.src_port;
    const bool launcher = guessed && server_port == 1119;
    if (launcher && pkt.from_client && p.length == 2 && oxlo_rd_match_n(&p, 0, "\x52\x08", 2, 0)) {
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_BLIZZARD, OXLO_PROTOCOL_UNKNOWN);
        return;
    }
    uint32_t length = 0;
    uint8_t end = 1;
    if (p.length > 7 && oxlo_rd_le32_at(&p, 4, &length) && uint64_t(length) + 8 == p.length) {
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_BLIZZARD, OXLO_PROTOCOL_UNKNOWN);
        return;
    }
    if (p.length > 27 && oxlo_rd_match(&p, 0, "WORLD OF WARCRAFT CONNECTION", 0)) {
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_WORLDOFWARCRAFT, OXLO_PROTOCOL_UNKNOWN);
        return;
    }
    if (p.length == 17 && (oxlo_rd_match(&p, 0, "HELLO PRO CLIENT", 0) || oxlo_rd_match(&p, 0, "HELLO PRO SERVER", 0)) &&
        oxlo_rd_u8_at(&p, 16, &end) && end == 0) {
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_BLIZZARD, OXLO_PROTOCOL_UNKNOWN);
        return;
    }
    /* On the launcher port the client's first message may come split. */
    if (launcher && pkt.payload_packets_dir[pkt.direction] == 1)
        return;
    OXLO_EXCLUDE(m, f);
}

void search(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const bool guessed = f->guess_by_address == OXLO_PROTOCOL_BLIZZARD;
    if (pkt.l4 == OXLO_L4_TCP)
        search_tcp(m, f, pkt, guessed);
    else
        search_udp(m, f, pkt, guessed);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_BLIZZARD, OXLO_PROTOCOL_WORLDOFWARCRAFT};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_blizzard = {
    "Blizzard", search, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP_OR_UDP | OXLO_SEL_PAYLOAD, protocols, 2, 0, nullptr, nullptr,
};
} // extern "C"
