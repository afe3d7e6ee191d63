/* Per-packet detection: the header walk, the flow's bookkeeping (counters,
 * direction, TCP sequence state, first-packet facts, fingerprints and the
 * header-level risks), then the dissector dispatch or the flow's follow-up
 * reader, and the give-up once the packet budget is spent.
 *
 * Every length read from the packet is checked against what was captured
 * before it is used: a header that does not fit ends the walk, the packet is
 * still counted and the flow's current result is returned. */
#include "oxlo_private.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_risks.h"
#include "oxlo_risk_ids.h"
#include "oxlo_digest.h"
#include "oxlo_hosts.h"
#include "oxlo_utils.h"
#include "oxlo_stream.h"
#include "oxlo_slab.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr uint8_t TH_FIN = 0x01, TH_SYN = 0x02, TH_RST = 0x04, TH_PSH = 0x08, TH_ACK = 0x10,
                  TH_URG = 0x20, TH_ECE = 0x40, TH_CWR = 0x80;

constexpr uint32_t RISK_BINARY_TRANSFER = 4;
constexpr uint32_t RISK_MALICIOUS_FINGERPRINT = 28;
constexpr uint32_t RISK_EXPLOIT = 40;
constexpr uint32_t RISK_TCP_ISSUES = 50;

constexpr uint16_t P_HTTP = OXLO_PROTOCOL_HTTP, P_ICMP = OXLO_PROTOCOL_ICMP;

oxlo_classification empty_result()
{
    oxlo_classification r;
    memset(&r, 0, sizeof(r));
    return r;
}

uint8_t ttl_class(uint8_t ttl)
{
    if (ttl <= 32)
        return 32;
    if (ttl <= 64)
        return 64;
    if (ttl <= 128)
        return 128;
    if (ttl <= 192)
        return 192;
    return 255;
}

/* Appends to a fixed buffer and stops at its end. */
struct text_buf {
    char *p;
    size_t size;
    size_t len;
    /* fmt holds one "%u" in literal text; written by hand, as printf
     * would write it (cut at the end of the buffer): every SYN formats a
     * few numbers here, and printf's set-up costs more than the digits. */
    void add(const char *fmt, unsigned v)
    {
        if (len + 1 >= size)
            return;
        char text[64];
        size_t n = 0;
        for (const char *f = fmt; *f && n < sizeof(text) - 21; f++) {
            if (f[0] == '%' && f[1] == 'u') {
                n += oxlo_decimal_text(text + n, v);
                f++;
                continue;
            }
            text[n++] = *f;
        }
        put(text, n);
    }
    void put(const char *text, size_t n)
    {
        const size_t room = size - len - 1;
        if (n > room)
            n = room;
        memcpy(p + len, text, n);
        len += n;
        p[len] = '\0';
    }
    void hex(uint8_t v)
    {
        static const char digits[] = "0123456789abcdef";
        if (len + 2 >= size)
            return;
        p[len++] = digits[v >> 4];
        p[len++] = digits[v & 0x0F];
        p[len] = '\0';
    }
    void adds(const char *s)
    {
        if (len + 1 >= size)
            return;
        put(s, strlen(s));
    }
};

void tcp_fingerprint(oxlo_module *module, oxlo_flow_state *flow, const uint8_t *tcp,
                     uint16_t header_len)
{
    oxlo_packet_state *pkt = &module->det.packet;
    const oxlo_detection_settings *s = &module->det.settings;
    const uint16_t window = oxlo_be16(tcp + 14);
    const uint16_t flag_word = (uint16_t)(oxlo_be16(tcp + 12) & 0x0FFF);
    const uint8_t *opt = tcp + 20;
    const uint16_t opt_len = (uint16_t)(header_len - 20);

    text_buf fp{pkt->fingerprint, sizeof(pkt->fingerprint), 0};
    text_buf raw{pkt->raw_options, sizeof(pkt->raw_options), 0};
    pkt->fingerprint[0] = pkt->raw_options[0] = '\0';
    for (uint16_t i = 0; i < opt_len; i++)
        raw.hex(opt[i]);

    /* The options as hashed: the timestamp option's values are zeroed, as
     * they differ on every connection and would give every SYN of one
     * system a fingerprint of its own. */
    uint8_t stable[40];
    const uint16_t stable_len = opt_len < sizeof(stable) ? opt_len : uint16_t(sizeof(stable));
    memcpy(stable, opt, stable_len);

    int mss = -1, wscale = -1;
    char kinds_text[128] = "";
    text_buf kinds{kinds_text, sizeof(kinds_text), 0};
    for (uint16_t i = 0; i < opt_len;) {
        const uint8_t kind = opt[i];
        if (kind == 0)
            break;
        /* The kinds' text is only part of the second format. */
        const bool kind_text = s->tcp_fingerprint_format != 0;
        if (kind == 1) {
            if (kind_text)
                kinds.add(kinds.len ? "-%u" : "%u", kind);
            i++;
            continue;
        }
        if (i + 1 >= opt_len)
            break;
        const uint8_t len = opt[i + 1];
        if (len < 2 || i + len > opt_len)
            break;
        if (kind_text)
            kinds.add(kinds.len ? "-%u" : "%u", kind);
        if (kind == 2 && len >= 3 && len <= 6)
            mss = len >= 4 ? oxlo_be16(opt + i + 2) : opt[i + 2];
        else if (kind == 3 && len >= 3 && len <= 6)
            wscale = opt[i + 2];
        else if (kind == 8 && len == 10 && i + len <= stable_len)
            memset(stable + i + 2, 0, 8);
        i = (uint16_t)(i + len);
    }

    if (s->tcp_fingerprint_format == 0) {
        fp.add("%u_", flag_word);
        fp.add("%u_", ttl_class(pkt->ttl));
        fp.add("%u_", window);
        char hashed_text[2 * sizeof(stable) + 1];
        text_buf hashed{hashed_text, sizeof(hashed_text), 0};
        hashed_text[0] = '\0';
        for (uint16_t i = 0; i < stable_len; i++)
            hashed.hex(stable[i]);
        uint8_t digest[32];
        oxlo_sha256_digest(reinterpret_cast<const uint8_t *>(hashed_text), hashed.len, digest);
        for (int i = 0; i < 6; i++)
            fp.hex(digest[i]);
    } else {
        fp.add("%u:", window);
        fp.adds(kinds_text);
        if (mss >= 0)
            fp.add(":%u", unsigned(mss));
        else
            fp.adds(":");
        if (wscale >= 0)
            fp.add(":%u", unsigned(wscale));
        else
            fp.adds(":");
    }
    oxlo_flow_tcp *t = flow->tcp;
    oxlo_flow_tcp_fingerprint_set(t, pkt->fingerprint);
    t->os_guess = uint32_t(oxlo_os_fingerprint_lookup(module, oxlo_flow_tcp_fingerprint_text(t)));
    if (s->tcp_fingerprint_raw && !t->tcp_raw_options)
        t->tcp_raw_options = oxlo_heap_strdup(pkt->raw_options);

    /* Scanner signatures of the SYN itself. */
    if (opt_len == 4 && opt[0] == 2 && opt[1] == 4) {
        if (pkt->iph6 || (pkt->iph && oxlo_ipv4_is_public(oxlo_be32(pkt->iph + 12))))
            oxlo_flow_risk_raise(module, flow, int(RISK_MALICIOUS_FINGERPRINT),
                                   "Unusual TCP fingerprint (scanner detected?)");
    } else if (opt_len == 0) {
        const char *msg = window == 1024    ? "Massive scanner detected (probably masscan)"
                          : window == 65535 ? "Massive scanner detected (probably zmap)"
                                            : "Massive scanner detected";
        oxlo_flow_risk_raise(module, flow, int(RISK_MALICIOUS_FINGERPRINT), msg);
    }
}

