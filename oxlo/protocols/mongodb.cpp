/* MongoDB's wire protocol: a little-endian header (message length, request
 * id, response-to, op code) before every message. A header cut by the
 * segments is read once whole from the stream. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

namespace {

constexpr uint32_t OP_REPLY = 1, OP_MSG = 2013;
constexpr uint32_t MESSAGE_MAX = 1000000;
constexpr size_t HEADER = 17, REPLY = 37; /* the header and a byte; a reply up to its first document */
/* The header (little-endian): message length, request id, response-to,
 * op code; an OP_REPLY then has its response flags. */
constexpr size_t MSG_LENGTH = 0, MSG_OP_CODE = 12, REPLY_FLAGS = 16;

/* The view starts a message (its length fits one) shorter than `want`
 * bytes, or than the message itself when shorter: asks for them. */
bool wait_for_bytes(oxlo_module *m, oxlo_flow_state *f, const oxlo_packet_view &pkt, size_t want)
{
    uint32_t length = 0;
    if (!oxlo_rd_le32_at(&pkt.payload, MSG_LENGTH, &length))
        return oxlo_framing::wait_for(m, f, pkt, want);
    return length >= want && length <= MESSAGE_MAX && oxlo_framing::wait_for(m, f, pkt, want);
}

void search_mongodb(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    uint32_t length = 0, op = 0, flags = 99;
    if (pkt.payload_packets <= 6 && p.length < HEADER && wait_for_bytes(m, f, pkt, HEADER))
        return;
    if (pkt.payload_packets > 6 || p.length < HEADER || !oxlo_rd_le32_at(&p, MSG_LENGTH, &length) || length < 4 ||
        length > MESSAGE_MAX || !oxlo_rd_le32_at(&p, MSG_OP_CODE, &op)) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    bool accepted = op == OP_MSG || (op >= 2001 && op <= 2007);
    if (op == OP_REPLY) {
        if (p.length < REPLY && wait_for_bytes(m, f, pkt, REPLY))
            return;
        if (p.length < REPLY || !oxlo_rd_le32_at(&p, REPLY_FLAGS, &flags) || flags > 15)
            return;
        accepted = true;
    }
    if (!accepted) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    if (!oxlo_flow_app_protocol(f))
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_MONGODB, OXLO_PROTOCOL_UNKNOWN);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_MONGODB};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_mongodb = {
    "MongoDB", search_mongodb, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
