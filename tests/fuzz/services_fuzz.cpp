// Fuzzes the routing, storage, RPC, monitoring, VPN, coin and messaging
// dissectors with whole conversations on their ports.
#include "fuzz_flow.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const fuzz_port ports[] = {
        {135, true},    {34000, false}, {179, true},   {3784, false},  {3785, false}, {25826, false},
        {50004, false}, {5070, true},   {5070, false}, {548, true},    {5672, true},  {8333, true},
        {8611, false},  {5246, false},  {5247, false}, {9042, true},   {6789, true},  {6556, true},
        {2809, true},   {2809, false},  {3868, true},  {11112, true},  {50000, true}, {17500, false},
        {6000, false},  {4662, true},   {9300, true},  {30303, true},  {30303, false}, {9876, true},
        {443, true},    {80, true}};
    fuzz_family_flow(data, size, ports, sizeof(ports) / sizeof(ports[0]));
    return 0;
}
