// Fuzzes the LINE call, KakaoTalk voice, Viber and WhatsApp dissectors, and
// RTP beside them, with whole conversations on their ports. The first byte
// also picks the server's address: a private one, one in LINE's network or
// one in a KakaoTalk range loaded here, so the address-bound forms are
// reached too.
#include "fuzz_flow.h"
#include "oxlo_hosts.h"

namespace {

void load_kakao_range(oxlo_module *m)
{
    char rule[] = "198.51.0.0/16";
    oxlo_add_address_rule(m, rule, OXLO_PROTOCOL_KAKAOTALK, 0);
}

const uint32_t servers[] = {0x0a000001, 0x935C8205 /* 147.92.130.5 */, 0xC6336407 /* 198.51.100.7 */};

const fuzz_port ports[] = {{50010, false}, {50020, false}, {7985, false}, {5242, true}, {5222, true}, {30000, false}};
constexpr size_t PORTS = sizeof(ports) / sizeof(ports[0]);

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    oxlo_module *m = fuzz_module_once(load_kakao_range);
    if (!m || size < 1)
        return 0;
    const fuzz_port p = ports[data[0] % PORTS];
    const uint32_t server = servers[(data[0] / PORTS) % 3];
    oxlo_flow_state *flow = fuzz_new_flow();
    if (!flow)
        return 0;
    uint32_t seq[2] = {1000, 5000};
    uint64_t now = 1000;
    size_t pos = 1;
    for (int n = 0; n < 24 && pos + 2 <= size; n++) {
        const bool from_server = data[pos] & 0x80;
        size_t len = size_t((data[pos] & 0x7F) << 8 | data[pos + 1]);
        pos += 2;
        if (len > size - pos)
            len = size - pos;
        if (len > 1400)
            len = 1400;
        std::vector<uint8_t> b =
            fuzz_ipv4_packet(p.tcp, !from_server, p.port, seq[from_server], seq[!from_server], data + pos, len);
        fuzz_put32(&b[from_server ? 12 : 16], server);
        seq[from_server] += uint32_t(len);
        fuzz_classify_copy(m, flow, b.data(), b.size(), now, nullptr);
        pos += len;
        now += 200;
    }
    oxlo_flow_state_free(flow);
    return 0;
}
