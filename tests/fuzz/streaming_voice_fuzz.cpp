// Fuzzes RTMP, MPEG-TS, Mumble and IAX with whole conversations on their
// ports and on ports of no meaning. TCP flows open with a three-way
// handshake first, since RTMP reads nothing before one, so the first-flight
// count sees arbitrary segment sizes.
#include "fuzz_flow.h"

namespace {

// A segment without payload with the given flags, in the numbering the
// payloads continue from (client 1000, server 5000).
void control(oxlo_module *m, oxlo_flow_state *flow, uint16_t port, bool to_server, uint32_t seq, uint32_t ack,
             uint8_t flags, uint64_t now)
{
    std::vector<uint8_t> b = fuzz_ipv4_packet(true, to_server, port, seq, ack, nullptr, 0);
    b[20 + 13] = flags;
    fuzz_classify_copy(m, flow, b.data(), b.size(), now, nullptr);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const fuzz_port ports[] = {{1935, true},   {19350, true}, {1234, false},
                                      {41234, false}, {64738, false}, {4569, false}};
    oxlo_module *m = fuzz_module_once();
    if (!m || size < 1)
        return 0;
    const fuzz_port p = ports[data[0] % (sizeof(ports) / sizeof(ports[0]))];
    oxlo_flow_state *flow = fuzz_new_flow();
    if (!flow)
        return 0;
    uint32_t seq[2] = {1000, 5000};
    uint64_t now = 1000;
    if (p.tcp) {
        control(m, flow, p.port, true, 999, 0, 0x02, now++);
        control(m, flow, p.port, false, 4999, 1000, 0x12, now++);
        control(m, flow, p.port, true, 1000, 5000, 0x10, now++);
    }
    size_t pos = 1;
    for (int n = 0; n < 24 && pos + 2 <= size; n++) {
        const bool from_server = data[pos] & 0x80;
        size_t len = size_t((data[pos] & 0x7F) << 8 | data[pos + 1]);
        pos += 2;
        if (len > size - pos)
            len = size - pos;
        std::vector<uint8_t> b =
            fuzz_ipv4_packet(p.tcp, !from_server, p.port, seq[from_server], seq[!from_server], data + pos, len);
        seq[from_server] += uint32_t(len);
        fuzz_classify_copy(m, flow, b.data(), b.size(), now, nullptr);
        pos += len;
        now += 200;
    }
    oxlo_flow_state_free(flow);
    return 0;
}
