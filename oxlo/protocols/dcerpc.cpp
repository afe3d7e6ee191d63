/* DCE/RPC: connection-oriented PDUs over TCP (version 5, the fragment
 * length at 8 little-endian) and connectionless ones over UDP (version 4,
 * an 80-byte header whose body length at 74 follows the sender's data
 * representation). */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

namespace {

/* The size of the connection-oriented PDU at the start of r (its fragment
 * length): 0 when it is none, -1 when its header is cut. */
int64_t tcp_pdu_size(const oxlo_reader &r)
{
    uint8_t version = 5, type = 0;
    uint16_t fragment = 0;
    if ((oxlo_rd_u8_at(&r, 0, &version) && version != 5) || (oxlo_rd_u8_at(&r, 2, &type) && type > 15))
        return 0;
    if (!oxlo_rd_le16_at(&r, 8, &fragment))
        return -1;
    return fragment >= 16 ? int64_t(fragment) : 0;
}

bool tcp_pdu(const oxlo_reader &p)
{
    uint8_t version = 0, type = 0xFF;
    uint16_t fragment = 0;
    return p.length > 63 && oxlo_rd_u8_at(&p, 0, &version) && version == 5 && oxlo_rd_u8_at(&p, 2, &type) &&
           type <= 15 && oxlo_rd_le16_at(&p, 8, &fragment) && fragment == p.length;
}

bool udp_pdu(const oxlo_reader &p)
{
    uint8_t b[6] = {};
    for (size_t i = 0; i < 6; i++)
        if (!oxlo_rd_u8_at(&p, i, &b[i]))
            return false;
    if (p.length <= 79 || b[0] != 4 || b[1] > 10 || b[3] > 3 || (b[4] & 0xEE) || b[5] > 3)
        return false;
    uint16_t body = 0;
    /* Data representation 0x10: little-endian integers. */
    if (!(b[4] == 0x10 ? oxlo_rd_le16_at(&p, 74, &body) : oxlo_rd_u16_at(&p, 74, &body)))
        return false;
    return p.length == size_t(body) + 80;
}

void search_dcerpc(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view v = oxlo_dissector_packet(m, f);
    oxlo_reader pdu = v.payload;
    /* Over TCP the PDUs are read whole from the stream. */
    if (v.l4 == OXLO_L4_TCP && oxlo_framing::whole(m, f, v, 10, 8, tcp_pdu_size, &pdu) == oxlo_framing::FIRST_WAITING)
        return;
    if (v.l4 == OXLO_L4_TCP ? tcp_pdu(pdu) : udp_pdu(v.payload))
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_DCERPC, OXLO_PROTOCOL_UNKNOWN);
    else if (v.payload.length > 1)
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_DCERPC};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_dcerpc = {
    "DCERPC", search_dcerpc, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP_OR_UDP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, 0, nullptr, nullptr,
};
} // extern "C"
