// Shared pieces of the fuzz targets that feed packets of one flow through
// oxlo_classify_packet: the module they all use, a fresh flow state, an
// IPv4 TCP/UDP packet around a payload, and an exact-size copy of each
// packet so that a read past its end is caught.
#ifndef VESK_FUZZ_FLOW_H
#define VESK_FUZZ_FLOW_H

#include "oxlo_private.h"

#include <cstdlib>
#include <cstring>
#include <vector>

// One module per target process, finalized after `configure` set its knobs.
static inline oxlo_module *fuzz_module_once(void (*configure)(oxlo_module *) = nullptr)
{
    static oxlo_module *m = [configure] {
        oxlo_module *mod = oxlo_module_new(nullptr);
        if (mod) {
            if (configure)
                configure(mod);
            oxlo_finalize_initialization(mod);
        }
        return mod;
    }();
    return m;
}

static inline oxlo_flow_state *fuzz_new_flow()
{
    auto *flow = static_cast<oxlo_flow_state *>(oxlo_flow_alloc(oxlo_flow_state_size()));
    if (flow)
        std::memset(flow, 0, oxlo_flow_state_size());
    return flow;
}

static inline void fuzz_put16(uint8_t *p, uint16_t v)
{
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}

static inline void fuzz_put32(uint8_t *p, uint32_t v)
{
    fuzz_put16(p, uint16_t(v >> 16));
    fuzz_put16(p + 2, uint16_t(v));
}

// An IPv4 packet between client 10.0.0.2:40000 and server 10.0.0.1 with a
// TCP (sequence and acknowledgement numbers given) or UDP header.
static inline std::vector<uint8_t> fuzz_ipv4_packet(bool tcp, bool to_server, uint16_t server_port,
                                                    uint32_t seq, uint32_t ack, const uint8_t *payload,
                                                    size_t length)
{
    const size_t l4 = tcp ? 20 : 8;
    std::vector<uint8_t> b(20 + l4 + length, 0);
    b[0] = 0x45;
    fuzz_put16(&b[2], uint16_t(b.size()));
    b[8] = 64;
    b[9] = tcp ? 6 : 17;
    const uint32_t client = 0x0a000002, server = 0x0a000001;
    fuzz_put32(&b[12], to_server ? client : server);
    fuzz_put32(&b[16], to_server ? server : client);
    uint8_t *h = &b[20];
    fuzz_put16(h, to_server ? 40000 : server_port);
    fuzz_put16(h + 2, to_server ? server_port : 40000);
    if (tcp) {
        fuzz_put32(h + 4, seq);
        fuzz_put32(h + 8, ack);
        h[12] = 0x50;
        h[13] = 0x18;
        fuzz_put16(h + 14, 64240);
    } else {
        fuzz_put16(h + 4, uint16_t(8 + length));
    }
    if (length)
        std::memcpy(h + l4, payload, length);
    return b;
}

// Classifies an exact-size heap copy of the bytes.
static inline void fuzz_classify_copy(oxlo_module *m, oxlo_flow_state *flow, const uint8_t *bytes,
                                      size_t length, uint64_t now, uint8_t *info)
{
    auto *copy = static_cast<uint8_t *>(std::malloc(length ? length : 1));
    if (!copy)
        return;
    if (length)
        std::memcpy(copy, bytes, length);
    oxlo_classify_packet(m, flow, copy, uint16_t(length), now, info);
    std::free(copy);
}

// One flow of a dissector family: the first input byte picks the server
// port from the family's list (and with it TCP or UDP), the rest is split
// into payloads (a two-byte length before each, the top bit choosing the
// server's direction) and sent as one conversation.
struct fuzz_port {
    uint16_t port;
    bool tcp;
};

// How a conversation is sent: the server's address (0: the default one),
// a TCP three-way handshake first, the largest payload, the most packets
// and the clock step between them.
struct fuzz_options {
    uint32_t server = 0;
    bool handshake = false;
    size_t max_payload = 1400;
    int max_packets = 24;
    uint64_t step = 200;
};

static inline void fuzz_send(oxlo_module *m, oxlo_flow_state *flow, std::vector<uint8_t> &b, bool from_server,
                             const fuzz_options &o, uint64_t now)
{
    if (o.server)
        fuzz_put32(&b[from_server ? 12 : 16], o.server);
    fuzz_classify_copy(m, flow, b.data(), b.size(), now, nullptr);
}

// The payloads of data[0..size) as one flow to `port`.
static inline void fuzz_conversation(oxlo_module *m, oxlo_flow_state *flow, const uint8_t *data, size_t size,
                                     fuzz_port p, const fuzz_options &o = fuzz_options())
{
    uint32_t seq[2] = {1000, 5000};
    uint64_t now = 1000;
    if (p.tcp && o.handshake) {
        const uint8_t flags[3] = {0x02, 0x12, 0x10}; /* SYN, SYN-ACK, ACK */
        const uint32_t seqs[3] = {999, 4999, 1000}, acks[3] = {0, 1000, 5000};
        for (int i = 0; i < 3; i++) {
            std::vector<uint8_t> b = fuzz_ipv4_packet(true, i != 1, p.port, seqs[i], acks[i], nullptr, 0);
            b[20 + 13] = flags[i];
            fuzz_send(m, flow, b, i == 1, o, now++);
        }
    }
    size_t pos = 0;
    for (int n = 0; n < o.max_packets && pos + 2 <= size; n++) {
        const bool from_server = data[pos] & 0x80;
        size_t len = size_t((data[pos] & 0x7F) << 8 | data[pos + 1]);
        pos += 2;
        if (len > size - pos)
            len = size - pos;
        if (len > o.max_payload)
            len = o.max_payload;
        std::vector<uint8_t> b =
            fuzz_ipv4_packet(p.tcp, !from_server, p.port, seq[from_server], seq[!from_server], data + pos, len);
        seq[from_server] += uint32_t(len);
        fuzz_send(m, flow, b, from_server, o, now);
        pos += len;
        now += o.step;
    }
}

static inline void fuzz_family_flow(const uint8_t *data, size_t size, const fuzz_port *ports, size_t count)
{
    oxlo_module *m = fuzz_module_once();
    if (!m || size < 1 || count == 0)
        return;
    oxlo_flow_state *flow = fuzz_new_flow();
    if (!flow)
        return;
    fuzz_conversation(m, flow, data + 1, size - 1, ports[data[0] % count]);
    oxlo_flow_state_free(flow);
}

#endif
