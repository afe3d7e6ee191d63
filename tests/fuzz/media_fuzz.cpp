// Fuzzes the media dissectors (STUN/TURN with its nested payloads and DTLS
// hand-over, RTP/RTCP, Zoom server and peer-to-peer framing) with whole
// conversations on their ports and on ports of no meaning.
#include "fuzz_flow.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const fuzz_port ports[] = {{3478, false}, {3478, true},  {40478, false}, {5004, false},
                                      {5006, false}, {41234, false}, {8801, false}, {41000, false}};
    fuzz_family_flow(data, size, ports, sizeof(ports) / sizeof(ports[0]));
    return 0;
}
