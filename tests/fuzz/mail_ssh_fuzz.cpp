// Fuzzes the login and mail dissectors (SSH, IMAP, POP3, SMTP with their
// STARTTLS hand-over to TLS, Usenet, HCL Notes) with whole conversations on
// their ports.
#include "fuzz_flow.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const fuzz_port ports[] = {{22, true}, {143, true}, {110, true}, {25, true}, {119, true}, {1352, true}, {2222, true}};
    fuzz_family_flow(data, size, ports, sizeof(ports) / sizeof(ports[0]));
    return 0;
}
