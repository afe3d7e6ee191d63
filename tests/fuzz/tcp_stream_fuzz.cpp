// Fuzzes the TCP stream view: the input is a list of segments of one flow
// (direction, SYN, sequence offset, window, time step, payload), fed
// through oxlo_classify_packet to a dissector that keeps, consumes and asks
// for more bytes as the bytes it reads tell it. A direction's stream only
// grows, a kept view ends with the new bytes, the bytes held stay within
// the bounds, and nothing is left counted once the flow is freed.
//
// Record: flags (bit 0 from the server, bit 1 SYN, bit 2 ACK only, bits 3-4
// time step), sequence offset (2 bytes, signed, from the side's first
// byte), window (1 byte, x 256), length (1 byte), payload.
#include "fuzz_flow.h"
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_stream.h"

namespace {

uint32_t expected_end[2];
bool started[2];

void check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

void stream_reader(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view v = oxlo_dissector_packet(m, f);
    if (v.l4 != OXLO_L4_TCP)
        return;
    const uint8_t d = v.direction;
    const uint32_t end = v.stream_offset + uint32_t(v.payload.length);
    // The stream only grows, and the view ends where it ends.
    if (started[d])
        check(int32_t(end - expected_end[d]) >= 0);
    started[d] = true;
    expected_end[d] = end;
    check(v.payload.length >= v.segment.length);
    if (v.segment.length)
        check(memcmp(v.payload.data + v.payload.length - v.segment.length, v.segment.data, v.segment.length) == 0);
    if (!v.payload.length)
        return;
    const uint8_t b = v.payload.data[0];
    switch (b % 5) {
    case 0:
        oxlo_dissector_need(m, f, size_t(b) * 64);
        break;
    case 1:
        oxlo_dissector_consume(m, f, b % v.payload.length);
        break;
    case 2:
        oxlo_dissector_consume(m, f, 1);
        oxlo_dissector_need(m, f, v.payload.length + b);
        break;
    case 3:
        oxlo_dissector_pending(m, f, b & 8);
        break;
    default:
        if (b == 0xFF)
            oxlo_dissector_classify(m, f, OXLO_PROTOCOL_MQTT, 0);
        break;
    }
}

oxlo_module *module_once()
{
    static oxlo_module *m = [] {
        oxlo_module *mod = oxlo_module_new(nullptr);
        if (!mod)
            return mod;
        oxlo_set_config(mod, nullptr, "packets_limit_per_flow", "0");
        if (oxlo_finalize_initialization(mod) != 0 || oxlo_dissectors_init(mod) != 0)
            return mod;
        for (uint32_t id = 0; id < 0xFFFF; id++) {
            oxlo_proto_defaults *p = oxlo_proto_defaults_get(mod, uint16_t(id));
            if (!p)
                break;
            p->dissector_index = OXLO_NO_DISSECTOR;
        }
        mod->det.dissector_count = 0;
        oxlo_dissector_add("StreamReader", mod, stream_reader, 0x0b2, 1, int(OXLO_PROTOCOL_MQTT));
        oxlo_dissectors_finish(mod);
        return mod;
    }();
    return m;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    oxlo_module *m = module_once();
    if (!m)
        return 0;
    oxlo_flow_state *flow = fuzz_new_flow();
    if (!flow)
        return 0;
    started[0] = started[1] = false;
    const uint32_t isn[2] = {0xFFFFFF00u, 7000}; // the client's numbers wrap
    uint64_t now = 1000;
    size_t pos = 0;
    for (int n = 0; n < 512 && pos + 5 <= size; n++) {
        const uint8_t flags = data[pos];
        const int16_t at = int16_t(data[pos + 1] << 8 | data[pos + 2]);
        const uint16_t window = uint16_t(data[pos + 3] << 8);
        size_t len = data[pos + 4];
        pos += 5;
        if (len > size - pos)
            len = size - pos;
        const bool from_server = flags & 1, syn = flags & 2;
        const uint32_t seq = isn[from_server] + (syn ? 0 : 1) + uint32_t(int32_t(at));
        std::vector<uint8_t> p =
            fuzz_ipv4_packet(true, !from_server, 40001, seq, isn[!from_server] + 1, data + pos, len);
        uint8_t *tcp = &p[20];
        tcp[13] = syn ? (from_server ? 0x12 : 0x02) : (flags & 4) ? 0x10 : 0x18;
        fuzz_put16(tcp + 14, window);
        fuzz_classify_copy(m, flow, p.data(), p.size(), now, nullptr);
        pos += len;
        now += uint64_t((flags >> 3) & 3) * 4000;
        // A flow in progress never holds more than its bounds allow.
        oxlo_stream_stats st;
        oxlo_stream_statistics(m, &st);
        check(st.bytes_now <= 2u * (OXLO_STREAM_DIR_BYTES + 65535u));
    }
    oxlo_flow_detection_pending(m, flow);
    oxlo_flow_state_free(flow);
    oxlo_stream_stats st;
    oxlo_stream_statistics(m, &st);
    check(st.bytes_now == 0);
    return 0;
}
