/* ANSI C12.22: an ACSE PDU (0x60) whose length fits the packet, then the
 * called AP title (A2 .. 06). */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

void search_c1222(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader p = pkt.payload;
    if (!(p.length >= 50 && oxlo_rd_peek8(&p, 0) == 0x60 && oxlo_rd_peek8(&p, 1) == uint8_t(p.length - 2) && oxlo_rd_peek8(&p, 2) == 0xA2 && oxlo_rd_peek8(&p, 4) == 0x06)) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_ANSI_C1222, OXLO_PROTOCOL_UNKNOWN);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_ANSI_C1222};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_c1222 = {
    "ANSI_C1222", search_c1222, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP_OR_UDP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
