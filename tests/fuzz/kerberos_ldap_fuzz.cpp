// Fuzzes the Kerberos and LDAP dissectors: the input is a mode byte (TCP or
// UDP, port 88 or 389) and then a series of payloads (a two-byte length and
// a direction bit before each) wrapped into packets of one flow with
// consistent sequence numbers, so the record reassembly, the message-type
// scan, the request and reply walks and the LDAP envelope see
// attacker-chosen bytes through oxlo_classify_packet.
#include "fuzz_flow.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    oxlo_module *m = fuzz_module_once();
    if (!m || size < 1)
        return 0;
    const bool tcp = data[0] & 1;
    const uint16_t port = data[0] & 2 ? 389 : 88;
    oxlo_flow_state *flow = fuzz_new_flow();
    if (!flow)
        return 0;
    uint32_t seq[2] = {1000, 9000};
    uint64_t now = 1000;
    size_t pos = 1;
    for (int n = 0; n < 32 && pos + 2 <= size; n++) {
        const bool to_server = !(data[pos] & 0x80);
        size_t len = size_t((data[pos] & 0x7F) << 8 | data[pos + 1]);
        pos += 2;
        if (len > size - pos)
            len = size - pos;
        if (len > 1400)
            len = 1400;
        const int side = to_server ? 0 : 1;
        std::vector<uint8_t> p = fuzz_ipv4_packet(tcp, to_server, port, seq[side], seq[!side], data + pos, len);
        seq[side] += uint32_t(len);
        fuzz_classify_copy(m, flow, p.data(), p.size(), now, nullptr);
        pos += len;
        now += 7;
    }
    oxlo_flow_state_free(flow);
    return 0;
}
