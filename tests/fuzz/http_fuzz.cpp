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
    fuzz_options o;
    o.max_packets = 16;
    o.step = 1500;
    fuzz_conversation(m, flow, data, size, {80, true}, o);
    char text[256];
    oxlo_flow_risk_messages_text(flow, text, sizeof(text), 1);
    oxlo_flow_state_free(flow);
    return 0;
}
