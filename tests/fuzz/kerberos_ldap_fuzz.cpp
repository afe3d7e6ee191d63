// Fuzzes the Kerberos and LDAP dissectors with whole conversations on their
// ports, over UDP and TCP: the record reassembly, the message-type scan, the
// request and reply walks and the LDAP envelope.
#include "fuzz_flow.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const fuzz_port ports[] = {{88, false}, {88, true}, {389, true}, {389, false}};
    fuzz_family_flow(data, size, ports, sizeof(ports) / sizeof(ports[0]));
    return 0;
}
