// Fuzzes RTMP, MPEG-TS, Mumble and IAX with whole conversations on their
// ports and on ports of no meaning. TCP flows open with a three-way
// handshake first, since RTMP reads nothing before one, so the first-flight
// count sees arbitrary segment sizes.
#include "fuzz_flow.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const fuzz_port ports[] = {{1935, true},   {19350, true}, {1234, false},
                                      {41234, false}, {64738, false}, {4569, false}};
    oxlo_module *m = fuzz_module_once();
    if (!m || size < 1)
        return 0;
    oxlo_flow_state *flow = fuzz_new_flow();
    if (!flow)
        return 0;
    fuzz_options o;
    o.handshake = true;
    o.max_payload = 32 * 1024;
    fuzz_conversation(m, flow, data + 1, size - 1, ports[data[0] % (sizeof(ports) / sizeof(ports[0]))], o);
    oxlo_flow_state_free(flow);
    return 0;
}
