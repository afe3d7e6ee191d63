/* LDAP. Every message is a BER SEQUENCE holding the message id (an
 * INTEGER) and then the operation, an application-class constructed tag
 * (0x60 | n) with n one of the protocol's operations (bind, search, extended
 * and the rest, all below 26). The envelope of the first message decides;
 * over TCP it is read from the stream when the segment cuts it. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_utils.h"
#include "protocols/framing.h"

namespace {

constexpr uint8_t OPERATIONS = 26;

/* The bytes from the SEQUENCE tag through the operation tag when the view
 * starts a message that it cuts before that tag; 0 when it holds them or
 * holds no message start. */
size_t envelope_wanted(const oxlo_reader &p)
{
    uint8_t tag = 0, form = 0, id_tag = 0, id_length = 0;
    if (!oxlo_rd_u8_at(&p, 0, &tag) || tag != 0x30)
        return 0;
    if (!oxlo_rd_u8_at(&p, 1, &form))
        return 2;
    const size_t length_bytes = form > 0x80 ? 1 + size_t(form & 0x7F) : 1;
    if (form > 0x84)
        return 0;
    const size_t id_at = 1 + length_bytes;
    if (!oxlo_rd_u8_at(&p, id_at, &id_tag))
        return id_at + 2;
    if (id_tag != 0x02)
        return 0;
    if (!oxlo_rd_u8_at(&p, id_at + 1, &id_length))
        return id_at + 2;
    if (id_length == 0 || id_length > 4)
        return 0;
    const size_t op_at = id_at + 2 + id_length;
    return oxlo_rd_has(&p, op_at, 1) ? 0 : op_at + 1;
}

void oxlo_search_ldap(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    if (oxlo_framing::wait_for(m, f, pkt, envelope_wanted(p)))
        return;
    uint8_t tag = 0, id_tag = 0, id_length = 0, op = 0;
    size_t used = 0;
    const int64_t length = p.length > 1 && oxlo_rd_u8_at(&p, 0, &tag) && tag == 0x30
                               ? oxlo_decode_ber_length(p.data + 1, p.length - 1, &used)
                               : -1;
    /* The operation follows the message id: 1 + length bytes + 2 + id bytes;
     * a message id running past the payload leaves nothing to read there. */
    const size_t id_at = 1 + used;
    if (length > 0 && oxlo_rd_u8_at(&p, id_at, &id_tag) && id_tag == 0x02 &&
        oxlo_rd_u8_at(&p, id_at + 1, &id_length) && oxlo_rd_u8_at(&p, id_at + 2 + id_length, &op) &&
        (op & 0x60) == 0x60 && (op & 0x1F) < OPERATIONS) {
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_LDAP, OXLO_PROTOCOL_UNKNOWN);
        return;
    }
    OXLO_EXCLUDE(m, f);
}

const uint16_t ldap_protocols[] = {OXLO_PROTOCOL_LDAP};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_ldap = {
    "LDAP",
    oxlo_search_ldap,
    OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP_OR_UDP,
    ldap_protocols,
    1,
    0,
    nullptr,
    nullptr,
};

} // extern "C"
