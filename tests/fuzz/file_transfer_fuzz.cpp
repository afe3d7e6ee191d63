// Fuzzes the file-transfer dissectors (FTP control and data, SMB, TFTP, NFS,
// rsync, Git, UFTP, Lustre, and IPP/HL7 inside HTTP) with whole
// conversations on their ports.
#include "fuzz_flow.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const fuzz_port ports[] = {{21, true},   {20, true},    {445, true},  {69, false}, {2049, true},
                                      {2049, false}, {873, true},  {9418, true}, {1044, false}, {988, true},
                                      {631, true},  {2575, true}};
    fuzz_family_flow(data, size, ports, sizeof(ports) / sizeof(ports[0]));
    return 0;
}
