// Fuzzes the TLS, DTLS and DNS dissectors: the input is a series of
// payloads (a two-byte length and a direction bit before each) wrapped into
// TCP or UDP packets of one flow on ports 443, 4433 or 53, so that record
// reassembly, the hello and certificate parsers and the DNS walk all see
// attacker-chosen bytes through oxlo_classify_packet.
#include "oxlo_private.h"

#include <cstdlib>
#include <cstring>
#include <vector>

static oxlo_module *module_once()
{
    static oxlo_module *m = [] {
        oxlo_module *mod = oxlo_module_new(nullptr);
        if (mod) {
            oxlo_set_config(mod, "tls", "max_num_blocks_to_analyze", "16");
            oxlo_set_config(mod, "tls", "metadata.ja4r_fingerprint", "1");
            oxlo_set_config(mod, "tls", "metadata.ja_data", "1");
            oxlo_finalize_initialization(mod);
        }
        return mod;
    }();
    return m;
}

static void put16(uint8_t *p, uint16_t v)
{
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}

// An IPv4 packet with a TCP or UDP header around the payload.
static std::vector<uint8_t> packet(bool tcp, bool to_server, uint16_t server_port, uint32_t seq,
                                   const uint8_t *payload, size_t length)
{
    const size_t l4 = tcp ? 20 : 8;
    std::vector<uint8_t> b(20 + l4 + length, 0);
    b[0] = 0x45;
    put16(&b[2], uint16_t(b.size()));
    b[8] = 64;
    b[9] = tcp ? 6 : 17;
    const uint8_t client[4] = {10, 0, 0, 2}, server[4] = {10, 0, 0, 1};
    std::memcpy(&b[12], to_server ? client : server, 4);
    std::memcpy(&b[16], to_server ? server : client, 4);
    uint8_t *h = &b[20];
    put16(h, to_server ? 40000 : server_port);
    put16(h + 2, to_server ? server_port : 40000);
    if (tcp) {
        put16(h + 4, uint16_t(seq >> 16));
        put16(h + 6, uint16_t(seq));
        h[12] = 0x50;
        h[13] = 0x18;
    } else {
        put16(h + 4, uint16_t(8 + length));
    }
    if (length)
        std::memcpy(h + l4, payload, length);
    return b;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    oxlo_module *m = module_once();
    if (!m || size < 1)
        return 0;
    static const uint16_t ports[4] = {443, 4433, 53, 53};
    const uint8_t mode = data[0] & 3;
    const bool tcp = mode == 0 || mode == 3;
    auto *flow = static_cast<oxlo_flow_state *>(oxlo_flow_alloc(oxlo_flow_state_size()));
    if (!flow)
        return 0;
    std::memset(flow, 0, oxlo_flow_state_size());
    uint32_t seq[2] = {1000, 9000};
    uint64_t now = 1000;
    size_t pos = 1;
    for (int n = 0; n < 32 && pos + 2 <= size; n++) {
        const bool to_server = !(data[pos] & 0x80);
        size_t len = size_t((data[pos] & 0x7F) << 8 | data[pos + 1]);
        pos += 2;
        if (len > size - pos)
            len = size - pos;
        std::vector<uint8_t> p = packet(tcp, to_server, ports[mode], seq[to_server ? 0 : 1], data + pos, len);
        seq[to_server ? 0 : 1] += uint32_t(len);
        // An exact-size copy, so a read past the packet is caught.
        auto *copy = static_cast<uint8_t *>(std::malloc(p.size()));
        std::memcpy(copy, p.data(), p.size());
        oxlo_classify_packet(m, flow, copy, uint16_t(p.size()), now, nullptr);
        std::free(copy);
        pos += len;
        now += 7;
    }
    oxlo_flow_state_free(flow);
    return 0;
}
