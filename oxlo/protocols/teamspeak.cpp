/* TeamSpeak: the UDP connection opens with "TS3INIT1", the TCP one with a
 * F4 BE 0x 00 header. Its short UDP keep-alive and acknowledgement forms
 * (01 ?? ?? 01 / 01 ?? ?? 02) are common shapes, so they only name the flow
 * once it has reached its third packet without a stray one. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {


enum class verdict { yes, later, no };

verdict udp_form(const oxlo_reader &p)
{
    if (p.length > 19 && oxlo_rd_match_n(&p, 0, "TS3INIT1", 8, 0))
        return verdict::yes;
    if (oxlo_rd_peek8(&p, 0) != 0x01)
        return verdict::no;
    const uint8_t kind = oxlo_rd_peek8(&p, 3);
    if (p.length == 16 && kind == 0x02 && oxlo_rd_match_n(&p, 11, "\0\0\0\0\0", 5, 0))
        return verdict::later;
    if ((p.length == 4 || p.length == 8) && kind == 0x01)
        return verdict::later;
    if (p.length == 5 && kind == 0x02 && oxlo_rd_peek8(&p, 4) == 0)
        return verdict::later;
    return verdict::no;
}

bool tcp_form(const oxlo_reader &p)
{
    return p.length > 19 && (oxlo_rd_match_n(&p, 0, "\xF4\xBE\x03\x00", 4, 0) || oxlo_rd_match_n(&p, 0, "\xF4\xBE\x02\x00", 4, 0) ||
                             oxlo_rd_match_n(&p, 0, "\xF4\xBE\x01\x00", 4, 0));
}

void search_teamspeak(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    verdict v = verdict::no;
    if (pkt.l4 == OXLO_L4_UDP)
        v = udp_form(pkt.payload);
    else if (pkt.l4 == OXLO_L4_TCP && tcp_form(pkt.payload))
        v = verdict::yes;
    if (v == verdict::later && pkt.packets >= 3)
        v = verdict::yes;
    if (v == verdict::yes)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_TEAMSPEAK, OXLO_PROTOCOL_UNKNOWN);
    else if (v == verdict::no)
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_TEAMSPEAK};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_teamspeak = {
    "TeamSpeak", search_teamspeak,
    OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP_OR_UDP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, 0, nullptr, nullptr,
};
} // extern "C"
