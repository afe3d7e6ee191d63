/* PTP version 2 over UDP: event (319) or general (320) messages between
 * the same ports, a message type and the version number. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

void search_ptpv2(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader p = pkt.payload;
    if (!(p.length > 34 && ((pkt.src_port == 319 && pkt.dst_port == 319) || (pkt.src_port == 320 && pkt.dst_port == 320)) && (oxlo_rd_peek8(&p, 0) & 0x0F) != 15 && (oxlo_rd_peek8(&p, 1) & 0x0F) == 2)) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_PTPV2, OXLO_PROTOCOL_UNKNOWN);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_PTPV2};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_ptpv2 = {
    "PTPv2", search_ptpv2, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
