/* MessagePack carried as a payload of its own: the payload is walked as a
 * sequence of items (each first byte gives the item's header size and,
 * for strings, binaries and extensions, its length). Data that holds
 * strings or binaries, or is not made mostly of one-byte items, and that
 * fits the item structure, is MessagePack. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

namespace {

constexpr unsigned max_items = 32;

struct item {
    size_t header;  /* bytes of the type byte and its length fields */
    uint64_t body;  /* bytes after the header */
    bool simple, string, valid;
};

/* The length field of `width` bytes after the type byte (`skip` more bytes
 * of header follow, as the extension type). */
item sized(const oxlo_reader &p, size_t at, size_t width, size_t skip, uint64_t limit, bool string, bool *fits)
{
    item it{1 + width + skip, 0, false, string, true};
    uint8_t b8 = 0;
    uint16_t b16 = 0;
    uint32_t b32 = 0;
    *fits = width == 1 ? oxlo_rd_u8_at(&p, at + 1, &b8) : width == 2 ? oxlo_rd_u16_at(&p, at + 1, &b16)
                                                                     : oxlo_rd_u32_at(&p, at + 1, &b32);
    it.body = width == 1 ? b8 : width == 2 ? b16 : b32;
    if (width == 4 && it.body >= limit)
        it.valid = false;
    return it;
}

item classify_item(const oxlo_reader &p, size_t at, uint8_t c, bool *fits)
{
    *fits = true;
    if (c <= 0x7F || c >= 0xE0 || c == 0xC0 || c == 0xC2 || c == 0xC3)
        return {1, 0, true, false, true};
    if (c <= 0x9F)
        return {1, 0, false, false, true};
    if (c <= 0xBF)
        return {1, uint64_t(c & 0x1F), (c & 0x1F) == 0, true, true};
    switch (c) {
    case 0xC4: return sized(p, at, 1, 0, 0, false, fits);
    case 0xC5: return sized(p, at, 2, 0, 0, false, fits);
    case 0xC6: return sized(p, at, 4, 0, 0xFFFFFFFB, false, fits);
    case 0xD9: return sized(p, at, 1, 0, 0, true, fits);
    case 0xDA: return sized(p, at, 2, 0, 0, true, fits);
    case 0xDB: return sized(p, at, 4, 0, 0xFFFFFFFB, true, fits);
    case 0xC7: return sized(p, at, 1, 1, 0, false, fits);
    case 0xC8: return sized(p, at, 2, 1, 0, false, fits);
    case 0xC9: return sized(p, at, 4, 1, 0xFFFFFFFA, false, fits);
    case 0xCC: case 0xD0: return {2, 0, false, false, true};
    case 0xCD: case 0xD1: case 0xD4: case 0xDC: case 0xDE: return {3, 0, false, false, true};
    case 0xCE: case 0xD2: case 0xDD: case 0xDF: return {5, 0, false, false, true};
    case 0xD5: return {4, 0, false, false, true};
    case 0xD6: return {6, 0, false, false, true};
    case 0xD7: return {10, 0, false, false, true};
    case 0xD8: return {18, 0, false, false, true};
    case 0xCB: case 0xCF: case 0xD3: return {9, 0, false, false, true};
    default: return {1, 0, false, false, false}; /* 0xC1, 0xCA */
    }
}

bool printable_string(const oxlo_reader &p, size_t at, size_t n)
{
    for (size_t i = 0; i < n; i++) {
        const uint8_t c = oxlo_rd_peek8(&p, at + i);
        if (!((c >= 0x20 && c <= 0x7E) || (c >= '\t' && c <= '\r') || c >= 0x80))
            return false;
    }
    return true;
}

enum verdict { WAIT, CLASSIFY, EXCLUDE };

struct counts {
    unsigned n = 0, s = 0, b = 0;
};

verdict with_blocks(const counts &k, bool udp, uint16_t packets)
{
    if (k.b || (udp && k.s * 4 < k.n))
        return CLASSIFY;
    return packets < 4 ? WAIT : EXCLUDE;
}

verdict consumed(const counts &k, bool udp, uint16_t packets)
{
    if (k.s * 2 < k.n)
        return packets < 2 ? with_blocks(k, udp, packets) : CLASSIFY;
    return packets < 4 ? WAIT : EXCLUDE;
}

