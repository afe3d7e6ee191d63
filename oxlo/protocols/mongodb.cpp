/* MongoDB's wire protocol: a little-endian header (message length, request
 * id, response-to, op code) before every message. */
#include "oxlo_dissector.h"
#include "oxlo_dissector_kit.h"

namespace {

constexpr uint32_t OP_REPLY = 1, OP_MSG = 2013;

void search_mongodb(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    uint32_t length = 0, op = 0, flags = 99;
    if (pkt.payload_packets > 6 || p.length < 17 || !oxlo_rd_le32_at(&p, 0, &length) || length < 4 ||
        length > 1000000 || !oxlo_rd_le32_at(&p, 12, &op)) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    bool accepted = op == OP_MSG || (op >= 2001 && op <= 2007);
    if (op == OP_REPLY) {
        if (p.length < 37 || !oxlo_rd_le32_at(&p, 16, &flags) || flags > 15)
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
