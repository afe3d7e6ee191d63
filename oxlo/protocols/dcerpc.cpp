/* DCE/RPC: connection-oriented PDUs over TCP (version 5, the fragment
 * length at 8 little-endian) and connectionless ones over UDP (version 4,
 * an 80-byte header whose body length at 74 follows the sender's data
 * representation). */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

namespace {

/* Connection-oriented header: version, minor version, PDU type, flags, the
 * data representation (4 bytes), fragment length, auth length, call id. */
constexpr size_t CO_VERSION = 0, CO_TYPE = 2, CO_FRAGMENT_LENGTH = 8, CO_HEADER = 16;
/* Connectionless header: version, PDU type, two flag bytes, the data
 * representation (3 bytes), ..., the body length at 74 of 80. */
constexpr size_t CL_VERSION = 0, CL_TYPE = 1, CL_FLAGS2 = 3, CL_DREP_INTEGER = 4, CL_DREP_FLOAT = 5,
                 CL_BODY_LENGTH = 74, CL_HEADER = 80;
constexpr uint8_t CO_VERSION_5 = 5, CL_VERSION_4 = 4, CO_TYPE_LAST = 15;
constexpr size_t CO_PDU_MIN = 64;

/* The size of the connection-oriented PDU at the start of r (its fragment
 * length): 0 when it is none, -1 when its header is cut. */
int64_t tcp_pdu_size(const oxlo_reader &r)
{
    uint8_t version = 5, type = 0;
    uint16_t fragment = 0;
    if ((oxlo_rd_u8_at(&r, CO_VERSION, &version) && version != CO_VERSION_5) ||
        (oxlo_rd_u8_at(&r, CO_TYPE, &type) && type > CO_TYPE_LAST))
        return 0;
    if (!oxlo_rd_le16_at(&r, CO_FRAGMENT_LENGTH, &fragment))
        return -1;
    return fragment >= CO_HEADER ? int64_t(fragment) : 0;
}

bool tcp_pdu(const oxlo_reader &p)
{
    uint8_t version = 0, type = 0xFF;
    uint16_t fragment = 0;
    return p.length >= CO_PDU_MIN && oxlo_rd_u8_at(&p, CO_VERSION, &version) && version == CO_VERSION_5 &&
           oxlo_rd_u8_at(&p, CO_TYPE, &type) && type <= CO_TYPE_LAST &&
           oxlo_rd_le16_at(&p, CO_FRAGMENT_LENGTH, &fragment) && fragment == p.length;
}

bool udp_pdu(const oxlo_reader &p)
{
    uint8_t b[6] = {};
    for (size_t i = 0; i < 6; i++)
        if (!oxlo_rd_u8_at(&p, i, &b[i]))
            return false;
    if (p.length < CL_HEADER || b[CL_VERSION] != CL_VERSION_4 || b[CL_TYPE] > 10 || b[CL_FLAGS2] > 3 ||
        (b[CL_DREP_INTEGER] & 0xEE) || b[CL_DREP_FLOAT] > 3)
        return false;
    uint16_t body = 0;
    /* Data representation 0x10: little-endian integers. */
    if (!(b[CL_DREP_INTEGER] == 0x10 ? oxlo_rd_le16_at(&p, CL_BODY_LENGTH, &body)
                                     : oxlo_rd_u16_at(&p, CL_BODY_LENGTH, &body)))
        return false;
    return p.length == size_t(body) + CL_HEADER;
}

void search_dcerpc(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view v = oxlo_dissector_packet(m, f);
    oxlo_reader pdu = v.payload;
    /* Over TCP the PDUs are read whole from the stream. */
    if (v.l4 == OXLO_L4_TCP && oxlo_framing::whole(m, f, v, CO_FRAGMENT_LENGTH + 2, 8, tcp_pdu_size, &pdu) == oxlo_framing::FIRST_WAITING)
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
