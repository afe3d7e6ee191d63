/* DLEP: peer discovery over UDP starts "DLEP"; the TCP session on port
 * 854 carries a message type and a length covering the segment. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

namespace {

/* A session message: its type and the length of what follows the 4-byte
 * header. Peer discovery over UDP: "DLEP" and the signal. */
constexpr size_t DLEP_TYPE = 0, DLEP_LENGTH = 2, DLEP_HEADER = 4, DLEP_SIGNAL_MIN = 28;
constexpr uint16_t DLEP_TYPE_LAST = 16, DLEP_PORT = 854;

void search_dlep(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    oxlo_reader p = pkt.payload;
    /* Session messages over TCP (a type, a length of what follows) are read
     * whole from the stream. */
    auto size = [](const oxlo_reader &r) -> int64_t {
        uint16_t type = 0, n = 0;
        if (oxlo_rd_u16_at(&r, DLEP_TYPE, &type) && type > DLEP_TYPE_LAST)
            return 0;
        if (!oxlo_rd_u16_at(&r, DLEP_LENGTH, &n))
            return -1;
        return int64_t(n) + DLEP_HEADER;
    };
    const bool port = pkt.src_port == DLEP_PORT || pkt.dst_port == DLEP_PORT;
    if (pkt.l4 == OXLO_L4_TCP && port &&
        oxlo_framing::whole(m, f, pkt, DLEP_HEADER, 16, size, &p) == oxlo_framing::FIRST_WAITING)
        return;
    bool ok;
    if (pkt.l4 == OXLO_L4_UDP)
        ok = p.length >= DLEP_SIGNAL_MIN && oxlo_rd_match_n(&p, 0, "DLEP", 4, 0);
    else
        ok = p.length > 8 && port && oxlo_rd_peek16(&p, DLEP_TYPE) <= DLEP_TYPE_LAST &&
             size_t(oxlo_rd_peek16(&p, DLEP_LENGTH)) + DLEP_HEADER == p.length;
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
