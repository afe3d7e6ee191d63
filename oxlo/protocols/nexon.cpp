/* Nexon's game clients: fixed-size hello messages. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

void search(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    bool ok = false;
    uint32_t a = 0, b = 0;
    ok = (p.length == 24 && oxlo_rd_le32_at(&p, 0, &a) && a == 24 && oxlo_rd_le32_at(&p, 4, &b) && b == 100) ||
         (p.length == 20 && oxlo_rd_match_n(&p, 4, "\x16\x3A\x99\x2E", 4, 0));
    if (ok)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_NEXON, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_NEXON};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_nexon = {
    "Nexon", search, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP, protocols, 1, 0, nullptr, nullptr,
};
} // extern "C"
