/* OPC UA binary over TCP: a message type of three letters and the final
 * chunk marker F. */
#include "oxlo_dissector.h"

#include <initializer_list>

namespace {

void search_opc_ua(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_reader p = oxlo_dissector_packet(m, f).payload;
    bool known = false;
    for (const char *type : {"HELF", "ACKF", "RHEF", "OPNF", "MSGF", "ERRF", "CLOF"})
        known = known || oxlo_rd_match_n(&p, 0, type, 4, 0);
    if (p.length > 15 && known)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_OPC_UA, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_OPC_UA};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_opc_ua = {
    "OPC-UA", search_opc_ua, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