/* Room for `length` tracked bytes and the NUL: 24 bytes for a few bytes,
 * else a power of two from 64 up, at most the limit, so that a flow with a
 * few bytes of payload (most flows of a flood) holds no more than it needs.
 * Derived from the length alone. */
uint32_t track_payload_room(uint32_t length, uint16_t limit)
{
    if (length + 1u <= OXLO_TRACK_SHORT_BLOCK)
        return OXLO_TRACK_SHORT_BLOCK > limit + 1u ? limit + 1u : OXLO_TRACK_SHORT_BLOCK;
    uint32_t room = 64;
    while (room < length + 1u && room <= limit)
        room *= 2;
    return room > limit + 1u ? limit + 1u : room;
}

/* The short block (most flows of a flood need no other) comes from the
 * module's slab, so a new flow costs no allocation of its own; longer ones
 * from the heap. The kept bytes move with the block. */
uint8_t *grow_track_payload(oxlo_module *module, oxlo_flow_state *flow, uint32_t have, uint32_t room)
{
    if (room <= OXLO_TRACK_SHORT_BLOCK && !flow->track_payload) {
        if (auto *block = static_cast<uint8_t *>(
                oxlo_module_block_take(&module->det.track_slab, OXLO_TRACK_SHORT_BLOCK, 4096, 1))) {
            flow->flags_b |= OXLO_FLOW_TRACK_FROM_SLAB;
            return block;
        }
    }
    if (!(flow->flags_b & OXLO_FLOW_TRACK_FROM_SLAB))
        return static_cast<uint8_t *>(oxlo_heap_realloc(flow->track_payload, room));
    auto *grown = static_cast<uint8_t *>(oxlo_heap_alloc(room));
    if (!grown)
        return nullptr;
    std::memcpy(grown, flow->track_payload, have);
    oxlo_slab_give(flow->track_payload);
    flow->flags_b &= ~OXLO_FLOW_TRACK_FROM_SLAB;
    return grown;
}

void track_payload(oxlo_module *module, oxlo_flow_state *flow)
{
    const oxlo_packet_state *pkt = &module->det.packet;
    const uint16_t limit = module->payload_track_limit;
    if (limit == 0 || !pkt->payload || pkt->payload_length == 0)
        return;
    const uint32_t have = flow->track_payload ? flow->track_payload_length : 0;
    if (have >= limit)
        return;
    const uint32_t want = have + pkt->payload_length < limit ? have + pkt->payload_length : limit;
    const uint32_t room = track_payload_room(want, limit);
    if (!flow->track_payload || room > track_payload_room(have, limit)) {
        uint8_t *grown = grow_track_payload(module, flow, have, room);
        if (!grown)
            return;
        flow->track_payload = grown;
        flow->track_payload_length = uint16_t(have);
    }
    for (uint16_t i = 0; i < pkt->payload_length && flow->track_payload_length < limit; i++) {
        const uint8_t c = pkt->payload[i];
        const bool keep = (c >= 0x20 && c <= 0x7E) || (c >= 9 && c <= 13);
        flow->track_payload[flow->track_payload_length++] = keep ? c : '.';
    }
    flow->track_payload[flow->track_payload_length] = '\0';
}

uint8_t packet_direction(const oxlo_packet_state *pkt, uint16_t sport, uint16_t dport)
{
    if (sport < dport)
        return 1;
    if (sport > dport)
        return 0;
    if (pkt->iph)
        return oxlo_be32(pkt->iph + 12) < oxlo_be32(pkt->iph + 16) ? 1 : 0;
    return 1;
}

