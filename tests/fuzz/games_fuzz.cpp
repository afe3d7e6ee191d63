// Fuzzes the game dissectors with whole conversations on their ports; the
// UDP ones see every byte of a datagram, so the length checks matter most.
#include "fuzz_flow.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const fuzz_port ports[] = {{22023, false}, {4534, false}, {12060, false}, {10009, true}, {5555, true},
                                      {20010, false}, {22101, false}, {22101, true},  {6112, true},  {1119, false},
                                      {5000, false},  {4000, false},  {4000, true},   {7500, false}, {8484, true},
                                      {27015, false}, {27036, false}, {8000, true},   {24100, true}, {5055, false},
                                      {3074, false},  {3075, false},  {40000, false}, {6112, true},
                                      {19132, false}, {9999, false},  {9999, true},   {10003, false}, {61088, false},
                                      {7777, false},  {1119, true},   {3724, true}};
    fuzz_family_flow(data, size, ports, sizeof(ports) / sizeof(ports[0]));
    return 0;
}
