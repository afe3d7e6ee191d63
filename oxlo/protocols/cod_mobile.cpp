/* Call of Duty Mobile: a 12-byte ping on port 7500, or a large loadout
 * message. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

void search(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    bool ok = false;
    uint8_t first = 0;
    ok = (p.length == 12 && (pkt.src_port == 7500 || pkt.dst_port == 7500) && oxlo_rd_match(&p, 8, "ping", 0)) ||
         (p.length > 350 && oxlo_rd_u8_at(&p, 0, &first) && first == 0xCE && oxlo_rd_contains(&p, "LOC_PREFAB_LOADOUTNAME_1", 0));
    if (!ok && pkt.payload_packets <= 3)
        return;
    if (ok)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_COD_MOBILE, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_COD_MOBILE};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_cod_mobile = {
    "CoD_Mobile", search, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD, protocols, 1, 0, nullptr, nullptr,
};
} // extern "C"
