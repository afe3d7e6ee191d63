/* KakaoTalk voice calls: short UDP media packets whose first bytes carry
 * one of a few marks (0x81 first, 0xC8 second, a zero third or 12 fourth).
 * The marks alone are common, so a packet counts only when one end of the
 * flow lies in the service's network, as the address tables know it. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_hosts.h"
#include "oxlo_private.h"

#include <cstring>

namespace {


bool kakao(uint16_t id) { return id == OXLO_PROTOCOL_KAKAOTALK || id == OXLO_PROTOCOL_KAKAOTALK_VOICE; }

/* The server side was looked up when the flow began; the client side is
 * looked up here, since a call relay may well be the one that sent first. */
bool in_service_network(oxlo_module *m, const oxlo_flow_state *f)
{
    if (kakao(f->guess_by_address))
        return true;
    uint32_t client = 0;
    memcpy(&client, f->client_address, 4);
    return kakao(oxlo_protocol_by_ipv4(m, client));
}

void search_kakaotalk_voice(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    const bool marked = oxlo_rd_peek8(&p, 0) == 0x81 || oxlo_rd_peek8(&p, 1) == 0xC8 || oxlo_rd_peek8(&p, 2) == 0 || oxlo_rd_peek8(&p, 3) == 12;
    if (!pkt.ipv6 && p.length > 3 && marked && in_service_network(m, f))
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_KAKAOTALK_VOICE, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_KAKAOTALK_VOICE};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_kakaotalk_voice = {
    "KakaoTalk_Voice", search_kakaotalk_voice, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD,
    protocols, 1, 0, nullptr, nullptr,
};
} // extern "C"
