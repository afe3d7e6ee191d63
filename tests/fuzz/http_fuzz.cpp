// Fuzzes the payload line parser and the HTTP dissector: the input is split
// into TCP payloads of one flow to port 80 (a two-byte length before each,
// the top bit of the length choosing the server's direction), wrapped in
// IPv4/TCP headers with consistent sequence numbers, so every payload
// reaches the request, response and header code.
#include "fuzz_flow.h"
#include "oxlo_risks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    oxlo_module *m = fuzz_module_once();
    if (!m)
        return 0;
    oxlo_flow_state *flow = fuzz_new_flow();
    if (!flow)
        return 0;
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
        std::vector<uint8_t> p =
            fuzz_ipv4_packet(true, !from_server, 80, seq[from_server], seq[!from_server], data + pos, len);
        seq[from_server] += uint32_t(len);
        fuzz_classify_copy(m, flow, p.data(), p.size(), now, nullptr);
        pos += len;
        now += 1500;
    }
    char text[256];
    oxlo_flow_risk_messages_text(flow, text, sizeof(text), 1);
    oxlo_flow_state_free(flow);
    return 0;
}
