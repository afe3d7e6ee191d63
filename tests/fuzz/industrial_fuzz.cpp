// Fuzzes the industrial, automation, metering, building and IoT dissectors
// with whole conversations on their ports.
#include "fuzz_flow.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const fuzz_port ports[] = {
        {1883, true},   {502, true},    {5683, false},  {102, true},    {2404, true},   {20000, true},
        {47808, false}, {3671, false},  {3671, true},   {30490, false}, {4059, true},   {4712, false},
        {5094, false},  {4880, true},   {5007, true},   {7400, false},  {4840, true},   {17224, false},
        {17225, true},  {1502, false},  {6667, false},  {9999, true},   {9999, false},  {5222, true},
        {319, false},   {10001, true},  {48898, true},  {1153, false},  {11898, false}, {2222, false},
        {1628, false},  {854, true},    {854, false},   {46000, false}, {18246, false}, {44818, true},
        {5050, false},  {6060, false},  {9600, false},  {9600, true},   {34964, false}};
    fuzz_family_flow(data, size, ports, sizeof(ports) / sizeof(ports[0]));
    return 0;
}
