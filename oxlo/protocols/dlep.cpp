/* DLEP: peer discovery over UDP starts "DLEP"; the TCP session on port
 * 854 carries a message type and a length covering the segment. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

namespace {

void search_dlep(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    oxlo_reader p = pkt.payload;
    /* Session messages over TCP (a type, a length of what follows) are read
     * whole from the stream. */
    auto size = [](const oxlo_reader &r) -> int64_t {
        uint16_t type = 0, n = 0;
        if (oxlo_rd_u16_at(&r, 0, &type) && type > 16)
            return 0;
        if (!oxlo_rd_u16_at(&r, 2, &n))
            return -1;
        return int64_t(n) + 4;
    };
    if (pkt.l4 == OXLO_L4_TCP && (pkt.src_port == 854 || pkt.dst_port == 854) &&
        oxlo_framing::whole(m, f, pkt, 4, 16, size, &p) == oxlo_framing::FIRST_WAITING)
        return;
    bool ok;
    if (pkt.l4 == OXLO_L4_UDP)
        ok = p.length >= 28 && oxlo_rd_match_n(&p, 0, "DLEP", 4, 0);
    else
        ok = p.length > 8 && (pkt.src_port == 854 || pkt.dst_port == 854) && oxlo_rd_peek16(&p, 0) <= 16 &&
             size_t(oxlo_rd_peek16(&p, 2)) + 4 == p.length;
    if (ok)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_DLEP, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_DLEP};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_dlep = {
    "DLEP", search_dlep, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP_OR_UDP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
