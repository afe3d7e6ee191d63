// The dissector test kit: an engine with every built-in dissector (or one
// alone), a TCP/UDP conversation driver that keeps sequence numbers right,
// and lookups of what the engine decided through its public accessors.
#ifndef VESK_TEST_DISSECTOR_KIT_H
#define VESK_TEST_DISSECTOR_KIT_H

#include "oxlo_api.h"
#include "oxlo_dissector.h"
#include "oxlo_dissector_kit.h"
#include "oxlo_private.h"
#include "oxlo_risks.h"
#include "oxlo_serializer.h"
#include "../packet_builder.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

namespace kit {

// A finalized module with every built-in dissector; knobs() are set first.
struct engine : ::testing::Test {
    oxlo_module *m = nullptr;
    virtual std::vector<std::array<const char *, 3>> knobs() { return {}; }
    void SetUp() override
    {
        m = oxlo_module_new(nullptr);
        ASSERT_NE(m, nullptr);
        for (auto &k : knobs())
            ASSERT_EQ(oxlo_set_config(m, k[0], k[1], k[2]), 0) << k[1];
        ASSERT_EQ(oxlo_finalize_initialization(m), 0);
    }
    void TearDown() override { oxlo_module_free(m); }
    // Forgets the built-in dissectors (table slots and protocol indexes), so
    // that a test can register the ones it wants alone; call between
    // oxlo_dissectors_init and oxlo_dissectors_finish.
    void forget_builtin_dissectors()
    {
        for (uint32_t id = 0; id < 0xFFFF; id++) {
            oxlo_proto_defaults *p = oxlo_proto_defaults_get(m, uint16_t(id));
            if (!p)
                break;
            p->dissector_index = OXLO_NO_DISSECTOR;
        }
        m->det.dissector_count = 0;
    }
};

// The JSON block the protocol's dissector writes for the flow; empty when it
// has none or the writer fails.
inline std::string json_block(oxlo_module *m, const oxlo_flow_state *f, uint16_t protocol)
{
    oxlo_json_block_fn block = oxlo_dissector_json_block(m, protocol);
    oxlo_recbuf s;
    if (!block || oxlo_recbuf_init(&s, OXLO_SER_FORMAT_JSON))
        return "";
    std::string text;
    if (block(m, f, &s) == 0) {
        uint32_t len = 0;
        const char *out = oxlo_recbuf_output(&s, &len);
        text.assign(out, len);
    }
    oxlo_recbuf_release(&s);
    return text;
}

// One connection client 10.0.0.2:client_port -> server 10.0.0.1:port (or
// fd00::2 -> fd00::1 with ipv6), fed packet by packet through the engine.
// Every packet is handed over in a block of exactly its size, so a read
// past its end is caught by the sanitizer build.
struct conversation {
    oxlo_module *m;
    oxlo_flow_state *f;
    uint16_t port, client_port;
    uint8_t l4;
    bool ipv6;
    uint32_t client_seq = 1000, server_seq = 5000;
    uint64_t now = 1000000;
    uint32_t server_address = 0x0a000001; /* IPv4; the client is 10.0.0.2 */
    oxlo_classification last{};

    conversation(oxlo_module *module, uint16_t server_port, uint8_t transport = OXLO_L4_TCP,
                 uint16_t from_port = 40000, bool v6 = false)
        : m(module), port(server_port), client_port(from_port), l4(transport), ipv6(v6)
    {
        f = static_cast<oxlo_flow_state *>(oxlo_flow_alloc(oxlo_flow_state_size()));
        memset(f, 0, oxlo_flow_state_size());
    }
    ~conversation() { oxlo_flow_state_free(f); }
    conversation(const conversation &) = delete;
    conversation &operator=(const conversation &) = delete;

    void feed(const pkt::bytes &b)
    {
        now += 10;
        auto *copy = static_cast<uint8_t *>(malloc(b.size()));
        memcpy(copy, b.data(), b.size());
        last = oxlo_classify_packet(m, f, copy, uint16_t(b.size()), now, nullptr);
        free(copy);
    }
    pkt::bytes wrap(const pkt::bytes &l4bytes, bool from_client) const
    {
        if (ipv6) {
            pkt::bytes b = pkt::ipv6(l4, l4bytes);
            if (!from_client) // swap source and destination
                for (size_t i = 0; i < 16; i++)
                    std::swap(b[8 + i], b[24 + i]);
            return b;
        }
        pkt::ip4_opts o;
        o.src = from_client ? 0x0a000002 : server_address;
        o.dst = from_client ? server_address : 0x0a000002;
        return pkt::ipv4(l4, l4bytes, o);
    }
    void segment(bool from_client, const std::string &payload, uint8_t flags)
    {
        pkt::tcp_opts o;
        o.flags = flags;
        o.seq = from_client ? client_seq : server_seq;
        o.ack = from_client ? server_seq : client_seq;
        (from_client ? client_seq : server_seq) += uint32_t(payload.size());
        const uint16_t sport = from_client ? client_port : port, dport = from_client ? port : client_port;
        feed(wrap(pkt::tcp(sport, dport, payload, o), from_client));
    }
    // The three-way handshake, as Linux clients send it.
    void handshake()
    {
        pkt::tcp_opts syn;
        syn.flags = 0x02;
        syn.options = {2, 4, 5, 0xb4, 1, 3, 3, 7}; /* MSS 1460, window scale 7 */
        syn.seq = client_seq - 1;
        feed(wrap(pkt::tcp(client_port, port, "", syn), true));
        pkt::tcp_opts synack;
        synack.flags = 0x12;
        synack.seq = server_seq - 1;
        synack.ack = client_seq;
        feed(wrap(pkt::tcp(port, client_port, "", synack), false));
        segment(true, "", 0x10);
    }
    void client(const std::string &payload)
    {
        if (l4 == OXLO_L4_TCP)
            segment(true, payload, 0x18);
        else
            feed(wrap(pkt::udp(client_port, port, payload), true));
    }
    void server(const std::string &payload)
    {
        if (l4 == OXLO_L4_TCP)
            segment(false, payload, 0x18);
        else
            feed(wrap(pkt::udp(port, client_port, payload), false));
    }