void tcp_first_facts(oxlo_module *module, oxlo_flow_state *flow, uint8_t flags)
{
    const uint64_t now = module->det.packet.time_ms;
    const bool syn = flags & TH_SYN, ack = flags & TH_ACK;
    oxlo_flow_tcp *t = flow->tcp;
    if (syn && !ack)
        t->syn_ms = now;
    else if (syn && ack)
        t->synack_ms = now;
    else if (ack && !syn && t->first_ack_ms == 0)
        t->first_ack_ms = now;
    if (flags == 0)
        oxlo_flow_risk_raise(module, flow, int(RISK_TCP_ISSUES), "TCP NULL scan");
    else if (flags == (TH_FIN | TH_PSH | TH_URG))
        oxlo_flow_risk_raise(module, flow, int(RISK_TCP_ISSUES), "TCP XMAS scan");
    else if (module->det.packet.direction == 0 && flags == TH_FIN)
        oxlo_flow_risk_raise(module, flow, int(RISK_TCP_ISSUES), "TCP FIN scan");
}

void handshake_bits(oxlo_flow_tcp *t, uint8_t flags, const uint8_t *input_info)
{
    if (input_info && input_info[1] == 1) {
        t->handshake = 7;
        return;
    }
    const uint8_t f = flags & (TH_SYN | TH_ACK | TH_FIN | TH_RST);
    if (f == TH_SYN && t->handshake == 0)
        t->handshake = 1;
    else if (f == (TH_SYN | TH_ACK) && t->handshake == 1)
        t->handshake |= 2;
    else if (f == TH_ACK && (t->handshake & 3) == 3)
        t->handshake |= 4;
}

void first_packet(oxlo_flow_state *flow, const oxlo_packet_state *pkt, uint16_t sport,
                  uint16_t dport, uint8_t tcp_flags)
{
    flow->flags_a |= OXLO_FLOW_INITIALISED;
    uint8_t client_dir;
    const uint8_t hint = pkt->input_info ? pkt->input_info[0] : 0;
    const bool syn = tcp_flags & TH_SYN, ack = tcp_flags & TH_ACK;
    if (hint == 1 || hint == 2)
        client_dir = hint == 1 ? pkt->direction : (uint8_t)(1 - pkt->direction);
    else if (pkt->tcp && syn && !ack)
        client_dir = pkt->direction;
    else if (pkt->tcp && syn && ack)
        client_dir = (uint8_t)(1 - pkt->direction);
    else if (sport < 1024 && dport > 1024)
        client_dir = (uint8_t)(1 - pkt->direction);
    else
        client_dir = pkt->direction;
    if (client_dir)
        flow->flags_a |= OXLO_FLOW_CLIENT_DIR;
    else
        flow->flags_a &= ~OXLO_FLOW_CLIENT_DIR;

    const bool from_client = pkt->direction == client_dir;
    uint8_t src[16] = {0}, dst[16] = {0};
    if (pkt->iph) {
        memcpy(src, pkt->iph + 12, 4);
        memcpy(dst, pkt->iph + 16, 4);
    } else if (pkt->iph6) {
        memcpy(src, pkt->iph6 + 8, 16);
        memcpy(dst, pkt->iph6 + 24, 16);
    }
    memcpy(flow->client_address, from_client ? src : dst, 16);
    memcpy(flow->server_address, from_client ? dst : src, 16);
    flow->client_port = oxlo_swap16(from_client ? sport : dport);
    flow->server_port = oxlo_swap16(from_client ? dport : sport);
    if (pkt->input_info && hint == 0)
        pkt->input_info[0] = from_client ? 1 : 2;
}

void count(uint16_t *c)
{
    if (*c < 65000)
        (*c)++;
}

bool is_printable(uint8_t c) { return c >= 0x20 && c <= 0x7E; }

void fully_encrypted_check(oxlo_flow_state *flow, const oxlo_packet_state *pkt)
{
    if (pkt->udp) {
        flow->flags_a &= ~OXLO_FLOW_FULLY_ENCRYPTED;
        return;
    }
    if (!pkt->tcp || !flow->tcp || (flow->tcp->handshake & 7) != 7 || pkt->payload_length == 0)
        return;
    const uint8_t *p = pkt->payload;
    const uint16_t n = pkt->payload_length;
    uint32_t bits = 0, printable = 0, run = 0, longest = 0;
    for (uint16_t i = 0; i < n; i++) {
        bits += (uint32_t)__builtin_popcount(p[i]);
        if (is_printable(p[i])) {
            printable++;
            run++;
            longest = run > longest ? run : longest;
        } else {
            run = 0;
        }
    }
    const double avg = double(bits) / n;
    bool head_printable = true;
    for (uint16_t i = 0; i < n && i < 6; i++)
        head_printable = head_printable && is_printable(p[i]);
    if (avg > 3.4 && avg < 4.6 && !head_printable && longest < 20 && printable * 2 <= n)
        flow->flags_a |= OXLO_FLOW_FULLY_ENCRYPTED;
}

