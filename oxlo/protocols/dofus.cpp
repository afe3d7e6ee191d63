/* Dofus on port 5555: a length byte, a fixed type and an inner length. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

void search(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    bool ok = false;
    uint8_t b0 = 0, b1 = 0, b2 = 0;
    ok = (pkt.src_port == 5555 || pkt.dst_port == 5555) && p.length > 3 && oxlo_rd_u8_at(&p, 0, &b0) &&
         size_t(b0) + 1 == p.length && oxlo_rd_u8_at(&p, 1, &b1) && b1 == 0x0A && oxlo_rd_u8_at(&p, 2, &b2) && b0 == b2 + 2;
    /* One look either way. */
    if (ok)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_DOFUS, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_DOFUS};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_dofus = {
    "Dofus", search, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP, protocols, 1, 0, nullptr, nullptr,
};
} // extern "C"
