// Fuzzes the web-application dissectors (HTTP/2, WebSocket, the PROXY
// header, FastCGI, AJP, Thrift, JSON-RPC, SOAP, JSON, MessagePack, and
// the sub-protocols of HTTP) and the obfuscated-TLS heuristic with whole
// conversations on their ports.
#include "fuzz_flow.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const fuzz_port ports[] = {{8080, true}, {8765, true}, {8081, true}, {9000, true}, {8009, true},
                                      {9090, true}, {9090, false}, {80, true},  {6666, true}, {7777, true},
                                      {5555, true}};
    fuzz_family_flow(data, size, ports, sizeof(ports) / sizeof(ports[0]));
    return 0;
}