void payload_sniff(oxlo_module *module, oxlo_flow_state *flow, const oxlo_packet_state *pkt)
{
    const uint8_t *p = pkt->payload;
    const uint16_t n = pkt->payload_length;
    if (!p)
        return;
    if (n >= 64 && p[0] == 'M' && p[1] == 'Z') {
        const uint32_t off = (uint32_t)p[60] | ((uint32_t)p[61] << 8) | ((uint32_t)p[62] << 16) |
                             ((uint32_t)p[63] << 24);
        if (off < uint32_t(n) - 4 && p[off] == 'P' && p[off + 1] == 'E' && p[off + 2] == 0 &&
            p[off + 3] == 0)
            oxlo_flow_risk_raise(module, flow, int(RISK_BINARY_TRANSFER),
                                   "Portable Executable (PE32/PE32+) found");
    } else if (n >= 24 && p[0] == 0x7F && p[1] == 'E' && p[2] == 'L' && p[3] == 'F') {
        const uint32_t version = (uint32_t)p[20] | ((uint32_t)p[21] << 8) | ((uint32_t)p[22] << 16) |
                                 ((uint32_t)p[23] << 24);
        if (version <= 6)
            oxlo_flow_risk_raise(module, flow, int(RISK_BINARY_TRANSFER), "ELF found");
    } else if (n >= 3 && p[0] == '#' && p[1] == '!' && (p[2] == '/' || p[2] == ' ')) {
        oxlo_flow_risk_raise(module, flow, int(RISK_EXPLOIT), "Shellscript found");
    }
}

/* Protocol guessed from the flow's addresses: the server's address and
 * port first, then the client's when the knob allows it. */
uint16_t address_guess(oxlo_module *module, const oxlo_flow_state *flow)
{
    const bool v6 = flow->flags_a & OXLO_FLOW_IPV6;
    auto lookup = [&](const uint8_t *address, uint16_t port) -> uint16_t {
        if (v6)
            return oxlo_protocol_by_ipv6_port(module, address, port);
        uint32_t a;
        memcpy(&a, address, 4);
        return oxlo_protocol_by_ipv4_port(module, a, port);
    };
    uint16_t id = lookup(flow->server_address, flow->server_port);
    if (id == 0 && module->det.settings.use_client_ip_in_guess)
        id = lookup(flow->client_address, flow->client_port);
    return id;
}

/* Risk-list lookup of the client address (crawlers, anonymous relays). An
 * IPv4 flow is looked up only between two public addresses. */
void risk_list_check(oxlo_module *module, oxlo_flow_state *flow)
{
    if (!module->risk_list_ip)
        return;
    const bool v6 = flow->flags_a & OXLO_FLOW_IPV6;
    if (!v6) {
        if (!oxlo_ipv4_is_public(oxlo_be32(flow->client_address)) ||
            !oxlo_ipv4_is_public(oxlo_be32(flow->server_address)))
            return;
    }
    if (const int risk = oxlo_risk_list_match(module, flow->client_address, v6))
        oxlo_flow_risk_raise(module, flow, risk, nullptr);
}

/* The first pass over an unclassified flow: guesses by port and address,
 * custom rules first. Returns true when a custom rule classified it. */
bool guess_once(oxlo_module *module, oxlo_flow_state *flow)
{
    flow->flags_a |= OXLO_FLOW_GUESS_DONE;
    uint8_t port_flag = 0;
    const uint16_t cport = oxlo_swap16(flow->client_port), sport = oxlo_swap16(flow->server_port);
    if (flow->l4_protocol == 6 || flow->l4_protocol == 17)
        flow->guess_by_port = oxlo_guess_protocol_by_port(module, flow->l4_protocol, cport, sport, &port_flag);
    else
        flow->guess_by_port = oxlo_guess_protocol_by_port(module, flow->l4_protocol, 0, 0, &port_flag);
    flow->guess_by_address = address_guess(module, flow);
    if (module->categories_enabled) {
        oxlo_category_result found{};
        uint32_t client4 = 0, server4 = 0;
        memcpy(&client4, flow->client_address, 4);
        memcpy(&server4, flow->server_address, 4);
        const int hit = (flow->flags_a & OXLO_FLOW_IPV6)
                            ? oxlo_fill_ipv6_category(module, flow, flow->client_address, flow->server_address, &found)
                            : oxlo_fill_ipv4_category(module, flow, client4, server4, &found);
        if (hit)
            flow->address_category = found.category;
    }

    uint16_t upper = 0, lower = 0;
    if (flow->guess_by_port && (oxlo_is_custom_protocol(module, flow->guess_by_port) || (port_flag & 1))) {
        upper = flow->guess_by_port;
    } else if (flow->guess_by_address && oxlo_is_custom_protocol(module, flow->guess_by_address)) {
        upper = flow->guess_by_address;
        lower = flow->guess_by_port;
    }
    if (!upper)
        return false;
    oxlo_flow_set_protocol(module, flow, upper, lower, OXLO_CONFIDENCE_CUSTOM_RULE);
    oxlo_flow_fill_category(module, flow);
    oxlo_flow_first_packet_classify(module, flow);
    oxlo_flow_end_of_detection(module, flow);
    return true;
}

dissector_flow_mask selection_set(const oxlo_packet_state *pkt)
{
    dissector_flow_mask m = OXLO_SEL_ANY;
    if (pkt->iph)
        m |= OXLO_SEL_IPV4 | OXLO_SEL_IPV4_OR_IPV6;
    if (pkt->iph6)
        m |= OXLO_SEL_IPV6 | OXLO_SEL_IPV4_OR_IPV6;
    if (pkt->tcp)
        m |= OXLO_SEL_TCP | OXLO_SEL_TCP_OR_UDP;
    if (pkt->udp)
        m |= OXLO_SEL_UDP | OXLO_SEL_TCP_OR_UDP;
    if (pkt->payload_length > 0)
        m |= OXLO_SEL_PAYLOAD;
    if (!(pkt->flags & OXLO_PACKET_RETRANSMISSION))
        m |= OXLO_SEL_NO_RETRANSMISSION;
    return m;
}

