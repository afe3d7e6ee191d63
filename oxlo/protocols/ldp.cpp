/* LDP: version 1, a PDU length covering the datagram or segment, then the
 * first message: a hello over UDP, session messages over TCP. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

namespace {

/* The PDU header: version, PDU length (of what follows it), LSR id and
 * label space; the first message's type follows. */
constexpr size_t LDP_VERSION = 0, LDP_PDU_LENGTH = 2, LDP_MESSAGE_TYPE = 10, LDP_LENGTH_BASE = 4, LDP_PDU_MIN = 20;
constexpr uint16_t LDP_HELLO = 0x0100;

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
        if (oxlo_rd_u16_at(&r, LDP_VERSION, &v) && v != 1)
            return 0;
        if (!oxlo_rd_u16_at(&r, LDP_PDU_LENGTH, &n))
            return -1;
        return n >= 6 ? int64_t(n) + LDP_LENGTH_BASE : 0;
    };
    if (pkt.l4 == OXLO_L4_TCP &&
        oxlo_framing::whole(m, f, pkt, LDP_LENGTH_BASE, 16, size, &p) == oxlo_framing::FIRST_WAITING)
        return;
    uint16_t version = 0, length = 0, type = 0;
    const bool ok = p.length >= LDP_PDU_MIN && oxlo_rd_u16_at(&p, LDP_VERSION, &version) && version == 1 &&
                    oxlo_rd_u16_at(&p, LDP_PDU_LENGTH, &length) && size_t(length) + LDP_LENGTH_BASE == p.length &&
                    oxlo_rd_u16_at(&p, LDP_MESSAGE_TYPE, &type) &&
                    (pkt.l4 == OXLO_L4_UDP ? type == LDP_HELLO : session_message(type));
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
