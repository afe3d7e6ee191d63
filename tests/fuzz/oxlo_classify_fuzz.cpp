// Fuzzes the per-packet walk: the input is split into packets of one flow
// (a two-byte length before each), so header parsing, sequence tracking and
// the flow bookkeeping all see attacker-chosen bytes.
#include "oxlo_private.h"

#include <cstdlib>
#include <cstring>

static oxlo_module *module_once()
{
    static oxlo_module *m = [] {
        oxlo_module *mod = oxlo_module_new(nullptr);
        if (mod)
            oxlo_finalize_initialization(mod);
        return mod;
    }();
    return m;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    oxlo_module *m = module_once();
    if (!m)
        return 0;
    auto *flow = static_cast<oxlo_flow_state *>(oxlo_flow_alloc(oxlo_flow_state_size()));
    if (!flow)
        return 0;
    std::memset(flow, 0, oxlo_flow_state_size());
    uint8_t info[2] = {0, 0};
    uint64_t now = 1000;
    size_t pos = 0;
    for (int n = 0; n < 64 && pos + 2 <= size; n++) {
        size_t len = size_t(data[pos] << 8 | data[pos + 1]);
        pos += 2;
        if (len > size - pos)
            len = size - pos;
        // An exact-size copy, so a read past the packet is caught.
        auto *copy = static_cast<uint8_t *>(std::malloc(len ? len : 1));
        if (len)
            std::memcpy(copy, data + pos, len);
        oxlo_classify_packet(m, flow, copy, uint16_t(len), now, (n & 1) ? info : nullptr);
        std::free(copy);
        pos += len;
        now += 7;
    }
    oxlo_classification_fallback(m, flow, flow->l4_protocol);
    oxlo_flow_state_free(flow);
    return 0;
}
