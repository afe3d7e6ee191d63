// Fuzzes the naming and discovery dissectors (DHCP, DHCPv6, NetBIOS name,
// datagram and session services, SSDP, WSD, Whois, SLP, TiVoConnect,
// AVAST SecureDNS, DNSCrypt, Samsung SDP) with whole conversations on
// their ports.
#include "fuzz_flow.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const fuzz_port ports[] = {{67, false},   {547, false},  {137, false}, {138, false}, {139, true},
                                      {1900, false}, {3702, false}, {43, true},   {4321, true}, {427, false},
                                      {2190, false}, {53, false},   {443, false}, {5001, false}};
    fuzz_family_flow(data, size, ports, sizeof(ports) / sizeof(ports[0]));
    return 0;
}
