// Fuzzes the peer-to-peer and mining dissectors with whole conversations
// on their ports (the BitTorrent cache is shared across inputs, as it is
// across a queue's flows).
#include "fuzz_flow.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const fuzz_port ports[] = {{6881, true}, {6881, false}, {3333, true}, {18080, true}, {7075, true},
                                      {6346, true}, {6346, false}, {7680, true}, {21027, false}, {12975, false},
                                      {12975, true}};
    fuzz_family_flow(data, size, ports, sizeof(ports) / sizeof(ports[0]));
    return 0;
}
