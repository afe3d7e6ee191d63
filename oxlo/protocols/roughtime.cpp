/* Roughtime messages: a little-endian tag count N, N - 1 value offsets,
 * then N four-byte tags from a fixed vocabulary. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

const char tags[][4] = {
    {'P', 'A', 'D', 0},    {'S', 'I', 'G', 0},    {'V', 'E', 'R', 0},    {'D', 'U', 'T', '1'},
    {'N', 'O', 'N', 'C'},  {'D', 'E', 'L', 'E'},  {'P', 'A', 'T', 'H'},  {'D', 'T', 'A', 'I'},
    {'R', 'A', 'D', 'I'},  {'P', 'U', 'B', 'K'},  {'L', 'E', 'A', 'P'},  {'M', 'I', 'D', 'P'},
    {'S', 'R', 'E', 'P'},  {'M', 'I', 'N', 'T'},  {'R', 'O', 'O', 'T'},  {'C', 'E', 'R', 'T'},
    {'M', 'A', 'X', 'T'},  {'I', 'N', 'D', 'X'},  {'P', 'A', 'D', '\xFF'}, {'S', 'I', 'G', '\xFF'},
    {'V', 'E', 'R', '\xFF'}, {'z', 'z', 'z', 'z'},
};

bool known_tag(const uint8_t *t)
{
    for (const auto &k : tags)
        if (memcmp(t, k, 4) == 0)
            return true;
    return false;
}

void search_roughtime(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_reader p = oxlo_dissector_packet(m, f).payload;
    uint32_t n = 0, last = 0;
    bool ok = p.length >= 4 && oxlo_rd_le32_at(&p, 0, &n) && n >= 1 && n <= 22 && p.length >= 8 * size_t(n);
    if (ok && n > 1)
        ok = oxlo_rd_le32_at(&p, 4 * size_t(n) - 4, &last) && p.length >= 4 * size_t(n) + last;
    for (uint32_t i = 0; ok && i < n; i++) {
        const uint8_t *t = oxlo_rd_bytes_at(&p, 4 * size_t(n) + 4 * size_t(i), 4);
        ok = t && known_tag(t);
    }
    if (ok)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_ROUGHTIME, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_ROUGHTIME};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_roughtime = {
    "Roughtime", search_roughtime, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP_OR_UDP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION, protocols, sizeof(protocols) / sizeof(protocols[0]), 0, nullptr, nullptr,
};

} // extern "C"
