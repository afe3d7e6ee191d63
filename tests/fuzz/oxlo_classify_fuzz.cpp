// Fuzzes the per-packet walk: the input is split into packets of one flow
// (a two-byte length before each), so header parsing, sequence tracking and
// the flow bookkeeping all see attacker-chosen bytes.
#include "fuzz_flow.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    oxlo_module *m = fuzz_module_once();
    if (!m)
        return 0;
    oxlo_flow_state *flow = fuzz_new_flow();
    if (!flow)
        return 0;
    uint8_t info[2] = {0, 0};
    uint64_t now = 1000;
    size_t pos = 0;
    for (int n = 0; n < 64 && pos + 2 <= size; n++) {
        size_t len = size_t(data[pos] << 8 | data[pos + 1]);
        pos += 2;
        if (len > size - pos)
            len = size - pos;
        fuzz_classify_copy(m, flow, data + pos, len, now, (n & 1) ? info : nullptr);
        pos += len;
        now += 7;
    }
    oxlo_classification_fallback(m, flow, flow->l4_protocol);
    oxlo_flow_state_free(flow);
    return 0;
}
