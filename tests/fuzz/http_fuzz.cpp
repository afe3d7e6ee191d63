// Fuzzes the payload line parser and the HTTP dissector: the input is split
// into TCP payloads of one flow to port 80 (a two-byte length before each,
// the top bit of the length choosing the server's direction), wrapped in
// IPv4/TCP headers with consistent sequence numbers, so every payload
// reaches the request, response and header code.
#include "oxlo_private.h"
#include "oxlo_risks.h"

#include <cstdlib>
#include <cstring>
#include <vector>

static oxlo_module *module_once()
{
    static oxlo_module *m = [] {
        oxlo_module *mod = oxlo_module_new(nullptr);
        if (mod)
            oxlo_finalize_initialization(mod);
        return mod;
    }();
    return m;
}

static void put16(uint8_t *p, uint16_t v)
{
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}

static void put32(uint8_t *p, uint32_t v)
{
    put16(p, uint16_t(v >> 16));
    put16(p + 2, uint16_t(v));
}

static void feed(oxlo_module *m, oxlo_flow_state *f, const uint8_t *payload, size_t len, bool from_server,
                 uint32_t *seq, uint64_t now)
{
    const size_t total = 40 + len;
    auto *pkt = static_cast<uint8_t *>(std::calloc(1, total));
    pkt[0] = 0x45;
    put16(pkt + 2, uint16_t(total));
    pkt[8] = 64;
    pkt[9] = 6;
    put32(pkt + 12, from_server ? 0x0a000001 : 0x0a000002);
    put32(pkt + 16, from_server ? 0x0a000002 : 0x0a000001);
    uint8_t *tcp = pkt + 20;
    put16(tcp, from_server ? 80 : 40000);
    put16(tcp + 2, from_server ? 40000 : 80);
    put32(tcp + 4, seq[from_server]);
    put32(tcp + 8, seq[!from_server]);
    tcp[12] = 5 << 4;
    tcp[13] = 0x18;
    put16(tcp + 14, 64240);
    if (len)
        std::memcpy(pkt + 40, payload, len);
    seq[from_server] += uint32_t(len);
    oxlo_classify_packet(m, f, pkt, uint16_t(total), now, nullptr);
    std::free(pkt);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    oxlo_module *m = module_once();
    if (!m)
        return 0;
    auto *flow = static_cast<oxlo_flow_state *>(oxlo_flow_alloc(oxlo_flow_state_size()));
    if (!flow)
        return 0;
    std::memset(flow, 0, oxlo_flow_state_size());
    uint32_t seq[2] = {1000, 5000};
    uint64_t now = 1000;
    size_t pos = 0;
    for (int n = 0; n < 16 && pos + 2 <= size; n++) {
        const bool from_server = data[pos] & 0x80;
        size_t len = size_t((data[pos] & 0x7F) << 8 | data[pos + 1]);
        pos += 2;
        if (len > size - pos)
            len = size - pos;
        if (len > 1400)
            len = 1400;
        feed(m, flow, data + pos, len, from_server, seq, now);
        pos += len;
        now += 1500;
    }
    char text[256];
    oxlo_flow_risk_messages_text(flow, text, sizeof(text), 1);
    oxlo_flow_state_free(flow);
    return 0;
}
