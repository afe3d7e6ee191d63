// Fuzzes the LINE call, KakaoTalk voice, Viber and WhatsApp dissectors, and
// RTP beside them, with whole conversations on their ports. The first byte
// also picks the server's address: a private one, one in LINE's network or
// one in a KakaoTalk range loaded here, so the address-bound forms are
// reached too.
#include "fuzz_flow.h"
#include "oxlo_protocol_ids.h"
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
    oxlo_flow_state *flow = fuzz_new_flow();
    if (!flow)
        return 0;
    fuzz_options o;
    o.server = servers[(data[0] / PORTS) % 3];
    fuzz_conversation(m, flow, data + 1, size - 1, ports[data[0] % PORTS], o);
    oxlo_flow_state_free(flow);
    return 0;
}
