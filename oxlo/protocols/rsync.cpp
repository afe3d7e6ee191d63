/* The rsync daemon protocol opens with "@RSYNCD: <version>" from both sides. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

void search_rsync(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    if (pkt.payload.length > 7 && oxlo_rd_match(&pkt.payload, 0, "@RSYNCD:", 0))
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_RSYNC, OXLO_PROTOCOL_UNKNOWN);
    else if (pkt.payload_packets > 5)
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_RSYNC};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_rsync = {
    "RSYNC", search_rsync, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
