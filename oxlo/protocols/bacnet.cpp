/* BACnet/IP: the BVLC header 0x81, a function up to 0x0B and a length
 * covering the datagram. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

void search_bacnet(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader p = pkt.payload;
    if (!(p.length >= 4 && oxlo_rd_peek8(&p, 0) == 0x81 && oxlo_rd_peek8(&p, 1) <= 11 && oxlo_rd_peek16(&p, 2) == p.length)) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_BACNET, OXLO_PROTOCOL_UNKNOWN);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_BACNET};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_bacnet = {
    "BACnet", search_bacnet, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
