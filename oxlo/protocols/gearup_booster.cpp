/* GearUP Booster, the game accelerator: over TCP its framed messages (a
 * length prefix, type 8) in a set pattern over the first packets; over UDP
 * the short keep-alives to its port 9999. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

bool framed(const oxlo_reader &p)
{
    uint32_t length = 0;
    uint8_t type = 0;
    return oxlo_rd_u32_at(&p, 0, &length) && uint64_t(length) + 4 == p.length && oxlo_rd_u8_at(&p, 4, &type) && type == 8;
}

bool session_bytes(const oxlo_reader &p)
{
    return oxlo_rd_match_n(&p, 7, "\x05\x10", 2, 0) && oxlo_rd_match_n(&p, 13, "\x20\x00", 2, 0);
}

void search_tcp(oxlo_module *m, oxlo_flow_state *f, const oxlo_packet_view &pkt)
{
    const oxlo_reader &p = pkt.payload;
    uint8_t type = 0, b5 = 0;
    if (p.length < 16) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    const uint16_t n = pkt.payload_packets;
    if (n <= 3 && !framed(p)) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    if (n <= 2) {
        if (p.length <= 128 && oxlo_rd_u8_at(&p, 5, &b5) && b5 == 1)
            return;
    } else if (n == 3) {
        if (session_bytes(p))
            return;
    } else if (oxlo_rd_u8_at(&p, 4, &type) && type == 8 && session_bytes(p)) {
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_GEARUP_BOOSTER, OXLO_PROTOCOL_UNKNOWN);
        return;
    }
    OXLO_EXCLUDE(m, f);
}

void search_udp(oxlo_module *m, oxlo_flow_state *f, const oxlo_packet_view &pkt)
{
    const oxlo_reader &p = pkt.payload;
    bool ok = pkt.src_port == 9999 || pkt.dst_port == 9999;
    if (ok && pkt.payload_packets == 1)
        ok = pkt.from_client && pkt.dst_port == 9999;
    uint32_t head = 0;
    static const char zeros[3] = {0};
    ok = ok && ((p.length == 4 && oxlo_rd_u32_at(&p, 0, &head) && head != 0) ||
                (p.length == 8 && oxlo_rd_u32_at(&p, 0, &head) && head != 0 && oxlo_rd_match_n(&p, 5, zeros, 3, 0)));
    if (ok)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_GEARUP_BOOSTER, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

void search(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    if (pkt.l4 == OXLO_L4_TCP)
        search_tcp(m, f, pkt);
    else
        search_udp(m, f, pkt);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_GEARUP_BOOSTER};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_gearup_booster = {
    "GeaUP_Booster", search, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP_OR_UDP | OXLO_SEL_PAYLOAD, protocols, 1, 0, nullptr, nullptr,
};
} // extern "C"
