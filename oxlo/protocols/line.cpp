/* LINE voice and video calls over UDP. Towards the service's own relays a
 * handful of fixed packet forms name the call at once. Elsewhere (calls
 * go peer to peer too) each direction runs a sequence number in byte 3
 * that grows by one per packet from a start of its own; the call is named
 * once both directions have followed it four times. Media packets of the
 * call may sit in between: those that look like RTP or RTCP need not
 * follow the sequence, for a while. */
#include "oxlo_dissector.h"
#include "oxlo_dissector_slots.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_private.h"
#include "protocols/media_private.h"

#include <initializer_list>

namespace {


struct line_state {
    uint8_t base[2];   /* byte 3 of the first packet, per direction */
    uint32_t count[2]; /* packets that followed the sequence, the first included */
};

/* RTP or RTCP packets that break the sequence are let through this long. */
constexpr uint16_t MEDIA_PACKETS = 9;
constexpr uint32_t NAMED_AT = 4;

bool high_nibble_in(uint8_t v, std::initializer_list<uint8_t> nibbles)
{
    for (uint8_t n : nibbles)
        if ((v >> 4) == n)
            return true;
    return false;
}

/* The forms seen towards the service's relays. */
bool relay_form(const oxlo_reader &p)
{
    const size_t n = p.length;
    const uint32_t head = uint32_t(oxlo_rd_peek32(&p, 0));
    if ((n == 110 && head == 0xB618006A) || (n == 8 && head == 0xB6070004) || (n == 16 && head == 0xB609000C) ||
        (n == 46 && head == 0xB6070006))
        return true;
    const uint8_t b0 = oxlo_rd_peek8(&p, 0), b1 = oxlo_rd_peek8(&p, 1);
    if (n >= 2 && n <= 149 && b0 == 0xD0 && (b1 == 0xDA || b1 == 0xDB || b1 == 0xB3 || b1 == 0xB4))
        return true;
    const bool tail = oxlo_rd_peek16(&p, 4) == 0x0602;
    if (n >= 150 && (b0 == 0xD8 || b0 == 0xD9) && high_nibble_in(b1, {0x9, 0xD, 0xE}) && tail)
        return true;
    return n >= 738 && (b0 == 0xDA || b0 == 0xDB) && tail;
}

void named(oxlo_module *m, oxlo_flow_state *f)
{
    oxlo_flow_set_protocol(m, f, OXLO_PROTOCOL_UNKNOWN, OXLO_PROTOCOL_LINECALL, OXLO_CONFIDENCE_DPI);
}

void search_line(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    if (!pkt.ipv6 && f->guess_by_address == OXLO_PROTOCOL_LINE && relay_form(p)) {
        named(m, f);
        return;
    }
    line_state *s = static_cast<line_state *>(oxlo_dissector_state(m, f));
    if (!s || p.length < 11) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    const bool media = rtp_or_rtcp_check(&p, nullptr) != 0;
    if (media && pkt.payload_packets > MEDIA_PACKETS) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    const int d = pkt.direction;
    const uint8_t seq = oxlo_rd_peek8(&p, 3);
    if (s->count[d] == 0) {
        s->base[d] = seq;
        s->count[d] = 1;
    } else if (seq == uint8_t(s->base[d] + s->count[d])) {
        s->count[d]++;
    } else {
        if (!media)
            OXLO_EXCLUDE(m, f);
        return;
    }
    if (s->count[0] < NAMED_AT || s->count[1] < NAMED_AT)
        return;
    if (s->base[0] == s->base[1])
        OXLO_EXCLUDE(m, f);
    else
        named(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_LINECALL};

} // namespace

extern "C" {

int line_sequence_followed_both_ways(const oxlo_flow_state *flow)
{
    const line_state *s = static_cast<const line_state *>(oxlo_flow_slot_state(flow, OXLO_DISSECTOR_line));
    return s && s->count[0] >= 2 && s->count[1] >= 2;
}

extern const oxlo_dissector_def oxlo_dissector_def_line = {
    "LineCall", search_line, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD,
    protocols, 1, sizeof(line_state), nullptr, nullptr,
};

} // extern "C"
