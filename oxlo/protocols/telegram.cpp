/* Telegram. Its TCP connections are encrypted from the first byte, so they
 * are known by the service's addresses; its UDP calls on ports 500 to 600
 * carry a run of exactly twelve 0xFF bytes near their start. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_private.h"
#include "protocols/media_private.h"

namespace {

void search_telegram(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    if (pkt.l4 == OXLO_L4_TCP) {
        if (f->guess_by_address == OXLO_PROTOCOL_TELEGRAM)
            oxlo_flow_set_protocol(m, f, OXLO_PROTOCOL_TELEGRAM, OXLO_PROTOCOL_UNKNOWN, OXLO_CONFIDENCE_MATCH_BY_IP);
        else
            OXLO_EXCLUDE(m, f);
        return;
    }
    const oxlo_reader &p = pkt.payload;
    const bool ports = (pkt.src_port >= 500 && pkt.src_port <= 600) || (pkt.dst_port >= 500 && pkt.dst_port <= 600);
    if (p.length <= 39 || !ports) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    const ptrdiff_t first = oxlo_rd_find_byte(&p, 0, 0xFF);
    if (first < 0)
        return;
    size_t run = 0;
    while (size_t(first) + run < p.length && oxlo_rd_peek8(&p, size_t(first) + run) == 0xFF)
        run++;
    if (run == 12) {
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_TELEGRAM, OXLO_PROTOCOL_UNKNOWN);
        /* The call's STUN messages follow behind the same marker. */
        stun_extra_dissection_start(m, f, 0);
    } else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_TELEGRAM};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_telegram = {
    "Telegram", search_telegram, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP_OR_UDP,
    protocols, 1, 0, nullptr, nullptr,
};

/* Shorter first datagrams fail the length test search_telegram starts with, whatever
 * their bytes, and end in its exclusion alone. */
extern const uint16_t oxlo_dissector_shortest_telegram = 40;
} // extern "C"
