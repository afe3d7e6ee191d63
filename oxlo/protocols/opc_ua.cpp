/* OPC UA binary over TCP: a message type of three letters and the final
 * chunk marker F, then the message size; a header cut by the segments is
 * read from the stream. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

#include <initializer_list>

namespace {

void search_opc_ua(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    const size_t start = p.length < 4 ? p.length : 4;
    bool known = false;
    for (const char *type : {"HELF", "ACKF", "RHEF", "OPNF", "MSGF", "ERRF", "CLOF"})
        known = known || oxlo_rd_match_n(&p, 0, type, start, 0);
    if (known && p.length < 16 && oxlo_framing::wait_for(m, f, pkt, 16))
        return;
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
