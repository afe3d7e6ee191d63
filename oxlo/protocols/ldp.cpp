/* LDP: version 1, a PDU length covering the datagram or segment, then the
 * first message: a hello over UDP, session messages over TCP. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

namespace {

bool session_message(uint16_t t)
{
    return (t >= 0x0200 && t <= 0x0202) || t == 0x0300 || t == 0x0301 || (t >= 0x0400 && t <= 0x0404) ||
           t == 0x0500 || t == 0x0501 || (t >= 0x0700 && t <= 0x0703) || (t >= 0x3E00 && t <= 0x3EFF);
}

void search_ldp(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    oxlo_reader p = pkt.payload;
    /* Over TCP PDUs (version 1, a length covering what follows it) are read
     * whole from the stream. */
    auto size = [](const oxlo_reader &r) -> int64_t {
        uint16_t v = 1, n = 0;
        if (oxlo_rd_u16_at(&r, 0, &v) && v != 1)
            return 0;
        if (!oxlo_rd_u16_at(&r, 2, &n))
            return -1;
        return n >= 6 ? int64_t(n) + 4 : 0;
    };
    if (pkt.l4 == OXLO_L4_TCP && oxlo_framing::whole(m, f, pkt, 4, 16, size, &p) == oxlo_framing::FIRST_WAITING)
        return;
    uint16_t version = 0, length = 0, type = 0;
    const bool ok = p.length > 19 && oxlo_rd_u16_at(&p, 0, &version) && version == 1 &&
                    oxlo_rd_u16_at(&p, 2, &length) && size_t(length) + 4 == p.length &&
                    oxlo_rd_u16_at(&p, 10, &type) && (pkt.l4 == OXLO_L4_UDP ? type == 0x0100 : session_message(type));
    if (ok)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_LDP, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_LDP};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_ldp = {
    "LDP", search_ldp, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP_OR_UDP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION, protocols, sizeof(protocols) / sizeof(protocols[0]), 0, nullptr, nullptr,
};

} // extern "C"
