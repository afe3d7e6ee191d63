/* BACnet/IP: the BVLC header 0x81, a function up to 0x0B and a length
 * covering the datagram. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

/* The BVLC header: type (0x81, BACnet/IP), function, the datagram's length. */
constexpr size_t BVLC_TYPE = 0, BVLC_FUNCTION = 1, BVLC_LENGTH = 2, BVLC_HEADER = 4;
constexpr uint8_t BVLC_BACNET_IP = 0x81, BVLC_FUNCTION_LAST = 11;

void search_bacnet(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader p = pkt.payload;
    if (!(p.length >= BVLC_HEADER && oxlo_rd_peek8(&p, BVLC_TYPE) == BVLC_BACNET_IP &&
          oxlo_rd_peek8(&p, BVLC_FUNCTION) <= BVLC_FUNCTION_LAST && oxlo_rd_peek16(&p, BVLC_LENGTH) == p.length)) {
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
