// Fuzzes the messaging and message-queue dissectors with whole
// conversations on their ports.
#include "fuzz_flow.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const fuzz_port ports[] = {{6667, true}, {5222, true}, {4222, true}, {5555, true}, {61613, true},
                                      {61616, true}, {2775, true}, {8000, false}, {533, false}};
    fuzz_family_flow(data, size, ports, sizeof(ports) / sizeof(ports[0]));
    return 0;
}