    // Payloads in order, each from its side: (from_client, bytes).
    void send(const std::vector<std::pair<bool, std::string>> &payloads)
    {
        for (const auto &p : payloads)
            p.first ? client(p.second) : server(p.second);
    }

    // What the engine decided.
    uint16_t app() const { return oxlo_flow_app_protocol(f); }
    uint16_t master() const { return oxlo_flow_master_protocol(f); }
    bool by_inspection() const { return oxlo_flow_confidence(f) == OXLO_CONFIDENCE_DPI; }
    bool risk(int id) const { return oxlo_flow_risk_is_set(f, id) != 0; }
    std::string messages() const
    {
        char buf[2048];
        const char *t = oxlo_flow_risk_messages_text(f, buf, sizeof(buf), 0);
        return t ? t : "";
    }
};

// A payload from bytes written as a string with embedded NULs.
inline std::string raw(const char *bytes, size_t n) { return std::string(bytes, n); }

// Payloads of one side, in the order they are sent: (from_client, bytes).
using segments = std::vector<std::pair<bool, std::string>>;

// A message of one side as the segments that carry it, cut at the given
// offsets (increasing, each inside the message).
inline segments cut(bool from_client, const std::string &message, const std::vector<size_t> &at)
{
    segments out;
    size_t from = 0;
    for (size_t to : at) {
        out.push_back({from_client, message.substr(from, to - from)});
        from = to;
    }
    out.push_back({from_client, message.substr(from)});
    return out;
}

// The TCP payloads of the nth connection to server_port in a capture of
// tests/captures (classic pcap over Ethernet, as record.sh writes them), in
// capture order; empty when the file or the connection is missing.
inline segments capture_payloads(const std::string &file, uint16_t server_port, unsigned nth = 0)
{
    std::ifstream in(std::string(VESK_SOURCE_DIR "/tests/captures/") + file, std::ios::binary);
    const std::string pcap((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto u8 = [&](size_t o) { return o < pcap.size() ? unsigned(uint8_t(pcap[o])) : 0u; };
    auto be16 = [&](size_t o) { return u8(o) << 8 | u8(o + 1); };
    auto le32 = [&](size_t o) { return u8(o) | u8(o + 1) << 8 | u8(o + 2) << 16 | u8(o + 3) << 24; };
    segments out;
    std::vector<unsigned> clients; // client ports in order of appearance
    for (size_t at = 24; at + 16 <= pcap.size();) {
        const size_t caught = le32(at + 8), frame = at + 16;
        at = frame + caught;
        size_t ip = frame + 14;
        if (be16(frame + 12) == 0x8100)
            ip += 4;
        const unsigned type = be16(ip - 2);
        size_t tcp = 0, end = 0;
        if (type == 0x0800 && u8(ip + 9) == 6) {
            tcp = ip + (u8(ip) & 15) * 4;
            end = ip + be16(ip + 2);
        } else if (type == 0x86dd && u8(ip + 6) == 6) {
            tcp = ip + 40;
            end = tcp + be16(ip + 4);
        } else {
            continue;
        }
        const unsigned sport = be16(tcp), dport = be16(tcp + 2);
        if (sport != server_port && dport != server_port)
            continue;
        const bool from_client = dport == server_port;
        const unsigned client = from_client ? sport : dport;
        size_t index = 0;
        while (index < clients.size() && clients[index] != client)
            index++;
        if (index == clients.size())
            clients.push_back(client);
        const size_t data = tcp + (u8(tcp + 12) >> 4) * 4;
        if (index == nth && data < end && end <= at)
            out.push_back({from_client, pcap.substr(data, end - data)});
    }
    return out;
}

// The first payload of a side in a capture's connection (empty if none).
inline std::string capture_first(const std::string &file, uint16_t server_port, bool from_client, unsigned nth = 0)
{
    for (const auto &s : capture_payloads(file, server_port, nth))
        if (s.first == from_client)
            return s.second;
    return "";
}

} // namespace kit

#endif