uint32_t dispatch(oxlo_module *module, oxlo_flow_state *flow)
{
    const oxlo_packet_state *pkt = &module->det.packet;
    uint32_t which = 3;
    if (pkt->tcp)
        which = pkt->payload_length ? 0 : 1;
    else if (pkt->udp)
        which = 2;
    uint32_t count = 0;
    oxlo_dissector_entry **list = oxlo_dissector_list(module, which, &count);
    uint32_t calls = oxlo_dissect_flow(module, flow, selection_set(pkt), list, count);
    if (flow->app || flow->master)
        oxlo_flow_fill_category(module, flow);
    return calls;
}

bool encrypted_protocol(const oxlo_flow_state *flow)
{
    const auto encrypted = [](uint16_t id) {
        return id == OXLO_PROTOCOL_TLS || id == OXLO_PROTOCOL_QUIC || id == OXLO_PROTOCOL_DTLS;
    };
    return encrypted(flow->app) || encrypted(flow->master);
}

/* The packet carried only part of a PDU some dissector waits for: the
 * flow's packet budget is not charged for it. */
void waited(oxlo_module *module, oxlo_flow_state *flow, const oxlo_packet_state *pkt)
{
    if (pkt->tcp && flow->tcp && pkt->payload_length && !module->det.stream_waived &&
        flow->tcp->stream_waited_packets < 0xFFFF) {
        flow->tcp->stream_waited_packets++;
        module->det.stream_waived = 1;
    }
}

/* The bytes of a full segment: a write cut in smaller ones (no PSH before
 * its last) is charged to the flow's packet budget one packet per that
 * many bytes, as the sender's stack would have sent it. */
constexpr uint32_t FULL_SEGMENT = 1448;

void unpushed(oxlo_module *module, oxlo_flow_state *flow, const oxlo_packet_state *pkt, uint8_t tcp_flags)
{
    module->det.stream_waived = 0;
    if (!pkt->tcp || !flow->tcp || !pkt->payload_length)
        return;
    uint16_t *pending = &flow->tcp->stream_unpushed[pkt->direction];
    if (tcp_flags & TH_PSH) {
        *pending = 0;
        return;
    }
    const uint32_t bytes = uint32_t(*pending) + pkt->segment_length;
    if (bytes >= FULL_SEGMENT) {
        *pending = uint16_t(bytes % FULL_SEGMENT);
        return;
    }
    *pending = uint16_t(bytes);
    waited(module, flow, pkt);
}

/* The dissection of the per-packet walk (follow-up reader, then the
 * dissectors of the packet's kind): returns false when the result must be
 * returned at once (the follow-up reader is still active). */
bool detect(oxlo_module *module, oxlo_flow_state *flow)
{
    oxlo_packet_state *pkt = &module->det.packet;
    const oxlo_detection_settings *s = &module->det.settings;
    uint32_t calls = 0;
    module->det.stream_wait_calls = 0;

    if (flow->extra_dissection && (pkt->tcp || pkt->udp)) {
        /* The follow-up reader runs as the dissector that installed it, so
         * that it can keep bytes; while it waits for more of this direction
         * it is neither called nor charged a packet. */
        const uint16_t installer = flow->extra_installer;
        if (installer && installer <= module->det.dissector_count) {
            if (oxlo_flow_stream(flow) && oxlo_stream_skip(module, flow, uint16_t(installer - 1))) {
                waited(module, flow, pkt);
                return false;
            }
            module->det.current_dissector = installer - 1u;
        }
        flow->calling_dissector = installer;
        const uint16_t app_before = flow->app;
        module->det.extra_uncharged = 0;
        const int more = flow->extra_dissection(module, flow);
        flow->calling_dissector = 0;
        /* A segment the stream holds (it came before a gap) brings no
         * message yet: it costs the follow-up nothing either; nor does a
         * call that only found a message still arriving and asked for the
         * rest (it is charged no more than the packets it then skips). */
        const bool held = pkt->tcp && !pkt->payload_length && oxlo_dissector_tcp_own_length(module) > 0 &&
                          oxlo_stream_holding(flow);
        const bool waits = module->det.stream_call == 2;
        const bool uncharged = module->det.extra_uncharged != 0 || held || waits;
        if (installer && (module->det.stream_call || oxlo_flow_stream(flow)))
            oxlo_stream_after_call(module, flow, uint16_t(installer - 1), app_before);
        /* A call that only asked for the rest of a PDU costs no budget. */
        if (module->det.stream_wait_calls)
            waited(module, flow, pkt);
        flow->extra_midway = module->det.extra_uncharged != 0 || held ? 1 : 0;
        if (flow->state != OXLO_STATE_MONITORING && flow->extra_packets < 255 && !uncharged)
            flow->extra_packets++;
        if (more == 0 || (flow->state != OXLO_STATE_MONITORING && flow->extra_packets >= flow->extra_budget))
            flow->extra_dissection = nullptr;
        if (flow->extra_dissection)
            return false;
        if (installer && oxlo_flow_stream(flow))
            oxlo_stream_drop_keep(module, flow, uint16_t(installer - 1));
        oxlo_flow_end_of_detection(module, flow);
    } else if (flow->app || flow->master) {
        oxlo_flow_fill_category(module, flow);
    } else {
        if (!(flow->flags_a & OXLO_FLOW_GUESS_DONE) && guess_once(module, flow))
            return true;
        calls = dispatch(module, flow);
        /* An encrypted protocol's bytes are random by design: the entropy
         * risk raised while the flow was unknown goes once it is named one,
         * also when that took more packets than the entropy is taken from
         * (a hello cut in small segments). */
        if (s->compute_entropy && flow->payload_packets > 4 && encrypted_protocol(flow) &&
            oxlo_flow_risk_is_set(flow, OXLO_SUSPICIOUS_ENTROPY))
            oxlo_flow_entropy_risk_update(module, flow);
        if (calls == module->det.stream_wait_calls && oxlo_stream_waiting(flow))
            waited(module, flow, pkt);
    }

    if (flow->breed == 0)
        flow->breed = oxlo_protocol_pair_breed(module, (uint32_t(flow->app) << 16) | flow->master);
    if (!(flow->flags_b & OXLO_FLOW_RISKLIST_DONE)) {
        flow->flags_b |= OXLO_FLOW_RISKLIST_DONE;
        risk_list_check(module, flow);
    }

    const bool detected = flow->app || flow->master;
    if (s->fully_encrypted_heuristic && !detected && pkt->payload_length > 0 && flow->payload_packets == 1)
        fully_encrypted_check(flow, pkt);
    if (flow->payload_packets < 6 && !detected)
        payload_sniff(module, flow, pkt);
    if (s->compute_entropy && !(flow->flags_a & (OXLO_FLOW_FULLY_ENCRYPTED | OXLO_FLOW_ENCRYPTED_PROTO)) &&
        flow->payload_packets <= 4) {
        /* ICMP: the entropy of the data after the 8-byte header is kept
         * for the flow's record, but it is no sign of anything (ping fills
         * its echo data with bytes counting up): no entropy risk, also
         * before the flow is known to be ICMP. */
        if (flow->app == P_ICMP || flow->l4_protocol == 1 || flow->l4_protocol == 58) {
            if (flow->packets_processed == 1)
                oxlo_flow_first_packet_classify(module, flow);
            if (flow->entropy == 0.0f && pkt->payload_length > 8)
                flow->entropy = oxlo_shannon_entropy(pkt->payload + 8, uint16_t(pkt->payload_length - 8));
        } else if (!oxlo_http_messages(flow) && pkt->payload_length > 0) {
            /* (The segments of HTTP messages are HTTP's, whatever the
             * message carries and whether HTTP has named the flow yet.) */
            flow->entropy = oxlo_shannon_entropy(pkt->payload, pkt->payload_length);
            oxlo_flow_entropy_risk_update(module, flow);
        }
    }
    if (flow->packets_processed == 1)
        oxlo_flow_first_packet_classify(module, flow);
    if ((flow->app || flow->master) && !flow->extra_dissection && !(flow->flags_b & OXLO_FLOW_EOD_DONE))
        oxlo_flow_end_of_detection(module, flow);
    /* A dissector that waits for the rest of a PDU is still reading. */
    if (calls == 0 && !(pkt->flags & OXLO_PACKET_RETRANSMISSION) && pkt->payload_length > 0 &&
        !oxlo_stream_waiting(flow))
        oxlo_flow_giveup_detection(module, flow);
    return true;
}

