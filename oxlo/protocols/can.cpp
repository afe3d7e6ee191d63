/* CAN frames tunnelled over IP behind an "ISO11898" header whose version
 * byte is 1; another version is flagged as malformed. */
#include "oxlo_dissector.h"
#include "oxlo_risk_ids.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_risks.h"

namespace {

/* The tunnel header: "ISO11898", then the version byte. */
constexpr size_t CAN_MAGIC = 0, CAN_VERSION = 8, CAN_MIN = 10;

void search_can(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_reader p = oxlo_dissector_packet(m, f).payload;
    uint8_t version = 0;
    if (p.length < CAN_MIN || !oxlo_rd_match_n(&p, CAN_MAGIC, "ISO11898", 8, 0) ||
        !oxlo_rd_u8_at(&p, CAN_VERSION, &version)) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_CONTROLLER_AREA_NETWORK, OXLO_PROTOCOL_UNKNOWN);
    if (version != 1)
        oxlo_dissector_risk(m, f, OXLO_MALFORMED_PACKET, "Invalid CAN Header");
}

const uint16_t protocols[] = {OXLO_PROTOCOL_CONTROLLER_AREA_NETWORK};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_can = {
    "Controller_Area_Network", search_can, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP_OR_UDP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, 0, nullptr, nullptr,
};

/* Shorter first datagrams fail the length test search_can starts with, whatever
 * their bytes, and end in its exclusion alone. */
extern const uint16_t oxlo_dissector_shortest_can = CAN_MIN;
} // extern "C"
