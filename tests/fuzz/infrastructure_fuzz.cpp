// Fuzzes the network infrastructure dissectors with whole conversations on
// their ports, plus two flows the port list cannot reach: the IP protocols
// other than TCP and UDP (the second byte picks the protocol) and the
// MikroTik discovery broadcast.
#include "fuzz_flow.h"

namespace {

const fuzz_port ports[] = {
    {123, false},  {161, false},  {500, false},   {4500, false},  {5351, false}, {2055, false}, {6343, false},
    {514, false},  {1812, false}, {2152, false},  {2123, false},  {3386, false}, {1985, false}, {646, false},
    {4341, false}, {8805, false}, {623, false},   {2002, false},  {7351, false}, {5008, false}, {10001, false},
    {902, false},  {10050, true}, {4949, true},   {2501, true},   {646, true},   {4342, true},  {11095, true},
    {6653, true},  {8080, true},  {601, true},    {5223, true},   {8080, false}, {179, true},  {3784, false},
};
constexpr size_t port_count = sizeof(ports) / sizeof(ports[0]);
const uint8_t ip_protocols[] = {1, 2, 4, 8, 47, 50, 51, 58, 89, 103, 112, 113, 132};

void special_flow(const uint8_t *data, size_t size, bool discovery)
{
    oxlo_module *m = fuzz_module_once();
    oxlo_flow_state *flow = m ? fuzz_new_flow() : nullptr;
    if (!flow)
        return;
    const uint8_t proto = size > 1 ? ip_protocols[data[1] % sizeof(ip_protocols)] : 1;
    uint64_t now = 1000;
    size_t pos = 2;
    for (int n = 0; n < 8 && pos + 2 <= size; n++) {
        const bool from_server = data[pos] & 0x80;
        size_t len = size_t((data[pos] & 0x7F) << 8 | data[pos + 1]);
        pos += 2;
        if (len > size - pos)
            len = size - pos;
        if (len > 1400)
            len = 1400;
        std::vector<uint8_t> b = fuzz_ipv4_packet(false, !from_server, 5678, 0, 0, data + pos, len);
        if (discovery) {
            std::memset(&b[16], 0xFF, 4);
        } else { // the payload straight after the IP header
            b.erase(b.begin() + 20, b.begin() + 28);
            fuzz_put16(&b[2], uint16_t(b.size()));
            b[9] = proto;
        }
        fuzz_classify_copy(m, flow, b.data(), b.size(), now, nullptr);
        pos += len;
        now += 200;
    }
    oxlo_flow_state_free(flow);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const size_t pick = data[0] % (port_count + 2);
    if (pick >= port_count)
        special_flow(data, size, pick == port_count + 1);
    else
        fuzz_family_flow(data, size, ports, port_count);
    return 0;
}
