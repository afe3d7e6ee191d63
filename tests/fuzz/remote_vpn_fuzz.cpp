// Fuzzes the remote-access and VPN dissectors with whole conversations on
// their ports.
#include "fuzz_flow.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const fuzz_port ports[] = {{1080, true},  {1194, false}, {1194, true}, {1195, false}, {23, true},
                                      {3389, true},  {3389, false}, {5901, true}, {514, true},   {5938, true},
                                      {5938, false}, {177, false},  {1723, true}, {5004, false}, {41641, false},
                                      {3544, false}, {655, true},   {655, false}, {4789, false}, {51820, false},
                                      {1494, true},  {4000, true},  {4899, true},  {5900, true},  {6001, true}};
    fuzz_family_flow(data, size, ports, sizeof(ports) / sizeof(ports[0]));
    return 0;
}