/* Steps 3-5: fills the packet state; false when no usable L4 header. */
bool parse_headers(oxlo_packet_state *pkt, const uint8_t *packet, uint16_t length)
{
    const uint8_t *l4 = nullptr;
    uint16_t l4_len = 0;
    uint8_t proto = 0;
    if (oxlo_l4_decode(packet, length, &l4, &l4_len, &proto, 0) != 0)
        return false;
    if ((packet[0] >> 4) == 4) {
        pkt->iph = packet;
        pkt->ttl = packet[8];
    } else {
        pkt->iph6 = packet;
        pkt->ttl = packet[7];
    }
    pkt->l4_protocol = proto;
    pkt->l4_length = l4_len;
    switch (proto) {
    case 6: {
        if (l4_len < 20)
            return false;
        const uint16_t off = (uint16_t)((l4[12] >> 4) * 4);
        /* A data offset below the fixed header would put the payload inside
         * it; beyond the segment it would read past the packet. */
        if (off < 20 || off > l4_len)
            return false;
        pkt->tcp = l4;
        pkt->payload = l4 + off;
        pkt->payload_length = (uint16_t)(l4_len - off);
        return true;
    }
    case 17:
        if (l4_len < 8)
            return false;
        pkt->udp = l4;
        pkt->payload = l4 + 8;
        pkt->payload_length = (uint16_t)(l4_len - 8);
        return true;
    case 1:
    case 58:
        if (l4_len < 8) {
            pkt->payload = nullptr;
            pkt->payload_length = 0;
            return true;
        }
        pkt->payload = l4;
        pkt->payload_length = l4_len;
        return true;
    default:
        pkt->payload = l4;
        pkt->payload_length = l4_len;
        return true;
    }
}

} // namespace

