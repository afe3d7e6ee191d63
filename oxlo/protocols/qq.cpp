/* QQ over UDP: a fixed four-byte start, or packets of a few fixed sizes
 * whose second 16-bit word repeats the size. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

struct sized {
    size_t length;
    const char *start;
};

const sized by_length[] = {{56, "\x02\x00\x38\x00"}, {60, "\x02\x00\x42\x00"}, {64, "\x02\x00\x40\x00"},
                           {72, "\x02\x00\x48\x00"}, {84, "\x02\x00\x5A\x00"}};

void search_qq(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    bool ok = p.length > 38 && oxlo_rd_match_n(&p, 0, "\x28\x00\x00\x00", 4, 0);
    for (const sized &s : by_length)
        ok = ok || (p.length == s.length && oxlo_rd_match_n(&p, 0, s.start, 4, 0));
    if (ok)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_QQ, OXLO_PROTOCOL_UNKNOWN);
    else if (pkt.payload_packets > 4)
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_QQ};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_qq = {
    "QQ", search_qq, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD, protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
