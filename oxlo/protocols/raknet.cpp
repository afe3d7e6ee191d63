/* RakNet over UDP: the offline messages of the connection handshake, each
 * trusted only after a few packets of the flow, the connected datagrams
 * whose frames must fill the payload exactly, and the ACK/NAK ranges. A big
 * first packet carrying the offline magic marks the flow, so a flow that
 * then strays still ends up RakNet. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

struct raknet_state {
    uint8_t marked;
};

const char offline_magic[16] = {0x00, char(0xFF), char(0xFF), 0x00, char(0xFE), char(0xFE), char(0xFE), char(0xFE),
                                char(0xFD), char(0xFD), char(0xFD), char(0xFD), 0x12, 0x34, 0x56, 0x78};

/* Size of the address record at off: version 4 and 6 carry their address and
 * port, anything else is three bytes. */
size_t address_size(const oxlo_reader *p, size_t off)
{
    uint8_t version = 0;
    if (!oxlo_rd_u8_at(p, off, &version))
        return 0;
    return version == 4 ? 7 : version == 6 ? 19 : 3;
}

/* Connection request accepted (0x10) and new incoming connection (0x13): one
 * address (0x10 then a system index), ten more, two 8-byte times. */
bool address_list_fits(const oxlo_reader *p, uint8_t id)
{
    size_t off = 1;
    size_t n = address_size(p, off);
    if (!n)
        return false;
    off += n + (id == 0x10 ? 2 : 0);
    for (int i = 0; i < 10; i++) {
        n = address_size(p, off);
        if (!n)
            return false;
        off += n;
    }
    return off + 16 == p->length;
}

/* Frames of a connected datagram from offset 4, each a flags byte (the
 * reliability in the top three bits, bit 4 for split), its length in bits and
 * the fields the reliability calls for; they must end at the payload end. */
bool frames_fill(const oxlo_reader *p)
{
    size_t off = 4;
    if (off >= p->length)
        return false;
    while (off < p->length) {
        uint8_t flags = 0;
        uint16_t bits = 0;
        if (!oxlo_rd_u8_at(p, off, &flags) || (flags & 0x0F) || !oxlo_rd_u16_at(p, off + 1, &bits) || bits < 8)
            return false;
        off += 3;
        const uint8_t reliability = flags >> 5;
        if (reliability == 2 || reliability == 3 || reliability == 4 || reliability == 6 || reliability == 7)
            off += 3; /* reliable message number */
        if (reliability == 1 || reliability == 4)
            off += 3; /* sequenced index */
        if (reliability == 1 || reliability == 3 || reliability == 4 || reliability == 7)
            off += 4; /* ordered index and channel */
        if (flags & 0x10)
            off += 10; /* split count, id and index */
        off += (size_t(bits) + 7) / 8;
        if (off > p->length)
            return false;
    }
    return off == p->length;
}

bool ack_ranges_fill(const oxlo_reader *p)
{
    uint16_t records = 0;
    if (!oxlo_rd_u16_at(p, 1, &records))
        return false;
    size_t off = 3;
    for (uint16_t i = 0; i < records; i++) {
        uint8_t single = 0;
        if (!oxlo_rd_u8_at(p, off, &single))
            return false;
        off += single == 1 ? 4 : 7;
        if (off > p->length)
            return false;
    }
    return off == p->length;
}

bool mtu_ok(const oxlo_reader *p, size_t off)
{
    uint16_t mtu = 0;
    return oxlo_rd_u16_at(p, off, &mtu) && mtu <= 1500;
}

/* The minimum packets an offline message needs (0: it does not fit). */
unsigned offline_needs(const oxlo_reader *p, uint8_t id)
{
    const size_t n = p->length;
    uint8_t b17 = 0xFF, b25 = 0xFF;
    oxlo_rd_u8_at(p, 17, &b17);
    oxlo_rd_u8_at(p, 25, &b25);
    switch (id) {
    case 0x00:
        return n == 8 ? 6 : 0;
    case 0x01:
    case 0x02:
        return n == 32 ? 6 : 0;
    case 0x03:
    case 0x09:
        return n == 16 ? 6 : 0;
    case 0x05:
        return n >= 18 && b17 <= 10 ? 6 : 0;
    case 0x06:
        return n == 28 && b25 <= 1 && mtu_ok(p, 26) ? 4 : 0;
    case 0x07:
        return ((b17 == 4 && n == 34 && mtu_ok(p, 24)) || (b17 == 6 && n == 46 && mtu_ok(p, 36))) ? 3 : 0;
    case 0x08:
        return ((b25 == 4 && n == 35) || (b25 == 6 && n == 47)) ? 3 : 0;
    case 0x10:
    case 0x13:
        return address_list_fits(p, id) ? 3 : 0;
    case 0x15:
    case 0xFE:
        return 8;
    case 0x19:
        return n == 25 && b17 <= 10 ? 3 : 0;
    case 0x1C: {
        uint16_t length = 0;
        return n > 34 && oxlo_rd_u16_at(p, 33, &length) && length != 0 && size_t(length) + 35 == n ? 3 : 0;
    }
    default:
        return 0;
    }
}

void give_up(oxlo_module *m, oxlo_flow_state *f, const raknet_state *s)
{
    if (s->marked)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_RAKNET, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

/* Media counting already started: let RTP decide first. */
bool rtp_counting(oxlo_module *m, oxlo_flow_state *f)
{
    return oxlo_dissector_state_of(m, f, OXLO_PROTOCOL_RTP, 0) != nullptr;
}

void search(oxlo_module *m, oxlo_flow_state *f)
{
    raknet_state *s = static_cast<raknet_state *>(oxlo_dissector_state(m, f));
    if (!s) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;

    if (pkt.packets == 1 && p.length >= 1200) {
        static const size_t at[] = {1, 9, 17, 32};
        for (size_t off : at)
            if (oxlo_rd_match_n(&p, off, offline_magic, sizeof offline_magic, 0))
                s->marked = 1;
    }

    uint8_t id = 0;
    if (p.length < 7 || !oxlo_rd_u8_at(&p, 0, &id)) {
        give_up(m, f, s);
        return;
    }
    if (id >= 0x80 && id <= 0x8D) {
        if (!frames_fill(&p)) {
            give_up(m, f, s);
            return;
        }
        if (!rtp_counting(m, f))
            oxlo_dissector_classify(m, f, OXLO_PROTOCOL_RAKNET, OXLO_PROTOCOL_UNKNOWN);
        return;
    }
    if (id == 0xC0 || id == 0xA0) {
        if (!ack_ranges_fill(&p)) {
            give_up(m, f, s);
            return;
        }
        if (!rtp_counting(m, f))
            oxlo_dissector_classify(m, f, OXLO_PROTOCOL_RAKNET, OXLO_PROTOCOL_UNKNOWN);
        return;
    }
    const unsigned needs = offline_needs(&p, id);
    if (!needs) {
        give_up(m, f, s);
        return;
    }
    if (pkt.packets >= needs)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_RAKNET, OXLO_PROTOCOL_UNKNOWN);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_RAKNET};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_raknet = {
    "RakNet", search, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD, protocols, 1, sizeof(raknet_state), nullptr, nullptr,
};
} // extern "C"