extern "C" {

void oxlo_detection_settings_load(oxlo_module *module)
{
    const module_config *c = &module->cfg;
    oxlo_detection_settings *s = &module->det.settings;
    s->packets_limit_per_flow = c->max_packets_to_process > 0 ? uint32_t(c->max_packets_to_process) : 0;
    s->use_client_ip_in_guess = c->use_client_ip_in_guess != 0;
    s->use_client_port_in_guess = c->use_client_port_in_guess != 0;
    s->tcp_ack_payload_heuristic = c->tcp_ack_payload_heuristic != 0;
    s->fully_encrypted_heuristic = c->fully_encrypted_heuristic != 0;
    s->guess_on_giveup = uint8_t(c->guess_on_giveup & 3);
    s->guess_ip_before_port = c->guess_ip_before_port != 0;
    s->compute_entropy = c->compute_entropy != 0;
    s->fpc = c->fpc_enabled != 0;
    s->tcp_fingerprint = c->tcp_fingerprint_enabled != 0;
    s->tcp_fingerprint_raw = c->tcp_fingerprint_raw != 0;
    s->tcp_fingerprint_format = uint8_t(c->tcp_fingerprint_format);
    if (module->det.sequence_window == 0)
        module->det.sequence_window = 65536;
    s->loaded = 1;
}

int oxlo_l4_decode(const uint8_t *packet, uint16_t length, const uint8_t **l4, uint16_t *l4_length,
                   uint8_t *l4_protocol, uint32_t flags)
{
    if (!packet || !l4 || !l4_length || !l4_protocol || length < 1)
        return 1;
    *l4 = nullptr;
    *l4_length = 0;
    *l4_protocol = 0;
    const uint8_t version = packet[0] >> 4;
    if (version == 4 && !(flags & 2)) {
        const uint16_t ihl = (uint16_t)((packet[0] & 0x0F) * 4);
        if (ihl < 20 || ihl > length)
            return 1;
        const uint16_t total = oxlo_be16(packet + 2);
        /* A fragment other than the first carries no transport header:
         * its first bytes are the middle of the datagram. */
        if ((oxlo_be16(packet + 6) & 0x1FFF) != 0)
            return 1;
        const uint8_t proto = packet[9];
        if (proto == 17 && (total > length || total < ihl))
            return 1;
        /* A TCP super-packet beyond 64 KiB (GSO) carries 0 in the field:
         * what was captured is the packet. */
        const uint16_t end = total == 0 || total > length ? length : total;
        *l4 = packet + ihl;
        *l4_length = end > ihl ? (uint16_t)(end - ihl) : 0;
        *l4_protocol = proto;
        return 0;
    }
    if (version == 6 && !(flags & 1)) {
        if (length < 40)
            return 1;
        /* A GSO packet may be longer than the queue copies of it, and one
         * beyond 64 KiB carries 0 here: the payload is what was captured.
         * A cut UDP datagram is refused, as over IPv4. */
        const uint16_t plen = oxlo_be16(packet + 4);
        const bool cut = plen > length - 40;
        uint8_t next = packet[6];
        const uint8_t *p = packet + 40;
        uint16_t remaining = cut || plen == 0 ? (uint16_t)(length - 40) : plen;
        for (;;) {
            if (next == 0 || next == 43 || next == 60 || next == 135) {
                if (remaining < 2)
                    return 1;
                const uint16_t hlen = (uint16_t)((p[1] + 1) * 8);
                if (hlen > remaining)
                    return 1;
                next = p[0];
                p += hlen;
                remaining = (uint16_t)(remaining - hlen);
            } else if (next == 44) {
                if (remaining < 8)
                    return 1;
                const uint16_t offset = (uint16_t)(oxlo_be16(p + 2) & 0xFFF8);
                next = p[0];
                if (offset != 0)
                    return 1;
                p += 8;
                remaining = (uint16_t)(remaining - 8);
            } else if (next == 59) {
                return 1;
            } else {
                break;
            }
        }
        if (cut && next == 17)
            return 1;
        *l4 = p;
        *l4_length = remaining;
        *l4_protocol = next;
        return 0;
    }
    return 1;
}

int oxlo_packet_from_client(const oxlo_module *module, const oxlo_flow_state *flow)
{
    if (!module || !flow)
        return 0;
    return module->det.packet.direction == ((flow->flags_a & OXLO_FLOW_CLIENT_DIR) ? 1 : 0);
}

int oxlo_packet_from_server(const oxlo_module *module, const oxlo_flow_state *flow)
{
    if (!module || !flow)
        return 0;
    return !oxlo_packet_from_client(module, flow);
}

static oxlo_classification classify(oxlo_module *module, oxlo_flow_state *flow, const uint8_t *packet,
                                    uint16_t length, uint64_t time_ms, uint8_t *input_info);

/* A flow that could not keep a name a rule may match (no memory for its
 * texts) ends unclassified: what it was classified as without the name
 * would let it pass a rule meant for the name. */
static void end_without_memory(oxlo_flow_state *flow)
{
    flow->app = flow->master = 0;
    oxlo_protocol_stack_clear(&flow->stack);
    flow->extra_dissection = nullptr;
    flow->state = OXLO_STATE_FINISHED;
}

oxlo_classification oxlo_classify_packet(oxlo_module *module, oxlo_flow_state *flow,
                                         const uint8_t *packet, uint16_t length, uint64_t time_ms,
                                         uint8_t *input_info)
{
    if (!module || !flow || !(module->flags & OXLO_MODULE_FINALIZED))
        return empty_result();
    /* Texts written in the call take their blocks from this module. */
    oxlo_flow_texts_thread_module(module);
    oxlo_classification r = classify(module, flow, packet, length, time_ms, input_info);
    oxlo_flow_texts_thread_module(nullptr);
    if (flow->flags_b & OXLO_FLOW_NO_MEMORY) {
        end_without_memory(flow);
        if (oxlo_flow_stream(flow))
            oxlo_stream_release(flow);
        r = oxlo_flow_result(module, flow);
    }
    return r;
}

static oxlo_classification classify(oxlo_module *module, oxlo_flow_state *flow, const uint8_t *packet,
                                    uint16_t length, uint64_t time_ms, uint8_t *input_info)
{
    if (!module->det.settings.loaded)
        oxlo_detection_settings_load(module);
    if (flow->state == OXLO_STATE_FINISHED)
        return oxlo_flow_result(module, flow);
    /* The packets of a message a dissector waits for (a request cut in
     * many segments) count as the message does, once: the budget is one of
     * messages read, not of how the sender cut them. */
    const bool waited = oxlo_flow_detection_pending(module, flow) != 0;
    if (flow->packets_processed < 0xFFFF && !waited)
        flow->packets_processed++;
    if (!packet || length <= 19)
        return oxlo_flow_result(module, flow);

    oxlo_packet_state *pkt = &module->det.packet;
    pkt->iph = pkt->iph6 = pkt->tcp = pkt->udp = pkt->payload = pkt->segment = nullptr;
    pkt->payload_length = pkt->l4_length = pkt->segment_length = 0;
    pkt->l4_protocol = 0;
    pkt->flags = 0;
    pkt->line_count = 0;
    pkt->time_ms = time_ms;
    pkt->input_info = input_info;
    module->current_time_ms = time_ms;

    if (!parse_headers(pkt, packet, length))
        return oxlo_flow_result(module, flow);
    flow->l4_protocol = pkt->l4_protocol;
    /* Without its TCP block a TCP flow cannot be followed: it ends
     * unclassified (oxlo_classify_packet). */
    if (pkt->tcp && !oxlo_flow_tcp_make(module, flow))
        return oxlo_flow_result(module, flow);

    const uint8_t tcp_flags = pkt->tcp ? pkt->tcp[13] : 0;
    const oxlo_detection_settings *s = &module->det.settings;
    if (pkt->tcp && s->tcp_fingerprint && !flow->tcp->fingerprint_kind && (tcp_flags & TH_SYN) &&
        !(tcp_flags & TH_ACK) && (tcp_flags & ~(TH_CWR | TH_ECE)) == TH_SYN)
        tcp_fingerprint(module, flow, pkt->tcp, (uint16_t)((pkt->tcp[12] >> 4) * 4));
    pkt->segment = pkt->payload;
    pkt->segment_length = pkt->payload_length;

    uint16_t sport = 0, dport = 0;
    if (pkt->tcp || pkt->udp) {
        const uint8_t *l4 = pkt->tcp ? pkt->tcp : pkt->udp;
        sport = oxlo_be16(l4);
        dport = oxlo_be16(l4 + 2);
    }
    pkt->direction = packet_direction(pkt, sport, dport);
    if (pkt->direction)
        pkt->flags |= OXLO_PACKET_DIRECTION;
    if (pkt->iph6)
        flow->flags_a |= OXLO_FLOW_IPV6;
    else
        flow->flags_a &= ~OXLO_FLOW_IPV6;

    /* Bytes held ahead of a gap kept the flow pending; the packet that
     * fills the gap delivers them, and they are dissected whatever the
     * budget says. */
    bool held_before = false;
    if (pkt->tcp) {
        tcp_first_facts(module, flow, tcp_flags);
        flow->tcp->tcp_flags_dir[pkt->direction] |= tcp_flags;
        handshake_bits(flow->tcp, tcp_flags, input_info);
        if (s->tcp_ack_payload_heuristic && (tcp_flags & TH_ACK) && !(tcp_flags & TH_PSH) &&
            pkt->payload_length >= 2 && pkt->payload_length <= 7) {
            bool zeros = true;
            for (uint16_t i = 0; i < pkt->payload_length; i++)
                zeros = zeros && pkt->payload[i] == 0;
            if (zeros)
                pkt->flags |= OXLO_PACKET_RETRANSMISSION;
        }
        /* From here on the payload is what the segment adds to its
         * direction's stream in order. */
        held_before = oxlo_stream_holding(flow) != 0;
        oxlo_stream_packet(module, flow);
    }
    track_payload(module, flow);
    if (!(flow->flags_a & OXLO_FLOW_INITIALISED))
        first_packet(flow, pkt, sport, dport, tcp_flags);

    if (pkt->payload_length > 0) {
        count(&flow->payload_packets);
        count(&flow->payload_packets_dir[pkt->direction]);
    }
    count(&flow->packets);
    count(&flow->packets_dir[pkt->direction]);

    flow->last_seen_ms = time_ms;
    /* The budget waits while a dissector reads a PDU that spans segments
     * (the stream bounds end that wait), or still waits for what a rule
     * can match (each dissector bounds that wait): a burst of packets
     * must not end it before the name comes. Nor is it charged for the
     * packets that only carried part of such a PDU, nor for a packet that
     * carries more of a message a follow-up reads on in (it marked its
     * last call uncharged): the limit counts messages, not the segments a
     * sender cut them into. Each dissector's line caps bound those. */
    unpushed(module, flow, pkt, tcp_flags);
    if (!waited && flow->extra_dissection && flow->extra_midway && flow->packets_continued < 0xFFFF)
        flow->packets_continued++;
    const uint32_t spared = uint32_t(flow->tcp ? flow->tcp->stream_waited_packets : 0) + flow->packets_continued;
    const uint32_t charged = flow->packets_processed > spared ? uint32_t(flow->packets_processed) - spared : 0u;
    if (s->packets_limit_per_flow > 0 && charged >= s->packets_limit_per_flow &&
        flow->state != OXLO_STATE_MONITORING && !oxlo_flow_detection_pending(module, flow) &&
        !(held_before && pkt->payload_length > 0)) {
        oxlo_flow_giveup_detection(module, flow);
        if (oxlo_flow_stream(flow) && flow->state == OXLO_STATE_FINISHED)
            oxlo_stream_release(flow);
        return oxlo_flow_result(module, flow);
    }
    detect(module, flow);
    /* A dissector may raise risks after it stored the classification and
     * learn the host name last (HTTP): the exceptions are applied again. */
    if (flow->app || flow->master)
        oxlo_flow_apply_risk_exceptions(module, flow);
    /* Detection is over: what the stream held and kept goes. */
    if (oxlo_flow_stream(flow) && flow->state == OXLO_STATE_FINISHED)
        oxlo_stream_release(flow);
    return oxlo_flow_result(module, flow);
}

} // extern "C"
