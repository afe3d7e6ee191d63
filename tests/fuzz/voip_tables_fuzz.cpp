// Fuzzes the table-driven VoIP and streaming matchers with whole flows on
// their ports. Most decide on one packet from fixed offsets and declared
// lengths (SD-RTN's name, FLUTE's header words, MGCP's fields), so every
// length and offset in a datagram is worth mutating.
#include "fuzz_flow.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const fuzz_port ports[] = {{2000, true},   {9987, false}, {30033, true}, {57621, false}, {4070, true},
                                      {8443, false},  {2944, false}, {2427, false}, {4001, false},  {1720, true},
                                      {1719, false},  {32512, false}, {10000, false}, {8000, false}, {7080, false},
                                      {12301, false}};
    fuzz_family_flow(data, size, ports, sizeof(ports) / sizeof(ports[0]));
    return 0;
}
