/* iQIYI's peer-to-peer video delivery: mid-sized UDP datagrams that carry
 * the "PPStream" tag of its streaming engine. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

void search_iqiyi(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_reader &p = oxlo_dissector_packet(m, f).payload;
    if (p.length >= 121 && p.length <= 299 && oxlo_rd_contains(&p, "PPStream", 0))
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_IQIYI, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_IQIYI};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_iqiyi = {
    "iQIYI", search_iqiyi, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD, protocols, 1, 0, nullptr, nullptr,
};
/* Shorter first datagrams fail the length test search_iqiyi starts with, whatever
 * their bytes, and end in its exclusion alone. */
extern const uint16_t oxlo_dissector_shortest_iqiyi = 121;
} // extern "C"
