/* SMB over TCP port 445: a 4-byte NetBIOS session header, then "\xFFSMB"
 * (version 1) or "\xFESMB" (versions 2 and 3). SMBv1 is flagged as
 * insecure. The session header may come in a segment of its own: the
 * first bytes of a message are read from the stream. */
#include "oxlo_dissector.h"
#include "oxlo_risk_ids.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

namespace {

constexpr uint8_t SMB1_NEGOTIATE = 0x72, SMB1_TRANSACTION = 0x25;
constexpr size_t ENOUGH = 41;      /* the session header and the SMB header's start */
constexpr uint32_t MESSAGE_MIN = 37; /* a message shorter than that is no SMB one */
/* The session message: type 0 and a 24-bit length; the SMB header then
 * starts with its protocol id, and SMBv1 has its command next. */
constexpr size_t SESSION_TYPE = 0, SESSION_LENGTH = 1, SESSION_HEADER = 4, SMB_PROTOCOL_ID = 4, SMB1_COMMAND = 8;
/* Negotiations read in one call before the view is left for the next. */
constexpr unsigned NEGOTIATIONS_MAX = 8;
constexpr uint16_t SMB_PORT = 445;

/* Asks for `total` bytes from the message at `at` of the view (the bytes
 * before it are read); false when the engine does not keep them. */
bool wait_at(oxlo_module *m, oxlo_flow_state *f, const oxlo_packet_view &pkt, size_t at, uint64_t total)
{
    if (pkt.l4 != OXLO_L4_TCP)
        return false;
    oxlo_dissector_consume(m, f, at);
    return oxlo_dissector_need(m, f, size_t(total)) == 0;
}

void search_smb(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const bool port = pkt.src_port == SMB_PORT || pkt.dst_port == SMB_PORT;
    /* The messages of the view in order: a negotiation tells nothing and
     * is passed over whole, so that the one after it is read from its
     * start however the bytes were cut. */
    size_t at = 0;
    for (unsigned n = 0; n < NEGOTIATIONS_MAX; n++) {
        const oxlo_reader p = oxlo_rd_from(&pkt.payload, at);
        uint8_t zero = 1, command = 0;
        uint32_t length = 0;
        if (port && p.length < ENOUGH && oxlo_rd_u8_at(&p, SESSION_TYPE, &zero) && zero == 0 &&
            (!oxlo_rd_u24_at(&p, SESSION_LENGTH, &length) || length >= MESSAGE_MIN) &&
            wait_at(m, f, pkt, at, ENOUGH))
            return;
        /* A length shorter than the view: more messages follow the first. */
        if (!port || p.length < ENOUGH || !oxlo_rd_u8_at(&p, SESSION_TYPE, &zero) || zero != 0 ||
            !oxlo_rd_u24_at(&p, SESSION_LENGTH, &length) || length < MESSAGE_MIN) {
            OXLO_EXCLUDE(m, f);
            return;
        }
        if (oxlo_rd_match_n(&p, SMB_PROTOCOL_ID, "\xFFSMB", 4, 0)) {
            oxlo_rd_u8_at(&p, SMB1_COMMAND, &command);
            if (command == SMB1_NEGOTIATE) {
                /* Every client offers SMBv1 in its first negotiation. */
                const uint64_t total = uint64_t(length) + SESSION_HEADER;
                if (p.length < total) {
                    wait_at(m, f, pkt, at, total);
                    return;
                }
                at += size_t(total);
                if (at == pkt.payload.length) {
                    oxlo_dissector_consume(m, f, at);
                    return;
                }
                continue;
            }
            oxlo_flow_set_protocol(m, f, OXLO_PROTOCOL_SMBV1, OXLO_PROTOCOL_NETBIOS, OXLO_CONFIDENCE_DPI);
            if (command != SMB1_TRANSACTION)
                oxlo_dissector_risk(m, f, OXLO_SMB_INSECURE_VERSION, "Found SMBv1");
            return;
        }
        if (oxlo_rd_match_n(&p, SMB_PROTOCOL_ID, "\xFESMB", 4, 0)) {
            oxlo_flow_set_protocol(m, f, OXLO_PROTOCOL_SMBV23, OXLO_PROTOCOL_NETBIOS, OXLO_CONFIDENCE_DPI);
            return;
        }
        OXLO_EXCLUDE(m, f);
        return;
    }
    oxlo_dissector_consume(m, f, at);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_SMBV23, OXLO_PROTOCOL_SMBV1};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_smb = {
    "SMB", search_smb, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP,
    protocols, 2, 0, nullptr, nullptr,
};

} // extern "C"