/* With `cut`, an item that runs past the end of p is no failure: the
 * bytes it needs (from p's start) go to *cut and the walk waits for them. */
verdict walk(const oxlo_reader &p, bool udp, uint16_t packets, uint64_t *cut = nullptr)
{
    counts k;
    size_t at = 0;
    const auto mostly_simple_or_short = [&] { return k.s * 2 >= k.n || (p.length - at) * 4 >= p.length; };
    for (unsigned i = 0; i < max_items; i++) {
        if (at == p.length)
            return consumed(k, udp, packets);
        bool fits = true;
        const item it = classify_item(p, at, oxlo_rd_peek8(&p, at), &fits);
        if (it.valid && cut && (!fits || !oxlo_rd_has(&p, at, it.header))) {
            *cut = uint64_t(at) + it.header;
            return WAIT;
        }
        if (!it.valid || !fits || !oxlo_rd_has(&p, at, it.header)) {
            if (mostly_simple_or_short())
                return EXCLUDE;
            return with_blocks(k, udp, packets); /* bytes remain */
        }
        if (it.body > p.length - at - it.header) {
            if (cut) {
                *cut = uint64_t(at) + it.header + it.body;
                return WAIT;
            }
            if (mostly_simple_or_short())
                return EXCLUDE;
            return with_blocks(k, udp, packets);
        }
        if (it.string && !printable_string(p, at + it.header, size_t(it.body))) {
            if (mostly_simple_or_short())
                return EXCLUDE;
            return with_blocks(k, udp, packets);
        }
        k.n++;
        k.s += it.simple;
        k.b += it.body > 0;
        at += it.header + size_t(it.body);
    }
    const bool remain = at < p.length;
    if (k.s > 15 || (p.length - at) * 4 >= p.length)
        return remain || packets >= 4 ? EXCLUDE : WAIT;
    return remain ? with_blocks(k, udp, packets) : consumed(k, udp, packets);
}

/* The most stream bytes an item cut by the segments, or a run of items that
 * decides nothing yet, is waited for. */
constexpr uint64_t STREAM_MAX = 16384;

void search_msgpack(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const bool tcp = pkt.l4 == OXLO_L4_TCP;
    uint64_t cut = 0;
    /* Over TCP the items are read from the stream: one the segments cut is
     * waited for whole, and a run of items that decides nothing yet waits
     * for what follows it, as far as the bound. */
    verdict v = walk(pkt.payload, !tcp, pkt.payload_packets, tcp ? &cut : nullptr);
    if (v == WAIT && cut) {
        if (cut <= STREAM_MAX && oxlo_framing::wait_for(m, f, pkt, cut))
            return;
        v = walk(pkt.payload, false, pkt.payload_packets); /* decided on what is here */
    } else if (v == WAIT && tcp && pkt.payload.length < STREAM_MAX) {
        oxlo_framing::wait_for(m, f, pkt, pkt.payload.length + 1);
        return;
    }
    switch (v) {
    case CLASSIFY:
        if (oxlo_flow_app_protocol(f))
            oxlo_flow_refine_protocol(m, f, OXLO_PROTOCOL_MESSAGEPACK, OXLO_CONFIDENCE_DPI);
        else
            oxlo_dissector_classify(m, f, OXLO_PROTOCOL_MESSAGEPACK, OXLO_PROTOCOL_UNKNOWN);
        return;
    case EXCLUDE:
        OXLO_EXCLUDE(m, f);
        return;
    case WAIT:
        return;
    }
}

const uint16_t protocols[] = {OXLO_PROTOCOL_MESSAGEPACK};

} // namespace

extern "C" {

int oxlo_msgpack_payload_check(const uint8_t *data, size_t length, int udp, uint32_t payload_packets)
{
    if (!data)
        return -1;
    switch (walk(oxlo_reader_make(data, length), udp != 0, payload_packets)) {
    case CLASSIFY:
        return 1;
    case WAIT:
        return 0;
    default:
        return -1;
    }
}

extern const oxlo_dissector_def oxlo_dissector_def_msgpack = {
    "MessagePack", search_msgpack,
    OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP_OR_UDP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
