// Fuzzes the database, cache, RPC and serialisation dissectors with whole
// conversations on their ports.
#include "fuzz_flow.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const fuzz_port ports[] = {{5432, true}, {3306, true}, {6379, true}, {11211, true}, {11211, false},
                                      {27017, true}, {2100, true}, {1972, true}, {1521, true}, {1433, true},
                                      {9092, true}, {8300, true}, {4730, true}, {9000, false}, {1099, true},
                                      {7001, false}, {50051, true}};
    fuzz_family_flow(data, size, ports, sizeof(ports) / sizeof(ports[0]));
    return 0;
}
