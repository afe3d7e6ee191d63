/* Raft consensus messages as one common framing sends them: a 64-bit
 * little-endian message type (1 to 6) and the body's 64-bit length. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

uint64_t le64(const oxlo_reader &p, size_t at)
{
    uint32_t lo = 0, hi = 0;
    oxlo_rd_le32_at(&p, at, &lo);
    oxlo_rd_le32_at(&p, at + 4, &hi);
    return uint64_t(hi) << 32 | lo;
}

void search_raft(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    const uint64_t type = p.length >= 16 ? le64(p, 0) : 0;
    if (type < 1 || type > 6) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    const uint64_t length = le64(p, 8);
    if ((length <= p.length && length + 16 == p.length) || pkt.payload_packets > 2)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_RAFT, OXLO_PROTOCOL_UNKNOWN);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_RAFT};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_raft = {
    "Raft", search_raft, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
