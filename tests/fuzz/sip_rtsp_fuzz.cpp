// Fuzzes SIP (with its header capture on later packets), RTSP and MpegDash
// with whole conversations on their ports: SIP over UDP and TCP, RTSP alone
// and HTTP flows the RTSP and MpegDash checks run on.
#include "fuzz_flow.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const fuzz_port ports[] = {{5060, false}, {5060, true}, {15060, false}, {554, true},
                                      {8554, true},  {554, false}, {8000, true},   {80, true}};
    fuzz_family_flow(data, size, ports, sizeof(ports) / sizeof(ports[0]));
    return 0;
}
