/* Automatic tank gauge commands: SOH, a command letter (I, S, i, s) and a
 * line end, on port 10001. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

void search_atg(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader p = pkt.payload;
    if (!(p.length > 7 && (pkt.src_port == 10001 || pkt.dst_port == 10001) && oxlo_rd_peek8(&p, 0) == 0x01 && (oxlo_rd_peek8(&p, 1) == 'I' || oxlo_rd_peek8(&p, 1) == 'S' || oxlo_rd_peek8(&p, 1) == 'i' || oxlo_rd_peek8(&p, 1) == 's') && oxlo_rd_match_n(&p, p.length - 2, "\r\n", 2, 0))) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_ATG, OXLO_PROTOCOL_UNKNOWN);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_ATG};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_atg = {
    "ATG", search_atg, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
